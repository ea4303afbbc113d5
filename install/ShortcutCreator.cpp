#include "install/ShortcutCreator.h"

#include <shlobj.h>

#include <cstdio>
#include <filesystem>

#include "common/DirectoryWalker.h"
#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/FileSystemQueries.h"
#include "common/PathCompare.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"

namespace korvel {
namespace fs = std::filesystem;

namespace {

const char kComponent[] = "ShortcutCreator";
const wchar_t kProductFolder[] = L"Korvel";
const wchar_t kProductFilter[] = L"Korvel";
const wchar_t kLauncherName[] = L"KorvelLauncher.exe";
const wchar_t kUninstallerName[] = L"KorvelUninstall.exe";
const wchar_t kDescription[] = L"Korvel - Virtual World Platform";
const wchar_t kUninstallIcon[] = L"C:\\Windows\\System32\\appwiz.cpl";
const wchar_t kBadNameCharacters[] = L"\\/:*?\"<>|";
constexpr size_t kMaxNameLength = 255;

const ComponentLog logLine(kComponent);

std::string text(const std::wstring& wide) { return wideToUtf8(wide); }

std::wstring joinPath(const std::wstring& dir, const std::wstring& name) { return (fs::path(dir) / name).wstring(); }


// The path without its last component and the separators before it; a
// drive's root keeps its separator.
std::wstring parentFolder(const std::wstring& path) {
    size_t end = path.size();
    while (end > 0 && !isPathSeparator(path[end - 1])) --end;
    while (end > 0 && isPathSeparator(path[end - 1])) --end;
    std::wstring parent = path.substr(0, end);
    if (parent.size() == 2 && parent[1] == L':' && path.size() > 2 && isPathSeparator(path[2])) parent += L'\\';
    return parent;
}

bool isBadNameCharacter(wchar_t c) { return c == L'\0' || std::wstring(kBadNameCharacters).find(c) != std::wstring::npos; }

ErrorCode mapHresult(HRESULT hr) {
    if (hr == E_OUTOFMEMORY) return ErrorCode::OutOfMemory;
    if (hr == E_INVALIDARG) return ErrorCode::InvalidArguments;
    return ErrorCode::ShortcutCreateFailed;
}

}  // namespace

ShortcutCreator::~ShortcutCreator() {
    persistFile.reset();
    shellLink.reset();
    if (comInitialized) {
        apartment_.reset();
        comInitialized = false;
    }
    try {
        logLine(LogLevel::Debug, "ShortcutCreator cleaned up");
    } catch (...) {
    }
}

ErrorCode ShortcutCreator::initialize() {
    if (comInitialized) return ErrorCode::Success;
    logLine(LogLevel::Debug, "Initializing ShortcutCreator");
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (hr == S_OK || hr == S_FALSE) {
        apartment_.reset(true);
        comInitialized = true;
    } else if (hr == RPC_E_CHANGED_MODE) {
        // The thread already has another apartment, which is used as it is.
        comInitialized = true;
    } else {
        logLine(LogLevel::Error, "Failed to initialize COM: " + std::to_string(static_cast<long>(hr)));
        return ErrorCode::InternalError;
    }
    hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                          reinterpret_cast<void**>(shellLink.put()));
    if (FAILED(hr)) {
        logHresultFailure("CoCreateInstance(IShellLink)", hr, std::string());
        return mapHresult(hr);
    }
    hr = shellLink.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(persistFile.put()));
    if (FAILED(hr)) {
        logHresultFailure("QueryInterface(IPersistFile)", hr, std::string());
        return mapHresult(hr);
    }
    logLine(LogLevel::Info, "ShortcutCreator initialized successfully");
    return ErrorCode::Success;
}

void ShortcutCreator::logHresultFailure(const std::string& operation, HRESULT hr, const std::string& details) noexcept {
    try {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08lX", static_cast<unsigned long>(static_cast<uint32_t>(hr)));
        std::string line = operation + " failed with HRESULT: 0x" + hex;
        if (!details.empty()) line += " - " + details;
        logLine(LogLevel::Error, line);
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------
// Creating

ErrorCode ShortcutCreator::createShortcuts(const std::wstring& installDir, const std::wstring& launcherExecutable,
                                           const std::wstring& launcherWorkingDir,
                                           const std::wstring& uninstallLauncherPath) {
    logLine(LogLevel::Info, "Creating shortcuts for installation: " + text(installDir));
    if (const ErrorCode code = initialize(); code != ErrorCode::Success) return code;

    std::vector<ShortcutInfo> shortcuts;
    shortcuts.push_back(makeMainShortcut(installDir, launcherExecutable, launcherWorkingDir));
    ShortcutInfo desktop = makeMainShortcut(installDir, launcherExecutable, launcherWorkingDir);
    desktop.location = ShortcutLocation::Desktop;
    desktop.allUsers = true;
    shortcuts.push_back(std::move(desktop));

    bool uninstallTargetExists = false;
    ShortcutInfo uninstall = makeUninstallShortcut(installDir, uninstallLauncherPath, uninstallTargetExists);
    if (uninstallTargetExists) {
        shortcuts.push_back(std::move(uninstall));
    } else {
        logLine(LogLevel::Warning,
                "Skipping uninstall shortcut creation - no valid target found under installer path: " +
                    (uninstall.targetPath.empty() ? std::string("<none>") : text(uninstall.targetPath)));
    }

    const ErrorCode result = createShortcutList(shortcuts);
    if (result != ErrorCode::Success) {
        logLine(LogLevel::Error, "Failed to create some shortcuts");
    } else {
        logLine(LogLevel::Info, "All shortcuts created successfully");
        SHChangeNotify(SHCNE_ALLEVENTS, SHCNF_IDLIST, nullptr, nullptr);
    }
    return result;
}

ShortcutInfo ShortcutCreator::makeMainShortcut(const std::wstring& installDir, const std::wstring& launcherExecutable,
                                               const std::wstring& launcherWorkingDir) {
    ShortcutInfo info;
    info.name = L"Korvel";
    info.description = kDescription;
    info.targetPath = !launcherExecutable.empty() ? launcherExecutable : joinPath(installDir, kLauncherName);
    info.workingDirectory = !launcherWorkingDir.empty() ? launcherWorkingDir : parentFolder(info.targetPath);
    info.iconPath = info.targetPath;
    info.location = ShortcutLocation::StartMenu;
    info.allUsers = true;
    return info;
}

ShortcutInfo ShortcutCreator::makeUninstallShortcut(const std::wstring& installDir,
                                                    const std::wstring& uninstallLauncherPath, bool& targetExists) {
    ShortcutInfo info;
    info.name = L"Uninstall Korvel";
    info.description = L"Uninstall Korvel from your computer";
    info.iconPath = kUninstallIcon;
    info.location = ShortcutLocation::StartMenu;
    info.allUsers = true;
    info.runAsAdmin = true;

    const std::wstring launcherFolder = joinPath(installDir, L"Launcher");
    const std::wstring clientFolder = joinPath(installDir, L"Client");
    bool chosen = false;
    if (!uninstallLauncherPath.empty()) {
        if (existsOrThrow(uninstallLauncherPath)) {
            info.targetPath = uninstallLauncherPath;
            info.arguments = L"--uninstall";
            chosen = true;
        } else {
            logLine(LogLevel::Warning, "Electron launcher not found for uninstall shortcut: " +
                                           text(uninstallLauncherPath) + " (will attempt fallbacks)");
        }
    }
    const std::pair<std::wstring, const wchar_t*> fallbacks[] = {
        {joinPath(launcherFolder, kUninstallerName), L""},
        {joinPath(clientFolder, kUninstallerName), L""},
        {joinPath(launcherFolder, kLauncherName), L"--uninstall"},
    };
    for (const auto& [candidate, arguments] : fallbacks) {
        if (chosen) break;
        if (existsOrThrow(candidate)) {
            info.targetPath = candidate;
            info.arguments = arguments;
            chosen = true;
        }
    }
    if (!chosen) {
        info.targetPath = joinPath(installDir, kLauncherName);
        info.arguments = L"--uninstall";
    }
    info.workingDirectory = parentFolder(info.targetPath);
    targetExists = !info.targetPath.empty() && existsOrThrow(info.targetPath);
    return info;
}

ErrorCode ShortcutCreator::createShortcutList(const std::vector<ShortcutInfo>& shortcuts) {
    logLine(LogLevel::Info, "Creating " + std::to_string(shortcuts.size()) + " shortcuts");
    ErrorCode last = ErrorCode::Success;
    size_t created = 0;
    for (const ShortcutInfo& info : shortcuts) {
        const ErrorCode code = createShortcut(info);
        if (code == ErrorCode::Success) {
            ++created;
        } else {
            logLine(LogLevel::Warning, "Failed to create shortcut: " + text(info.name));
            last = code;
        }
    }
    logLine(LogLevel::Info, "Successfully created " + std::to_string(created) + " of " +
                                std::to_string(shortcuts.size()) + " shortcuts");
    return last;
}

ErrorCode ShortcutCreator::createShortcut(const ShortcutInfo& info) {
    logLine(LogLevel::Debug, "Creating shortcut: " + text(info.name));
    if (const ErrorCode code = initialize(); code != ErrorCode::Success) return code;
    if (const ErrorCode code = validateShortcut(info); code != ErrorCode::Success) return code;
    std::wstring linkPath;
    if (const ErrorCode code = buildShortcutPath(info, linkPath); code != ErrorCode::Success) return code;

    const ErrorCode result = createShortcutInternal(info, linkPath);
    const bool ok = result == ErrorCode::Success;
    EventLogger::instance().shortcutCreate(text(info.name), text(linkPath), ok);
    if (ok) {
        logLine(LogLevel::Info, "Shortcut created successfully: " + text(info.name));
    } else {
        logLine(LogLevel::Error, "Failed to create shortcut: " + text(info.name));
    }
    return result;
}

ErrorCode ShortcutCreator::validateShortcut(const ShortcutInfo& info) {
    if (info.targetPath.empty()) {
        logLine(LogLevel::Error, "Shortcut target path is empty");
        return ErrorCode::InvalidArguments;
    }
    if (!existsOrThrow(info.targetPath)) {
        logLine(LogLevel::Error, "Shortcut target does not exist: " + text(info.targetPath));
        return ErrorCode::FileNotFound;
    }
    bool badName = info.name.empty() || info.name.size() > kMaxNameLength;
    for (wchar_t c : info.name) badName = badName || isBadNameCharacter(c);
    if (badName) {
        logLine(LogLevel::Error, "Invalid shortcut name: " + text(info.name));
        return ErrorCode::InvalidArguments;
    }
    return ErrorCode::Success;
}

ErrorCode ShortcutCreator::buildShortcutPath(const ShortcutInfo& info, std::wstring& linkPath) {
    std::wstring folder;
    if (const ErrorCode code = GetShellFolderPath(info.location, info.allUsers, folder); code != ErrorCode::Success)
        return code;
    const std::wstring fileName = sanitizeShortcutName(info.name) + L".lnk";
    linkPath = info.location == ShortcutLocation::StartMenu ? joinPath(joinPath(folder, kProductFolder), fileName)
                                                            : joinPath(folder, fileName);
    return ErrorCode::Success;
}

ErrorCode ShortcutCreator::GetShellFolderPath(ShortcutLocation location, bool allUsers, std::wstring& path) {
    switch (location) {
        case ShortcutLocation::StartMenu:
            return getSpecialFolderPath(allUsers ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS, path);
        case ShortcutLocation::Desktop:
            return getSpecialFolderPath(allUsers ? CSIDL_COMMON_DESKTOPDIRECTORY : CSIDL_DESKTOPDIRECTORY, path);
        case ShortcutLocation::QuickLaunch:
            path = getQuickLaunchPath();
            return path.empty() ? ErrorCode::ShortcutCreateFailed : ErrorCode::Success;
        case ShortcutLocation::Taskbar:
            logLine(LogLevel::Warning, "Taskbar pinning not implemented in GetShellFolderPath");
            return ErrorCode::ShortcutCreateFailed;
    }
    logLine(LogLevel::Error, "Unknown shortcut type: " + std::to_string(static_cast<int32_t>(location)));
    return ErrorCode::InvalidArguments;
}

ErrorCode ShortcutCreator::getSpecialFolderPath(int csidl, std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, buffer, csidl, FALSE)) {
        logLine(LogLevel::Error, "SHGetSpecialFolderPath failed for CSIDL " + std::to_string(csidl) + ": " +
                                     std::to_string(GetLastError()));
        return ErrorCode::ShellFolderFailed;
    }
    path = buffer;
    return ErrorCode::Success;
}

std::wstring ShortcutCreator::getQuickLaunchPath() {
    wchar_t buffer[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_APPDATA, FALSE)) return std::wstring();
    const std::wstring folder = joinPath(joinPath(joinPath(buffer, L"Microsoft"), L"Internet Explorer"), L"Quick Launch");
    std::error_code ec;
    return fs::is_directory(fs::path(folder), ec) ? folder : std::wstring();
}

std::wstring ShortcutCreator::sanitizeShortcutName(const std::wstring& name) {
    std::wstring result = name;
    for (wchar_t& c : result) {
        if (isBadNameCharacter(c)) c = L'_';
    }
    const size_t first = result.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return L"Shortcut";
    const size_t last = result.find_last_not_of(L" \t");
    result = result.substr(first, last - first + 1);
    if (result.size() > kMaxNameLength) result.resize(kMaxNameLength);
    return result;
}

ErrorCode ShortcutCreator::createShellFolder(const std::wstring& folder) {
    std::error_code ec;
    if (fs::is_directory(fs::path(folder), ec)) return ErrorCode::Success;
    logLine(LogLevel::Debug, "Creating shell folder: " + text(folder));
    // The folder and its missing parents, with the Windows error of what
    // failed (the standard library's error would be an errno value).
    const int created = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (created != ERROR_SUCCESS && !(created == ERROR_ALREADY_EXISTS && fs::is_directory(fs::path(folder), ec))) {
        logLine(LogLevel::Error, "Failed to create shell folder: " + text(folder) + " - " +
                                     text(formatWin32Error(static_cast<uint32_t>(created))));
        return ErrorCode::ShellFolderFailed;
    }
    logLine(LogLevel::Debug, "Shell folder created successfully: " + text(folder));
    return ErrorCode::Success;
}

ErrorCode ShortcutCreator::createShortcutInternal(const ShortcutInfo& info, const std::wstring& linkPath) {
    logLine(LogLevel::Debug, "Creating shortcut internally: " + text(linkPath));
    if (const ErrorCode code = createShellFolder(parentFolder(linkPath)); code != ErrorCode::Success) return code;
    if (const ErrorCode code = applyShortcutProperties(info); code != ErrorCode::Success) return code;
    const HRESULT hr = persistFile.get()->Save(linkPath.c_str(), TRUE);
    if (FAILED(hr)) {
        logHresultFailure("IPersistFile::Save", hr, text(linkPath));
        return mapHresult(hr);
    }
    if (info.runAsAdmin && setShortcutElevation(linkPath) != ErrorCode::Success)
        logLine(LogLevel::Warning, "Failed to set shortcut elevation, but continuing");
    logLine(LogLevel::Debug, "Shortcut created successfully: " + text(linkPath));
    return ErrorCode::Success;
}

ErrorCode ShortcutCreator::applyShortcutProperties(const ShortcutInfo& info) {
    IShellLinkW* link = shellLink.get();
    HRESULT hr = link->SetPath(info.targetPath.c_str());
    if (FAILED(hr)) {
        logHresultFailure("IShellLink::SetPath", hr, std::string());
        return mapHresult(hr);
    }
    if (!info.arguments.empty()) {
        hr = link->SetArguments(info.arguments.c_str());
        if (FAILED(hr)) {
            logHresultFailure("IShellLink::SetArguments", hr, std::string());
            return mapHresult(hr);
        }
    }
    if (!info.workingDirectory.empty()) {
        hr = link->SetWorkingDirectory(info.workingDirectory.c_str());
        if (FAILED(hr)) {
            logHresultFailure("IShellLink::SetWorkingDirectory", hr, std::string());
            return mapHresult(hr);
        }
    } else if (FAILED(link->SetWorkingDirectory(parentFolder(info.targetPath).c_str()))) {
        logLine(LogLevel::Warning, "Failed to set default working directory");
    }
    if (!info.description.empty()) {
        hr = link->SetDescription(info.description.c_str());
        if (FAILED(hr)) {
            logHresultFailure("IShellLink::SetDescription", hr, std::string());
            return mapHresult(hr);
        }
    }
    if (!info.iconPath.empty()) {
        hr = link->SetIconLocation(info.iconPath.c_str(), info.iconIndex);
        if (FAILED(hr)) {
            logHresultFailure("IShellLink::SetIconLocation", hr, std::string());
            logLine(LogLevel::Warning, "Failed to set shortcut icon");
        }
    } else if (FAILED(link->SetIconLocation(info.targetPath.c_str(), 0))) {
        logLine(LogLevel::Warning, "Failed to set default icon from target");
    }
    hr = link->SetShowCmd(info.showCmd);
    if (FAILED(hr)) {
        logHresultFailure("IShellLink::SetShowCmd", hr, std::string());
        logLine(LogLevel::Warning, "Failed to set window state");
    }
    if (!info.hotkey.empty() && FAILED(link->SetHotkey(0))) logLine(LogLevel::Warning, "Failed to set hotkey");
    return ErrorCode::Success;
}

ErrorCode ShortcutCreator::setShortcutElevation(const std::wstring& linkPath) {
    logLine(LogLevel::Debug, "Setting shortcut elevation: " + text(linkPath));
    logLine(LogLevel::Warning, "Shortcut elevation setting not fully implemented");
    return ErrorCode::Success;
}

// ---------------------------------------------------------------------------
// Removing

std::wstring ShortcutCreator::getProgramsFolderPath(bool allUsers) {
    wchar_t buffer[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, buffer, allUsers ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS, FALSE))
        return std::wstring();
    return buffer;
}

std::wstring ShortcutCreator::getDesktopFolderPath(bool allUsers) {
    wchar_t buffer[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, buffer,
                                 allUsers ? CSIDL_COMMON_DESKTOPDIRECTORY : CSIDL_DESKTOPDIRECTORY, FALSE))
        return std::wstring();
    return buffer;
}

bool ShortcutCreator::hasLnkExtension(const std::wstring& fileName) {
    const std::wstring extension = fs::path(fileName).extension().wstring();
    if (extension.size() != 4) return false;
    std::wstring lower = extension;
    for (wchar_t& c : lower) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return lower == L".lnk";
}

std::vector<std::wstring> ShortcutCreator::findShortcutFiles(const std::wstring& folder, const std::wstring& filter,
                                                             bool& warnings) {
    std::vector<std::wstring> found;
    if (folder.empty()) return found;
    const auto unreadable = [&warnings](const std::wstring& path, uint32_t error) {
        logLine(LogLevel::Warning, "Cannot read folder while removing shortcuts: " + text(path) + " - " +
                                       std::to_string(error));
        warnings = true;
    };
    std::error_code ec;
    const fs::file_status status = fs::status(fs::path(folder), ec);
    if (ec && status.type() != fs::file_type::not_found) {
        unreadable(folder, static_cast<uint32_t>(ec.value()));
        return found;
    }
    if (!fs::exists(status)) return found;

    DirectoryWalkError error;
    const bool walked = DirectoryWalker::walk(
        folder,
        [&](const DirectoryWalkEntry& entry) {
            if (entry.isDirectory() || entry.isReparsePoint()) return true;
            const std::wstring name = fs::path(entry.fullPath).filename().wstring();
            if (hasLnkExtension(name) && (filter.empty() || name.find(filter) != std::wstring::npos))
                found.push_back(entry.fullPath);
            return true;
        },
        [&unreadable](const DirectoryWalkError& failure) {
            unreadable(failure.path, failure.win32Error);
            return true;
        },
        error);
    if (!walked) unreadable(error.path.empty() ? folder : error.path, error.win32Error);
    return found;
}

ErrorCode ShortcutCreator::removeAllShortcuts() {
    logLine(LogLevel::Info, "Removing all Korvel shortcuts");
    if (const ErrorCode code = initialize(); code != ErrorCode::Success) return code;

    bool warnings = false;
    const std::wstring commonPrograms = getProgramsFolderPath(true);
    const std::wstring userPrograms = getProgramsFolderPath(false);
    const std::wstring roots[] = {commonPrograms, userPrograms, getDesktopFolderPath(true),
                                  getDesktopFolderPath(false)};
    struct Candidate {
        size_t root;
        std::wstring path;
    };
    std::vector<Candidate> candidates;
    for (size_t i = 0; i < sizeof roots / sizeof roots[0]; ++i) {
        for (std::wstring& path : findShortcutFiles(roots[i], kProductFilter, warnings))
            candidates.push_back(Candidate{i, std::move(path)});
    }

    // Each file is deleted through its shell folder held open, by a handle
    // that proves it is the file inside that folder: a link is deleted as
    // itself or not at all, never what it points to.
    PinnedDirectory pinned[sizeof roots / sizeof roots[0]];
    uint32_t pinErrors[sizeof roots / sizeof roots[0]] = {};
    for (const Candidate& candidate : candidates) {
        const std::wstring& path = candidate.path;
        logLine(LogLevel::Debug, "Removing shortcut: " + text(path));
        PinnedDirectory& folder = pinned[candidate.root];
        uint32_t error = pinErrors[candidate.root];
        bool containmentViolation = false;
        bool deleted = false;
        if (error == 0 && !folder.isOpen() &&
            !openDirectoryNoReparse(roots[candidate.root], folder, error, FILE_READ_ATTRIBUTES))
            pinErrors[candidate.root] = error;
        if (error == 0) {
            const std::wstring& root = roots[candidate.root];
            const size_t cut = (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) ? root.size()
                                                                                                 : root.size() + 1;
            deleted = folder.deleteEntry(path, wideToUtf8(path.substr(cut)), error, containmentViolation);
        }
        if (deleted) {
            EventLogger::instance().shortcutCreate(text(fs::path(path).filename().wstring()), text(path), true);
            continue;
        }
        if (error == ERROR_FILE_NOT_FOUND && !containmentViolation) continue;
        logLine(LogLevel::Warning, "Failed to remove shortcut: " + text(path) + " - " + std::to_string(error));
        warnings = true;
    }

    // The product folders go through the pinned removal, which deletes a link
    // inside them as itself and never what it points to.
    FileOperations files;
    for (const std::wstring& programs : {commonPrograms, userPrograms}) {
        if (programs.empty()) continue;
        const std::wstring productFolder = joinPath(programs, kProductFolder);
        if (GetFileAttributesW(productFolder.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
        const ErrorCode code = files.removeDirectory(productFolder, true);
        if (code != ErrorCode::Success) {
            logLine(LogLevel::Warning, "Failed to remove Korvel program folder: " +
                                           text(formatWin32Error(FileOperations::lastRemovalError())));
            warnings = true;
        }
    }

    SHChangeNotify(SHCNE_ALLEVENTS, SHCNF_IDLIST, nullptr, nullptr);
    logLine(LogLevel::Info, std::string("Shortcut removal ") +
                                (warnings ? "completed with warnings" : "completed successfully"));
    return warnings ? ErrorCode::ShortcutCreateFailed : ErrorCode::Success;
}

}  // namespace korvel
