#pragma once
// Hashing, copying, deleting and inspecting files for the elevated helper.
// Every operation returns an ErrorCode, writes a DEBUG line when it starts,
// logs Windows failures in one form and reports them as file events.
#include <windows.h>

#include <bcrypt.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/BytePump.h"
#include "common/ErrorCodes.h"
#include "common/UniqueResource.h"

namespace korvel {

struct FileInfo {
    std::filesystem::path path;
    uint64_t size = 0;
    // Last-write time as whole seconds of local time, in units of 100 ns.
    int64_t lastModified = 0;
    // Lower-case hex SHA-256; only when size > 0 and hashing succeeded.
    std::string sha256;
    bool exists = false;
    bool readOnly = false;
    bool hidden = false;
    bool system = false;
};

struct CopyOptions {
    bool overwrite = false;
    bool preserveTimestamps = true;
    bool verifyHash = true;
    bool createParentDirs = true;
    // Called after each chunk of a large copy with (copied, total); returning
    // false cancels the copy.
    std::function<bool(uint64_t copied, uint64_t total)> progressCallback;
};

// One SHA-256 computation over Windows CNG. Owns its provider and hash
// handles and releases them when finished or destroyed.
class Sha256Hasher {
public:
    Sha256Hasher() = default;
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    // Opens the provider and creates the hash; 0 or 204.
    ErrorCode begin();
    // 0 or 204.
    ErrorCode update(const void* data, size_t size);
    // Writes the digest as 64 lower-case hex digits and releases the hash
    // (the provider stays for the next begin); 0 or 204.
    ErrorCode finish(std::string& hex);

private:
    void releaseHash() noexcept;
    void release() noexcept;

    CngAlgorithmHandle algorithm_;
    CngHashHandle hash_;
    std::vector<unsigned char> object_;
    uint32_t objectLength_ = 0;
    uint32_t digestLength_ = 0;
};

// A pump (with its one buffer) and a hasher, made once and reused by every
// verified copy of a run.
struct TransferScratch {
    BytePump pump;
    Sha256Hasher hasher;
};

class FileOperations {
public:
    ErrorCode getFileInfo(const std::filesystem::path& path, FileInfo& info);
    ErrorCode calculateSha256(const std::filesystem::path& path, std::string& hex);
    ErrorCode copyFile(const std::filesystem::path& source, const std::filesystem::path& target,
                       const CopyOptions& options);
    ErrorCode deleteFile(const std::filesystem::path& path);
    ErrorCode createDirectory(const std::filesystem::path& path);
    // Removes a folder (only an empty one unless recursive) through a pinned
    // handle. The optional counters are increased for each file and each
    // folder (the root included) actually deleted, also when the removal
    // fails later on.
    ErrorCode removeDirectory(const std::filesystem::path& path, bool recursive, uint32_t* filesRemoved = nullptr,
                              uint32_t* foldersRemoved = nullptr);
    // The same recursive removal, leaving in place every entry whose final
    // path (normal form) is listed in keep, with the folders that hold it;
    // the root stays too when it holds one. Success when everything else went.
    ErrorCode removeDirectory(const std::filesystem::path& path, bool recursive, uint32_t* filesRemoved,
                              uint32_t* foldersRemoved, const std::vector<std::wstring>& keep);
    // The Windows error that made the last failed removeDirectory of this
    // thread fail (0 when none was given).
    static uint32_t lastRemovalError() noexcept;
    ErrorCode setReadOnly(const std::filesystem::path& path, bool readOnly);
    ErrorCode verifyFileIntegrity(const std::filesystem::path& path, const std::string& expectedSha256);
    ErrorCode verifySignature(const std::filesystem::path& path);

    static ErrorCode mapWin32Error(uint32_t win32Error);
    static void logWin32Failure(const std::string& operation, const std::filesystem::path& path,
                                uint32_t win32Error) noexcept;

    ErrorCode hashFile(const std::filesystem::path& path, std::string& hex);
    // Hashes an open file from its start; size receives the bytes read.
    ErrorCode hashHandle(HANDLE file, const std::filesystem::path& name, TransferScratch& scratch, std::string& hex,
                         uint64_t& size);

    // Copies an open source, from its start, into an open target (truncated
    // first), hashing the bytes as they are written; digest and size
    // describe what was written. Attributes and, when asked, times go along.
    ErrorCode copyBetween(HANDLE source, const std::filesystem::path& sourceName, HANDLE target,
                          const std::filesystem::path& targetName, bool preserveTimestamps, TransferScratch& scratch,
                          std::string& digest, uint64_t& size);

    // Copies an open source, read from its start, to target through a
    // temporary file beside it, hashing the bytes as they are written there.
    // The target is replaced in one step only when the bytes written have
    // expectedSize and expectedSha256 (else 142 and the target is as it
    // was). The source's attributes and times go along. Same DEBUG line and
    // events as copyFile; sourceName only names the source in them.
    ErrorCode copyVerified(HANDLE source, const std::filesystem::path& sourceName, const std::filesystem::path& target,
                           const CopyOptions& options, uint64_t expectedSize, const std::string& expectedSha256,
                           TransferScratch& scratch);
    // The DEBUG line and events of a completed copyVerified of size bytes,
    // for a target that got the source's bytes another way (a second name
    // of the very file).
    static void reportCopied(const std::filesystem::path& sourceName, const std::filesystem::path& target,
                             uint64_t size);
    ErrorCode copyFileChunked(const std::filesystem::path& source, const std::filesystem::path& target,
                              const CopyOptions& options);

    // A fresh name in the target's folder for content that replaces the
    // target in one step once it is complete.
    static std::filesystem::path temporaryPathBeside(const std::filesystem::path& target);

    // Two hex digests name the same bytes: equal length and equal digits,
    // letter case ignored.
    static bool digestsEqual(const std::string& a, const std::string& b) noexcept;

    // Largest file copied by the system in one call; larger files are
    // copied in chunks with progress events.
    static constexpr uint64_t kSystemCopyLimit = 10ull * 1024 * 1024;
    static constexpr size_t kChunkSize = BytePump::kChunkSize;
};

}  // namespace korvel
