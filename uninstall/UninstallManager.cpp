#include "uninstall/UninstallManager.h"

#include <windows.h>

#include <bcrypt.h>
#include <sddl.h>
#include <shlobj.h>
#include <winternl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "common/ConsoleOutput.h"
#include "common/DangerousRoot.h"
#include "common/DirectoryWalker.h"
#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/FileSystemQueries.h"
#include "common/PathCompare.h"
#include "common/PinnedChildFolder.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/Win32Util.h"
#include "install/RegistryManager.h"
#include "install/ShortcutCreator.h"
#include "uninstall/InstallReceiptReader.h"
#include "uninstall/ProcessManager.h"

namespace korvel {
namespace fs = std::filesystem;
namespace {

const char kComponent[] = "uninstall_manager";
const wchar_t kSessionPrefix[] = L"korvel-session-";

const ComponentLog logLine(kComponent);

std::wstring number(uint64_t value) { return std::to_wstring(value); }


// The final path (normal form) of an existing file or folder, following
// links; empty when it cannot be opened.
std::wstring finalPathOf(const std::wstring& path) {
    ScopedHandle handle(CreateFileW(toExtendedLengthPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring finalPath;
    if (!handle || !getFinalPathByHandle(handle.get(), finalPath)) return std::wstring();
    return fromExtendedLengthPath(std::move(finalPath));
}

std::wstring ownImagePath() {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) return std::wstring();
    buffer.resize(n);
    return buffer;
}

std::wstring currentDirectory() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return std::wstring();
    std::wstring buffer(needed, L'\0');
    const DWORD n = GetCurrentDirectoryW(needed, buffer.data());
    if (n == 0 || n >= needed) return std::wstring();
    buffer.resize(n);
    return buffer;
}

// A special folder usable as the base of a removal: obtained, and not a
// path that Windows would resolve against the current folder.
bool usableBase(const std::wstring& folder) { return !folder.empty() && isFullyQualifiedPath(folder); }

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

std::wstring getFolderPath(int csidl) {
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
        logLine(LogLevel::Info, "Found receipt, version: " + wideToUtf8(info.version));
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
    text += L"Installation Path: " + info.installPath + L"\n";
    if (!info.version.empty()) text += L"Version: " + info.version + L"\n";
    text += L"\nThe following will be removed:\n";
    for (const std::wstring& item : info.removalItems) text += L"  - " + item + L"\n";
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

std::vector<std::wstring> UninstallManager::entriesToKeep(const std::wstring& alsoKeep) {
    std::vector<std::wstring> keep;
    if (!alsoKeep.empty()) keep.push_back(alsoKeep);
    if (!logFinalPath_.empty()) keep.push_back(logFinalPath_);
    const std::wstring image = finalPathOf(ownImagePath());
    if (!image.empty()) keep.push_back(image);
    return keep;
}

ErrorCode UninstallManager::removeTree(const std::wstring& folder, uint32_t& files, uint32_t& folders,
                                       const std::wstring& alsoKeep) {
    return FileOperations().removeDirectory(folder, true, &files, &folders, entriesToKeep(alsoKeep));
}

void UninstallManager::removeSessionFolders(uint32_t& files, uint32_t& folders) {
    const std::wstring windows = folderPath(CSIDL_WINDOWS);
    if (!usableBase(windows)) {
        logLine(LogLevel::Warning, "Cannot obtain the Windows folder; session folders are not removed");
        return;
    }
    const std::wstring temp = (fs::path(windows) / L"Temp").wstring();
    if (!entryExistsOrThrow(temp)) return;
    std::vector<std::wstring> sessions;
    const size_t prefixLength = sizeof kSessionPrefix / sizeof kSessionPrefix[0] - 1;
    DirectoryWalkError walkError;
    // Entries of the folder itself come before any of its subfolders', so
    // the walk stops at the first deeper entry.
    DirectoryWalker::walk(
        temp,
        [&](const DirectoryWalkEntry& entry) {
            if (entry.relativePath.find(L'\\') != std::wstring::npos) return false;
            if (entry.isDirectory() && entry.relativePath.size() >= prefixLength &&
                samePath(entry.relativePath.substr(0, prefixLength), kSessionPrefix))
                sessions.push_back(entry.fullPath);
            return true;
        },
        walkError);
    for (const std::wstring& session : sessions) {
        uint32_t f = 0;
        uint32_t d = 0;
        removeTree(session, f, d);
        files += f;
        folders += d;
    }
}

ScopedHandle UninstallManager::holdOwnImage(const std::wstring& installPath) {
    const std::wstring path = ownImagePath();
    if (path.empty()) return ScopedHandle();
    // Held from before the removal: whatever is later put at its path, the
    // file moved out for the restart is this program's own image.
    ScopedHandle image(CreateFileW(toExtendedLengthPath(path).c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    std::wstring imageFinal;
    const std::wstring root = finalPathOf(installPath);
    if (!image || !getFinalPathByHandle(image.get(), imageFinal) || root.empty() ||
        !isStrictlyInside(fromExtendedLengthPath(imageFinal), root))
        return ScopedHandle();
    return image;
}

bool UninstallManager::moveOwnImageForRestart(HANDLE image, std::wstring& left) {
    std::wstring imageFinal;
    if (!getFinalPathByHandle(image, imageFinal)) return false;
    imageFinal = fromExtendedLengthPath(std::move(imageFinal));
    left = imageFinal;
    const std::wstring name = fs::path(imageFinal).filename().wstring();
    // Only a drive's root holds the folder: it is made here, under a fresh
    // name, with an access list that only administrators and the system
    // can change, so nothing scheduled below it can be redirected.
    if (imageFinal.size() < 3 || imageFinal[1] != L':' || imageFinal[2] != L'\\' || name.empty()) {
        logLine(LogLevel::Warning, "No drive root to hold the uninstaller until the restart: " + wideToUtf8(imageFinal));
        return false;
    }
    unsigned char random[8] = {};
    if (BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) return false;
    std::wstring folderName = L"KorvelPendingDelete-";
    for (unsigned char b : random) {
        const wchar_t digits[] = L"0123456789abcdef";
        folderName.push_back(digits[b >> 4]);
        folderName.push_back(digits[b & 15]);
    }
    const std::wstring folder = imageFinal.substr(0, 3) + folderName;
    PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)",
                                                              SDDL_REVISION_1, &rawDescriptor, nullptr))
        return false;
    const LocalMemory descriptor(rawDescriptor);
    const std::wstring ntPath = L"\\??\\" + folder;
    UNICODE_STRING unicode;
    RtlInitUnicodeString(&unicode, ntPath.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, nullptr, rawDescriptor);
    IO_STATUS_BLOCK io{};
    HANDLE rawFolder = nullptr;
    const NTSTATUS status =
        NtCreateFile(&rawFolder, FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                     &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     FILE_CREATE, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr,
                     0);
    if (status < 0) {
        logLine(LogLevel::Warning, "Cannot create " + wideToUtf8(folder) + ": " +
                                       std::to_string(RtlNtStatusToDosError(status)));
        return false;
    }
    const ScopedHandle folderHandle(rawFolder);
    // Renamed through its own handle into the new folder's handle.
    if (const uint32_t error = renameIntoFolder(image, folderHandle.get(), name, false); error != 0) {
        logLine(LogLevel::Warning, "Cannot move the uninstaller to " + wideToUtf8(folder) + ": " + std::to_string(error));
        RemoveDirectoryW(folder.c_str());
        return false;
    }
    const std::wstring moved = folder + L"\\" + name;
    left = moved;
    for (const std::wstring& path : {moved, folder}) {
        if (!MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            logLine(LogLevel::Warning, "Failed to schedule removal at restart: " + wideToUtf8(path) + " - " +
                                           std::to_string(GetLastError()));
            return false;
        }
    }
    logLine(LogLevel::Warning, "The uninstaller runs from the installation folder: " + wideToUtf8(imageFinal) +
                                   " was moved to " + wideToUtf8(moved) + " and will be removed at the next restart");
    return true;
}

int UninstallManager::removeFilesPhase(const InstallationInfo& info, const UninstallOptions& options,
                                       UninstallStats& stats) {
    logLine(LogLevel::Info, "Removing files");
    recordEvent(L"remove_files", L"in_progress");

    if (entryExistsOrThrow(info.installPath)) {
        // A process's current folder cannot be removed; started from the
        // uninstall shortcut, that folder lies inside the installation.
        const std::wstring current = currentDirectory();
        if (!current.empty() && isPathContainedIn(current, info.installPath)) {
            const std::wstring windows = folderPath(CSIDL_WINDOWS);
            if (usableBase(windows)) SetCurrentDirectoryW(windows.c_str());
        }
        // Started from inside the installation: the running image can be
        // renamed but not deleted.
        const ScopedHandle image = holdOwnImage(info.installPath);
        // The receipt goes last: a run that is killed or fails part way
        // leaves it, and the uninstaller left in the installation then still
        // finds what remains.
        const std::wstring receipt = finalPathOf(getReceiptPath(info.installPath).wstring());
        uint32_t files = 0;
        uint32_t folders = 0;
        ErrorCode code = removeTree(info.installPath, files, folders, receipt);
        if (code == ErrorCode::Success && image) {
            std::wstring left;
            if (!moveOwnImageForRestart(image.get(), left))
                logLine(LogLevel::Warning, "Nothing is scheduled for the restart; left in place: " + wideToUtf8(left) +
                                               " and the folders holding it");
        }
        if (code == ErrorCode::Success) code = removeTree(info.installPath, files, folders);
        if (code != ErrorCode::Success) {
            logLine(LogLevel::Error, "Failed to remove installation directory");
            return toInt(code);
        }
        stats.filesRemoved = files;
        stats.directoriesRemoved = folders;
    }

    if (options.purge) {
        const struct {
            int csidl;
            const char* name;
        } purgeFolders[] = {{CSIDL_LOCAL_APPDATA, "local application-data"},
                            {CSIDL_COMMON_APPDATA, "common application-data"}};
        for (const auto& target : purgeFolders) {
            const std::wstring base = folderPath(target.csidl);
            if (!usableBase(base)) {
                logLine(LogLevel::Warning, std::string("Cannot obtain the ") + target.name +
                                               " folder; its Korvel folder is not removed");
                continue;
            }
            const std::wstring folder = (fs::path(base) / L"Korvel").wstring();
            if (!entryExistsOrThrow(folder)) continue;
            uint32_t files = 0;
            uint32_t folders = 0;
            removeTree(folder, files, folders);
            stats.filesRemoved += files;
            stats.directoriesRemoved += folders;
        }
    }

    removeSessionFolders(stats.filesRemoved, stats.directoriesRemoved);

    recordEvent(L"remove_files", L"complete",
                number(stats.filesRemoved) + L" files, " + number(stats.directoriesRemoved) + L" dirs");
    return 0;
}

// ---------------------------------------------------------------------- log

fs::path UninstallManager::logFilePath() {
    const std::wstring base = folderPath(CSIDL_COMMON_APPDATA);
    if (!usableBase(base)) return fs::path();
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_s(&utc, &now) != 0) utc = std::tm{};
    wchar_t name[64];
    std::swprintf(name, 64, L"uninstall-%04d%02d%02d-%02d%02d%02d.log", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return fs::path(base) / L"Korvel" / L"Logs" / name;
}

ErrorCode UninstallManager::initFileLogging() {
    if (logOpen_) return ErrorCode::Success;
    const fs::path path = logFilePath();
    if (path.empty()) {
        logLine(LogLevel::Warning, "Cannot obtain the common application-data folder for the uninstall log");
        return ErrorCode::FileWriteFailed;
    }
    logPath_ = path.wstring();
    const fs::path folder = path.parent_path();
    // Users may make folders in the common application-data folder: each
    // level is opened or made through the pinned level above it, so a link
    // planted at "Korvel" or "Logs" is refused, never followed.
    PinnedDirectory pinned;
    uint32_t error = 0;
    if (!pinParentFolder(folder.parent_path().parent_path().wstring(), pinned, error)) {
        logLine(LogLevel::Error, "Log folder cannot be used: " + pathToUtf8(folder) + " - " + std::to_string(error));
        return ErrorCode::FileWriteFailed;
    }
    for (const wchar_t* level : {L"Korvel", L"Logs"}) {
        PinnedDirectory child;
        bool created = false;
        if (!openChildFolder(pinned, level, ChildDisposition::OpenOrCreate,
                             FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_SUBDIRECTORY | FILE_ADD_FILE, nullptr, child,
                             created, error)) {
            logLine(LogLevel::Error,
                    "Log folder cannot be used: " + pathToUtf8(folder) + " - " + std::to_string(error));
            return ErrorCode::FileWriteFailed;
        }
        pinned = std::move(child);
    }
    const std::wstring name = path.filename().wstring();
    const std::string relative = wideToUtf8(name);
    const std::wstring full = pinned.finalPath() + L"\\" + name;
    if (entryExistsOrThrow(full)) {
        bool violation = false;
        if (!pinned.deleteEntry(full, relative, error, violation)) return ErrorCode::FileWriteFailed;
    }
    ScopedHandle file(CreateFileW(toExtendedLengthPath(full).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return ErrorCode::FileWriteFailed;
    if (!pinned.verifyHandlePath(file.get(), relative, error)) return ErrorCode::FileWriteFailed;
    std::wstring finalPath;
    if (getFinalPathByHandle(file.get(), finalPath)) logFinalPath_ = fromExtendedLengthPath(std::move(finalPath));
    logFile_ = std::move(file);
    logOpen_ = true;
    writeLog("Korvel Uninstaller Log\nStarted: " + wideToUtf8(formatUtcTimestamp()) + "\n\n");
    return ErrorCode::Success;
}

bool UninstallManager::writeLog(const std::string& text) {
    if (!logOpen_) return false;
    size_t offset = 0;
    while (offset < text.size()) {
        DWORD written = 0;
        if (!WriteFile(logFile_.get(), text.data() + offset, static_cast<DWORD>(text.size() - offset), &written,
                       nullptr) ||
            written == 0)
            return false;
        offset += written;
    }
    return true;
}

int UninstallManager::writeSummary(const InstallationInfo& info, const UninstallStats& stats) {
    if (!logOpen_) return 0;
    std::string text = "\n=== Uninstall Summary ===\n";
    text += "Version: " + wideToUtf8(info.version) + "\n";
    text += "Install Path: " + wideToUtf8(info.installPath) + "\n";
    text += "Processes Terminated: " + std::to_string(stats.processesTerminated) + "\n";
    text += "Shortcuts Removed: " + std::to_string(stats.shortcutsRemoved) + "\n";
    text += "Registry Keys Removed: " + std::to_string(stats.registryKeysRemoved) + "\n";
    text += "Files Removed: " + std::to_string(stats.filesRemoved) + "\n";
    text += "Directories Removed: " + std::to_string(stats.directoriesRemoved) + "\n";
    text += "Duration: " + std::to_string(stats.durationMs) + " ms\n";
    text += std::string("Success: ") + (stats.success ? "true" : "false") + "\n";
    return writeLog(text) ? 0 : toInt(ErrorCode::FileWriteFailed);
}

}  // namespace korvel
