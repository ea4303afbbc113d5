// One uninstall from start to end: detection, confirmation and the phases
// in their order; the file removal and the log live beside it.
#include "uninstall/UninstallManager.h"

#include <windows.h>

#include <shlobj.h>
#include <userenv.h>

#include <algorithm>
#include <chrono>

#include "common/CallerText.h"
#include "common/ConsoleOutput.h"
#include "common/DangerousRoot.h"
#include "common/EventLogger.h"
#include "common/FileSystemQueries.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "common/Win32Util.h"
#include "install/RegistryManager.h"
#include "install/ShortcutCreator.h"
#include "uninstall/InstallReceiptReader.h"
#include "uninstall/ProcessManager.h"
#include "uninstall/UninstallInternal.h"

namespace korvel {
namespace fs = std::filesystem;
using namespace uninstall_detail;
namespace {

// Reads one character after white space from standard input, byte by byte so
// that the rest of the line stays unread. 0 at end of input or on failure.
wchar_t readAnswer() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return 0;
    for (;;) {
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) return 0;
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') continue;
        return static_cast<unsigned char>(c) < 0x80 ? static_cast<wchar_t>(c) : static_cast<wchar_t>(0xFFFD);
    }
}

}  // namespace

const wchar_t UninstallManager::kDefaultInstallPath[] = L"C:\\Program Files\\Korvel";
const wchar_t UninstallManager::kInstallLocationValue[] = L"InstallLocation";

std::string statsText(const UninstallStats& stats, bool console) {
    const struct {
        const char* log;
        const char* console;
        uint32_t UninstallStats::*value;
    } counts[] = {
        {"Processes Terminated", "Processes terminated", &UninstallStats::processesTerminated},
        {"Shortcuts Removed", "Shortcuts removed", &UninstallStats::shortcutsRemoved},
        {"Registry Keys Removed", "Registry keys removed", &UninstallStats::registryKeysRemoved},
        {"Files Removed", "Files removed", &UninstallStats::filesRemoved},
        {"Directories Removed", "Directories removed", &UninstallStats::directoriesRemoved},
    };
    std::string text;
    for (const auto& count : counts) {
        text += std::string(console ? "  " : "") + (console ? count.console : count.log) + ": " +
                std::to_string(stats.*count.value) + "\n";
    }
    text += std::string(console ? "  " : "") + "Duration: " + std::to_string(stats.durationMs) + " ms\n";
    return text;
}

std::wstring getFolderPath(int csidl) {
    // The user may point "Local AppData" of their own hive anywhere, and a
    // purge deletes below it as administrator: that folder comes from the
    // token's profile folder instead, with its fixed place in the profile.
    if (csidl == CSIDL_LOCAL_APPDATA) {
        ScopedHandle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return std::wstring();
        std::wstring profile(32768, L'\0');
        DWORD size = static_cast<DWORD>(profile.size());
        if (!GetUserProfileDirectoryW(token.get(), profile.data(), &size) || size == 0) return std::wstring();
        profile.resize(wcsnlen(profile.c_str(), profile.size()));
        if (profile.empty()) return std::wstring();
        return (fs::path(profile) / L"AppData" / L"Local").wstring();
    }
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer))) return std::wstring();
    return buffer;
}

std::wstring utf8ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), needed);
    return out;
}

UninstallManager::UninstallManager() = default;

void UninstallManager::recordEvent(const std::wstring& phase, const std::wstring& status,
                                   const std::wstring& details) {
    std::string line = "Event: " + wideToUtf8(phase) + ", Status: " + wideToUtf8(status);
    if (!details.empty()) line += ", Details: " + wideToUtf8(details);
    EventLogger::instance().log(LogLevel::Info, line);
}

int UninstallManager::run(const UninstallOptions& options, UninstallStats& stats) {
    const auto start = std::chrono::steady_clock::now();
    declined_ = false;
    EventLogger& logger = EventLogger::instance();
    logger.status("uninstall", "starting");
    recordEvent(L"uninstall", L"starting");

    if (initFileLogging() != ErrorCode::Success) logLine(LogLevel::Warning, "Failed to initialize file logging");

    InstallationInfo info;
    detectInstallation(options, info);
    if (!info.found) {
        if (!options.quiet) writeStdoutText(L"Korvel installation not found.\n");
        logLine(LogLevel::Warning, "Installation not found");
        recordEvent(L"detection", L"not_found");
        return toInt(ErrorCode::FileNotFound);
    }
    recordEvent(L"detection", L"complete", number(info.removalItems.size()) + L" items");

    // Nothing is asked or touched for a folder that must never be removed.
    const std::wstring refusal = refuseInstallPath(info.installPath);
    if (!refusal.empty()) {
        const std::wstring message = L"Refusing to remove the installation folder " + info.installPath + L": " + refusal;
        logLine(LogLevel::Error, wideToUtf8(message));
        logger.error(toInt(ErrorCode::DirectoryAccessDenied), "detection", wideToUtf8(message));
        recordEvent(L"detection", L"refused", info.installPath);
        if (!options.quiet) writeStderrText(message + L"\n");
        return toInt(ErrorCode::DirectoryAccessDenied);
    }

    bool approved = false;
    confirmUninstall(info, options, approved);
    if (!approved) {
        declined_ = true;
        if (!options.quiet) writeStdoutText(L"Uninstall cancelled by user.\n");
        logLine(LogLevel::Info, "Uninstall cancelled by user");
        recordEvent(L"confirmation", L"cancelled");
        return 0;
    }
    recordEvent(L"confirmation", L"approved");

    if (terminateProcessesPhase(stats) != 0) logLine(LogLevel::Warning, "Process termination had issues");
    if (removeShortcutsPhase(info, stats) != 0) logLine(LogLevel::Warning, "Shortcut removal had issues");
    // Kept so that a failed file removal can put the entry back: without it
    // the product vanishes from Apps & features while its files stay.
    std::vector<RegistryValue> entry;
    const bool entryRead = readUninstallEntry(entry);
    if (removeRegistryPhase(stats) != 0) logLine(LogLevel::Warning, "Registry removal had issues");
    const int filesCode = removeFilesPhase(info, options, stats);
    if (filesCode != 0) {
        if (entryRead) {
            if (writeUninstallEntry(entry))
                logLine(LogLevel::Warning,
                        "The files could not be removed; the uninstall entry was written back so that the "
                        "uninstall can be run again");
            else
                logLine(LogLevel::Warning, "The files could not be removed and the uninstall entry could not be "
                                           "written back: " + std::to_string(GetLastError()));
        }
        logger.error(filesCode, "remove_files", "File removal failed");
        stats.success = false;
        return filesCode;
    }

    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    stats.durationMs = static_cast<uint32_t>(elapsed.count());
    stats.success = true;
    if (writeSummary(info, stats) != 0) logLine(LogLevel::Warning, "Failed to save uninstall log");
    logger.status("uninstall", "complete");
    recordEvent(L"uninstall", L"complete", L"success:true");
    return 0;
}

// ---------------------------------------------------------------- detection

int UninstallManager::detectInstallation(const UninstallOptions& options, InstallationInfo& info) {
    logLine(LogLevel::Info, "Detecting installation");
    recordEvent(L"detection", L"in_progress");
    info.found = false;
    info.receiptFound = false;
    info.registryFound = false;

    info.installPath = options.installPath;
    if (info.installPath.empty()) info.installPath = readRegistryInstallLocation();
    // An entry removed by an earlier run that failed or was killed: the
    // installation this program was started from is still found.
    if (info.installPath.empty()) info.installPath = ownInstallationFolder();
    if (info.installPath.empty()) info.installPath = kDefaultInstallPath;

    const fs::path receiptPath = getReceiptPath(info.installPath);
    if (entryExistsOrThrow(receiptPath) && readInstallReceipt(receiptPath, info.receipt) == ErrorCode::Success)
        info.receiptFound = true;
    if (info.receiptFound) {
        info.version = info.receipt.version;
        logLine(LogLevel::Info, "Found receipt, version: " + wideToUtf8(escapeControlCharacters(info.version)));
    } else {
        info.receipt = InstallReceipt();
    }

    if (!readRegistryInstallLocation().empty()) {
        info.registryFound = true;
        logLine(LogLevel::Info, "Found registry entry");
    }

    const bool folderExists = entryExistsOrThrow(info.installPath);
    // A folder named on the command line that does not exist is a mistyped
    // one: acting on the registry entry would remove the real installation's
    // entry and shortcuts and leave its files.
    // (A folder that must never be removed is refused later, found or not.)
    if (!options.installPath.empty() && !folderExists && refuseInstallPath(options.installPath).empty()) {
        info.found = false;
        info.removalItems.clear();
        return 0;
    }
    if (info.receiptFound || info.registryFound || folderExists) {
        info.found = true;
        collectRemovalItems(info, info.removalItems);
    } else {
        info.found = false;
        info.removalItems.clear();
    }
    return 0;
}

int UninstallManager::collectRemovalItems(const InstallationInfo& info, std::vector<std::wstring>& items) {
    items.clear();
    items.push_back(info.installPath);
    for (const ShortcutEntry& shortcut : info.receipt.shortcuts) items.push_back(L"Shortcut: " + shortcut.name);
    if (!info.receipt.uninstallKey.empty()) items.push_back(L"Registry: " + info.receipt.uninstallKey);
    return 0;
}

std::wstring UninstallManager::readRegistryInstallLocation() {
    RegistryKeyHandle key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, RegistryManager::kUninstallKeyPath, 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS)
        return std::wstring();
    std::wstring location;
    if (RegistryManager::readStringValue(key, kInstallLocationValue, location) != ErrorCode::Success)
        location.clear();
    return location;
}

std::wstring UninstallManager::ownInstallationFolder() {
    const std::wstring image = ownImagePath();
    if (image.empty() || !isFullyQualifiedPath(image)) return std::wstring();
    const fs::path folder = fs::path(image).parent_path();
    std::vector<fs::path> candidates{folder};
    if (samePath(folder.filename().wstring(), L"Launcher")) candidates.push_back(folder.parent_path());
    for (const fs::path& candidate : candidates) {
        if (candidate.empty() || candidate == candidate.root_path()) continue;
        if (entryExistsOrThrow(getReceiptPath(candidate.wstring()))) {
            logLine(LogLevel::Info, "Installation found beside the uninstaller: " + pathToUtf8(candidate));
            return candidate.wstring();
        }
    }
    return std::wstring();
}

bool UninstallManager::readUninstallEntry(std::vector<RegistryValue>& values) {
    values.clear();
    RegistryKeyHandle key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, RegistryManager::kUninstallKeyPath, 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS)
        return false;
    DWORD count = 0;
    DWORD maxName = 0;
    DWORD maxData = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &maxName, &maxData,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    for (DWORD i = 0; i < count; ++i) {
        std::wstring name(maxName + 1, L'\0');
        std::vector<BYTE> data(maxData + 1);
        DWORD nameLength = maxName + 1;
        DWORD dataSize = maxData + 1;
        DWORD type = 0;
        if (RegEnumValueW(key.get(), i, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize) !=
            ERROR_SUCCESS)
            return false;
        name.resize(nameLength);
        data.resize(dataSize);
        values.push_back({std::move(name), type, std::move(data)});
    }
    return true;
}

bool UninstallManager::writeUninstallEntry(const std::vector<RegistryValue>& values) {
    RegistryKeyHandle key;
    const LSTATUS created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, RegistryManager::kUninstallKeyPath, 0, nullptr, 0,
                                            KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (created != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(created));
        return false;
    }
    for (const RegistryValue& value : values) {
        const LSTATUS status = RegSetValueExW(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                                              static_cast<DWORD>(value.data.size()));
        if (status != ERROR_SUCCESS) {
            SetLastError(static_cast<DWORD>(status));
            return false;
        }
    }
    return true;
}

std::wstring UninstallManager::refuseInstallPath(const std::wstring& installPath) {
    return dangerousRootReason(installPath);
}

// ------------------------------------------------------------- confirmation

int UninstallManager::confirmUninstall(const InstallationInfo& info, const UninstallOptions& options,
                                       bool& approved) {
    if (options.force) {
        approved = true;
        logLine(LogLevel::Info, "Confirmation skipped (--force)");
        return 0;
    }
    recordEvent(L"confirmation", L"waiting");
    return promptConfirmation(info, approved);
}

int UninstallManager::promptConfirmation(const InstallationInfo& info, bool& approved) {
    std::wstring text = L"\n=== Korvel Uninstall Confirmation ===\n\n";
    // What the receipt said is shown as text: a control character in it
    // could otherwise begin a line of its own in the prompt.
    text += L"Installation Path: " + escapeControlCharacters(info.installPath) + L"\n";
    if (!info.version.empty()) text += L"Version: " + escapeControlCharacters(info.version) + L"\n";
    text += L"\nThe following will be removed:\n";
    for (const std::wstring& item : info.removalItems) text += L"  - " + escapeControlCharacters(item) + L"\n";
    text += L"\nDo you want to continue? (Y/N): ";
    writeStdoutText(text);
    const wchar_t answer = readAnswer();
    approved = answer == L'y' || answer == L'Y';
    recordEvent(L"confirmation", approved ? L"approved" : L"declined");
    return 0;
}

// ------------------------------------------------------------------- phases

int UninstallManager::terminateProcessesPhase(UninstallStats& stats) {
    logLine(LogLevel::Info, "Terminating Korvel processes");
    recordEvent(L"terminate_processes", L"in_progress");
    uint32_t count = 0;
    const ErrorCode code = ProcessManager().terminateAllProductProcesses(count);
    if (code != ErrorCode::Success) {
        recordEvent(L"terminate_processes", L"failed");
        return toInt(code);
    }
    stats.processesTerminated = count;
    recordEvent(L"terminate_processes", L"complete", number(count));
    return 0;
}

int UninstallManager::removeShortcutsPhase(const InstallationInfo& info, UninstallStats& stats) {
    logLine(LogLevel::Info, "Removing shortcuts");
    recordEvent(L"remove_shortcuts", L"in_progress");
    ErrorCode code;
    {
        ShortcutCreator creator;
        code = creator.removeAllShortcuts();
    }
    if (code != ErrorCode::Success) {
        recordEvent(L"remove_shortcuts", L"failed");
    } else {
        stats.shortcutsRemoved = static_cast<uint32_t>(info.receipt.shortcuts.size());
        recordEvent(L"remove_shortcuts", L"complete", number(stats.shortcutsRemoved));
    }
    return toInt(code);
}

int UninstallManager::removeRegistryPhase(UninstallStats& stats) {
    logLine(LogLevel::Info, "Removing registry entries");
    recordEvent(L"remove_registry", L"in_progress");
    const ErrorCode code = RegistryManager().removeUninstallInfo();
    stats.registryKeysRemoved = code == ErrorCode::Success ? 1 : 0;
    recordEvent(L"remove_registry", L"complete", number(stats.registryKeysRemoved));
    return toInt(code);
}

}  // namespace korvel
