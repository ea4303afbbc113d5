#pragma once
// Helpers shared by the apply flow's source files; not part of the
// handler's interface.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "common/EventLogger.h"
#include "common/ErrorCodes.h"
#include "common/FileOperations.h"

namespace korvel::detail {

// Largest manifest or file the download client may fetch (2 GiB).
constexpr uint64_t kMaxDownloadSize = 0x80000000ULL;

// Copies into the target, the cache and the backup: overwrite, keep the
// time stamps, verify the hash, make parent folders.
inline CopyOptions fullCopyOptions() {
    CopyOptions options;
    options.overwrite = true;
    options.preserveTimestamps = true;
    options.verifyHash = true;
    options.createParentDirs = true;
    return options;
}

// One diagnostic line under the handler's component name.
inline const ComponentLog handlerLog("ManifestHandler");

// System clock in 100-ns ticks since 1970-01-01.
int64_t unixTicksNow();

// Attributes of a path, INVALID_FILE_ATTRIBUTES when they cannot be read;
// error receives GetLastError() in that case.
DWORD fileAttributes(const std::filesystem::path& path, DWORD* error = nullptr);

// True when the attributes name an existing regular file (not a folder).
bool isExistingFile(const std::filesystem::path& path);

// True when the folder below root, or any existing folder or file on the way
// from root to root / relativePath (the last component included), is a
// link, junction or mount point (other reparse points are plain files and
// folders). Writing through such a link would change files outside
// the folder that the relative path is meant to stay in.
bool crossesLink(const std::filesystem::path& root, const std::filesystem::path& relativePath);

// The same, telling as well what the one walk saw: how many components of
// relativePath exist (from the first on) and the attributes of the last
// one (INVALID_FILE_ATTRIBUTES when it is missing), so that a caller need
// not look at the same names again.
struct PathWalk {
    size_t existing = 0;
    DWORD lastAttributes = INVALID_FILE_ATTRIBUTES;
};
bool crossesLink(const std::filesystem::path& root, const std::filesystem::path& relativePath, PathWalk& walk);

// Clears the read-only attribute of an existing file so that it can be
// replaced; 0 when there is nothing to clear.
ErrorCode makeReplaceable(const std::filesystem::path& file);
// The same for a file whose attributes were just read (INVALID: missing).
ErrorCode makeReplaceable(const std::filesystem::path& file, DWORD attributes);

// A global object name for a folder: a hash of its path in one spelling.
std::wstring folderLockName(const wchar_t* prefix, std::wstring key);

// Waits for a lock another run may hold: a "waiting" status first when it
// is taken, then up to limit. An abandoned lock is ours: its holder ended.
bool waitForLock(HANDLE mutex, std::chrono::milliseconds limit, const char* operation, const std::string& details,
                 const std::string& waitingLine);

}  // namespace korvel::detail
