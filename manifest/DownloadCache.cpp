// The cache folder's lock, store and sweep.
#include "manifest/DownloadCache.h"

#include <windows.h>

#include <cwctype>
#include <stdexcept>
#include <string>

#include "common/EventLogger.h"
#include "common/FileSystemQueries.h"
#include "common/PinnedDirectory.h"
#include "common/ProductFolders.h"
#include "common/TextConversion.h"
#include "manifest/ManifestInternal.h"

namespace korvel {

using detail::handlerLog;

namespace {

std::string hashPrefix(const std::string& sha256) {
    std::string h8 = sha256.substr(0, 8);
    if (h8.find('\0') != std::string::npos) throw std::invalid_argument("Path contains an embedded NUL");
    return h8;
}

}  // namespace

std::wstring DownloadCache::lockName(const std::filesystem::path& folder) {
    // One name per cache folder, the same for every process and session.
    std::wstring key = folder.wstring();
    std::wstring full;
    uint32_t error = 0;
    if (getFullPathName(key, full, error)) key = full;
    return detail::folderLockName(kCacheFolderName, key);
}

ErrorCode DownloadCache::lock(std::chrono::milliseconds timeout, Lock& out) {
    const std::wstring name = lockName(folder_);
    out.mutex.reset(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!out.mutex) {
        handlerLog(LogLevel::Error, "Failed to create the cache lock: " + std::to_string(GetLastError()));
        return ErrorCode::InternalError;
    }
    // An abandoned lock is ours: its holder ended, and every run checks
    // what it finds in the cache anyway.
    if (detail::waitForLock(out.mutex.get(), timeout, "cache_lock", pathToUtf8(folder_),
                            "Waiting for another update that uses the cache")) {
        out.held.reset(out.mutex.get());
        return ErrorCode::Success;
    }
    handlerLog(LogLevel::Error, "Timed out waiting for another update that uses the cache");
    return ErrorCode::Timeout;
}

bool DownloadCache::mayHold(const std::string& sha256) {
    if (!listed_) {
        listed_ = true;
        listingUsable_ = pinned_.isOpen() && pinned_.listTopFolders(topFolders_);
    }
    if (!listingUsable_) return true;
    std::wstring name;
    try {
        name = utf8ToPath(hashPrefix(sha256)).wstring();
    } catch (...) {
        return true;
    }
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
    return topFolders_.count(name) != 0;
}

std::filesystem::path DownloadCache::storePath(const std::string& sha256) const {
    return folder_ / utf8ToPath(hashPrefix(sha256)) / utf8ToPath(sha256);
}

ErrorCode DownloadCache::storeCopy(HANDLE source, const std::filesystem::path& sourcePath, const std::string& sha256,
                                   uint64_t size, TransferScratch& scratch) {
    const std::string h8 = hashPrefix(sha256);
    const ErrorCode opened = ensureOpen();
    if (opened != ErrorCode::Success) return opened;
    // The store folder stays pinned while the file is written into it.
    PinnedChain folder;
    const ErrorCode dirResult = pinned_.pinFolder(utf8ToPath(h8), true, folder, true, false);
    if (dirResult != ErrorCode::Success) return dirResult;

    // The bytes written into the store are hashed as they are written and
    // must be the entry's.
    CopyOptions options = detail::fullCopyOptions();
    options.createParentDirs = false;
    FileOperations files;
    return files.copyVerified(source, sourcePath, storePath(sha256), options, size, sha256, scratch);
}

ErrorCode DownloadCache::storeLink(HeldFile& downloaded, const std::filesystem::path& tempPath,
                                   const std::string& sha256, uint64_t size, HeldFile& kept) {
    // The download's bytes were checked as they reached the file, which
    // nobody else could write since: the store entry is a second name of
    // that very file.
    std::filesystem::path relative;
    const std::string h8 = hashPrefix(sha256);
    if (!pinned_.isOpen() || !pinned_.contains(tempPath, relative)) return ErrorCode::FileAccessDenied;
    const std::filesystem::path storedRelative = utf8ToPath(h8) / utf8ToPath(sha256);
    PinnedChain folder;
    const ErrorCode linked = pinned_.linkFile(downloaded.file.get(), storedRelative, folder);
    if (linked != ErrorCode::Success) return linked;
    FileOperations::reportCopied(tempPath, folder_ / storedRelative, size);
    kept = std::move(downloaded);
    for (std::shared_ptr<PinnedDirectory>& level : folder) kept.chain.push_back(std::move(level));
    kept.size = size;
    return ErrorCode::Success;
}

void DownloadCache::sweep() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    const uint64_t dayTicks = 864000000000ULL;
    const uint64_t limit = ticks.QuadPart > dayTicks ? ticks.QuadPart - dayTicks : 0;
    if (!pinned_.isOpen()) {
        // Trimming never makes the folder.
        const DWORD attributes = detail::fileAttributes(folder_);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
        if (pinned_.open(folder_) != ErrorCode::Success) return;
    }
    // Kept backups hold the target's old files with their old time stamps;
    // they are purged by their own rule, never by age.
    pinned_.sweep(limit, L"backups");
}

}  // namespace korvel
