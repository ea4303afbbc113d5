// The file removal phase: the installation folder (its receipt last, this
// program's own image moved out for the restart when it runs from inside),
// the product's data folders on a purge, and the session folders left in the
// Windows temporary folder.
#include "uninstall/UninstallManager.h"

#include <windows.h>

#include <bcrypt.h>
#include <sddl.h>
#include <shlobj.h>
#include <winternl.h>

#include "common/DirectoryWalker.h"
#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/FileSystemQueries.h"
#include "common/PathCompare.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/Win32Util.h"
#include "uninstall/InstallReceiptReader.h"
#include "uninstall/UninstallInternal.h"

namespace korvel {
namespace fs = std::filesystem;
using namespace uninstall_detail;
namespace {

const wchar_t kSessionPrefix[] = L"korvel-session-";

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

std::wstring currentDirectory() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return std::wstring();
    std::wstring buffer(needed, L'\0');
    const DWORD n = GetCurrentDirectoryW(needed, buffer.data());
    if (n == 0 || n >= needed) return std::wstring();
    buffer.resize(n);
    return buffer;
}

}  // namespace

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
    const OpenAtRequest request{FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                FILE_CREATE,
                                FILE_DIRECTORY_FILE,
                                FILE_ATTRIBUTE_NORMAL,
                                rawDescriptor};
    ScopedHandle folderHandle;
    if (const long status = openAt(nullptr, L"\\??\\" + folder, request, folderHandle); status < 0) {
        logLine(LogLevel::Warning, "Cannot create " + wideToUtf8(folder) + ": " +
                                       std::to_string(win32ErrorOfStatus(status)));
        return false;
    }
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

}  // namespace korvel
