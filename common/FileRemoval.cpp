// Deleting files and removing folder trees; trees go through a pinned
// handle on the folder, never by a path a link could redirect.
#include "common/FileOperations.h"

#include <algorithm>
#include <system_error>

#include "common/DirectoryWalker.h"
#include "common/EventLogger.h"
#include "common/FileOperationsInternal.h"
#include "common/PathCompare.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"

namespace korvel {
namespace fs = std::filesystem;
using fileops::logLine;

ErrorCode FileOperations::deleteFile(const fs::path& path) {
    logLine(LogLevel::Debug, "Deleting file: " + pathToUtf8(path));
    if (DeleteFileW(path.c_str())) {
        EventLogger::instance().fileOperation("delete", path, true, 0, false);
        return ErrorCode::Success;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return ErrorCode::Success;
    logWin32Failure("DeleteFile", path, code);
    return mapWin32Error(code);
}

namespace {

// The Windows error of the last failed deletion of a removal on this thread.
thread_local uint32_t t_lastRemovalError = 0;

void reportDelete(const fs::path& path, bool success, uint32_t win32Error) noexcept {
    if (!success) t_lastRemovalError = win32Error;
    EventLogger::instance().fileOperation("delete", path, success, win32Error, !success);
}

bool vanished(uint32_t win32Error) { return win32Error == ERROR_FILE_NOT_FOUND || win32Error == ERROR_PATH_NOT_FOUND; }

// The walk's entries below the pinned folder, files and folders apart, kept
// entries (and the folders holding them) left out; current follows the walk.
// False, the failure reported, when the walk failed.
bool collectRemovals(const PinnedDirectory& pinned, const fs::path& path, const std::vector<std::wstring>& keep,
                     std::vector<RemovalEntry>& files, std::vector<RemovalEntry>& folders, bool& keptAny,
                     fs::path& current) {
    auto isKept = [&](const std::wstring& entryPath) {
        for (const std::wstring& kept : keep) {
            if (isSameOrInside(kept, entryPath)) return true;
        }
        return false;
    };
    // The walk lists by handle and never enters links or junctions: a
    // link is collected as an entry and deleted as itself.
    DirectoryWalkError walkError;
    const bool walked = DirectoryWalker::walk(
        pinned.finalPath(),
        [&](const DirectoryWalkEntry& entry) {
            current = entry.fullPath;
            RemovalEntry item;
            item.fullPath = entry.fullPath;
            // Names from the folder's own listing, whatever they are, are
            // deleted by those exact names below the pinned handle.
            item.relativePath = utf16ToUtf8Strict(entry.relativePath);
            item.isDirectory = entry.isDirectory();
            if (isKept(entry.fullPath)) {
                keptAny = true;
                return true;
            }
            (item.isDirectory ? folders : files).push_back(std::move(item));
            return true;
        },
        walkError);
    if (!walked) {
        reportDelete(walkError.path.empty() ? path : fs::path(walkError.path), false, walkError.win32Error);
        return false;
    }
    return true;
}

// Deletes the collected files, then the folders deepest first, by their
// names below the pinned handle. An entry already gone is no failure.
ErrorCode deleteCollected(PinnedDirectory& pinned, std::vector<RemovalEntry>& files,
                          std::vector<RemovalEntry>& folders, uint32_t* filesRemoved, uint32_t* foldersRemoved,
                          fs::path& current) {
    std::sort(folders.begin(), folders.end(), removalOrderLess);
    for (const std::vector<RemovalEntry>* list : {&files, &folders}) {
        for (const RemovalEntry& entry : *list) {
            current = entry.fullPath;
            uint32_t entryError = 0;
            bool containmentViolation = false;
            if (pinned.deleteListedEntry(entry.relativePath, entryError, containmentViolation)) {
                reportDelete(entry.fullPath, true, 0);
                uint32_t* counter = entry.isDirectory ? foldersRemoved : filesRemoved;
                if (counter) ++*counter;
                continue;
            }
            reportDelete(entry.fullPath, false, entryError);
            if (containmentViolation) {
                logLine(LogLevel::Error,
                        "Refusing to delete an entry outside the folder: " + pathToUtf8(entry.fullPath));
                return ErrorCode::DirectoryAccessDenied;
            }
            if (!vanished(entryError)) return ErrorCode::DirectoryAccessDenied;
        }
    }
    return ErrorCode::Success;
}

}  // namespace

ErrorCode FileOperations::removeDirectory(const fs::path& path, bool recursive, uint32_t* filesRemoved,
                                          uint32_t* foldersRemoved) {
    return removeDirectory(path, recursive, filesRemoved, foldersRemoved, {});
}

ErrorCode FileOperations::removeDirectory(const fs::path& path, bool recursive, uint32_t* filesRemoved,
                                          uint32_t* foldersRemoved, const std::vector<std::wstring>& keep) {
    logLine(LogLevel::Debug, "Removing directory: " + pathToUtf8(path));
    t_lastRemovalError = 0;

    PinnedDirectory pinned;
    uint32_t error = 0;
    if (!openDirectoryNoReparse(path.wstring(), pinned, error, DELETE | FILE_READ_ATTRIBUTES)) {
        if (vanished(error)) return ErrorCode::Success;
        if (error == kVolumeRootRefusedError)
            logLine(LogLevel::Error, "Refusing to remove a volume root: " + pathToUtf8(path));
        reportDelete(path, false, error);
        return ErrorCode::DirectoryAccessDenied;
    }
    // Whatever the pin let through, a whole volume is never emptied.
    if (isVolumeRootPath(pinned.finalPath())) {
        logLine(LogLevel::Error, "Refusing to remove a volume root: " + pathToUtf8(path));
        reportDelete(path, false, kVolumeRootRefusedError);
        return ErrorCode::DirectoryAccessDenied;
    }

    auto removeRoot = [&]() {
        uint32_t rootError = 0;
        if (!pinned.deleteRoot(rootError)) {
            reportDelete(path, false, rootError);
            return recursive && vanished(rootError) ? ErrorCode::Success : ErrorCode::DirectoryAccessDenied;
        }
        // The folder goes when its last handle closes.
        pinned.reset();
        if (foldersRemoved) ++*foldersRemoved;
        reportDelete(path, true, 0);
        return ErrorCode::Success;
    };
    if (!recursive) return removeRoot();

    fs::path current = path;
    try {
        std::vector<RemovalEntry> files;
        std::vector<RemovalEntry> folders;
        bool keptAny = false;
        if (!collectRemovals(pinned, path, keep, files, folders, keptAny, current))
            return ErrorCode::DirectoryAccessDenied;
        if (const ErrorCode deleted = deleteCollected(pinned, files, folders, filesRemoved, foldersRemoved, current);
            deleted != ErrorCode::Success)
            return deleted;
        current = path;
        if (keptAny) return ErrorCode::Success;
        return removeRoot();
    } catch (const std::system_error& e) {
        const int code = e.code().value();
        reportDelete(current, false, code != 0 ? static_cast<uint32_t>(code) : ERROR_INVALID_NAME);
        return ErrorCode::DirectoryAccessDenied;
    } catch (...) {
        reportDelete(current, false, ERROR_INVALID_NAME);
        return ErrorCode::DirectoryAccessDenied;
    }
}

uint32_t FileOperations::lastRemovalError() noexcept { return t_lastRemovalError; }

}  // namespace korvel
