#pragma once
// The download cache of the apply: its folder (given by whoever makes it),
// the lock that keeps two runs out of it at once, the content-addressed
// store <first 8 hash digits>\<hash> and the sweep that trims it. Every
// entry is reached through the pinned folder (CacheFolder), never by a path
// a link could redirect.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <unordered_set>

#include "common/ErrorCodes.h"
#include "common/FileOperations.h"
#include "common/UniqueResource.h"
#include "manifest/CacheFolder.h"

namespace korvel {

class DownloadCache {
public:
    explicit DownloadCache(std::filesystem::path folder) : folder_(std::move(folder)) {}
    DownloadCache(const DownloadCache&) = delete;
    DownloadCache& operator=(const DownloadCache&) = delete;

    const std::filesystem::path& folder() const noexcept { return folder_; }

    // Creates and pins the folder afresh (CacheFolder::open).
    ErrorCode open() {
        listed_ = false;
        return pinned_.open(folder_);
    }
    // Pins it unless it is pinned already.
    ErrorCode ensureOpen() { return pinned_.isOpen() ? ErrorCode::Success : open(); }

    // The pinned folder's operations (see CacheFolder).
    bool isOpen() const noexcept { return pinned_.isOpen(); }
    bool contains(const std::filesystem::path& path, std::filesystem::path& relative) const {
        return pinned_.contains(path, relative);
    }
    ErrorCode pinFolder(const std::filesystem::path& relative, bool create, PinnedChain& chain, bool announce = true,
                        bool hold = true) {
        return pinned_.pinFolder(relative, create, chain, announce, hold);
    }
    ErrorCode openFile(const std::filesystem::path& relative, uint32_t access, uint32_t share, bool create,
                       PinnedChain& chain, ScopedHandle& file, bool announce = true) {
        return pinned_.openFile(relative, access, share, create, chain, file, announce);
    }
    ErrorCode removeFile(const std::filesystem::path& relative) { return pinned_.removeFile(relative); }
    bool createNewFile(const std::filesystem::path& relative, uint32_t access, uint32_t share, PinnedChain& chain,
                       ScopedHandle& file) {
        return pinned_.createNewFile(relative, access, share, chain, file);
    }
    // Lets the folders held between uses go, before a folder below is
    // removed.
    void releaseHeld() noexcept { pinned_.releaseHeld(); }

    // The lock of the folder, held while its owners live.
    struct Lock {
        ScopedHandle mutex;
        HeldMutex held;
    };
    // Waits up to timeout for another run that uses this folder ("waiting"
    // status first); 6 when it does not end in time, 4 when the lock cannot
    // be made.
    ErrorCode lock(std::chrono::milliseconds timeout, Lock& out);
    // The system-wide name of the lock of a cache folder.
    static std::wstring lockName(const std::filesystem::path& folder);

    // Whether the store may hold content with this digest, by one listing
    // of the folder taken at the first call (refreshStoreListing takes it
    // anew): false only when the listing lacks its store folder. Never a
    // reason to trust an entry; only a reason not to look one up.
    bool mayHold(const std::string& sha256);
    void refreshStoreListing() { listed_ = false; }

    // Where the store keeps the content with this digest (as written);
    // a NUL among its first 8 characters throws invalid_argument.
    std::filesystem::path storePath(const std::string& sha256) const;
    // Writes size bytes read from source into the store entry of sha256,
    // hashed as they are written; anything but the entry's bytes fails.
    ErrorCode storeCopy(HANDLE source, const std::filesystem::path& sourcePath, const std::string& sha256,
                        uint64_t size, TransferScratch& scratch);
    // Makes the held download at tempPath (below the folder) the store entry
    // of sha256 as a second name of the same file; kept then holds the file
    // with the store folders. Fails, leaving downloaded as it was, where the
    // volume cannot do that: the caller then copies.
    ErrorCode storeLink(HeldFile& downloaded, const std::filesystem::path& tempPath, const std::string& sha256,
                        uint64_t size, HeldFile& kept);

    // Deletes every file below the folder older than 24 hours (kept backups
    // aside) and the temporary files at its top; a missing folder is left
    // missing.
    void sweep();

private:
    std::filesystem::path folder_;
    CacheFolder pinned_;
    bool listed_ = false;
    bool listingUsable_ = false;
    std::unordered_set<std::wstring> topFolders_;
};

}  // namespace korvel
