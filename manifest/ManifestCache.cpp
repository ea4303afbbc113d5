// The download pass and the content-addressed store behind it:
// KorvelCache\<first 8 hash digits>\<hash>, filled from "<path>.tmp"
// downloads, trimmed when a handler goes away.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/BytePump.h"
#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/FileSystemQueries.h"
#include "common/HttpClient.h"
#include "common/TextConversion.h"
#include "manifest/ManifestHandler.h"
#include "manifest/ManifestInternal.h"

namespace korvel {

using detail::handlerLog;

namespace {

// Characters that would change what the URL means, or that are not allowed
// in one at all, are sent as %XX of their UTF-8 bytes.
bool needsEscape(unsigned char c) {
    return c == ' ' || c == '%' || c == '#' || c == '?' || c < 0x20 || c == 0x7F || c >= 0x80;
}

std::string encodePathForUrl(const std::string& path) {
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (char ch : path) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += '/';
        } else if (needsEscape(c)) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace

ErrorCode ManifestHandler::downloadAllFiles(const Manifest& manifest) {
    handlerLog(LogLevel::Info, "Downloading all files from manifest");
    int32_t filesDone = 0;
    uint64_t bytesDone = 0;
    // What the store holds is listed once for the pass: an entry whose
    // store folder the listing lacks is not looked up by its name (a miss
    // costs as much as reading the whole folder where names are matched by
    // listing, as under Wine).
    cache.refreshStoreListing();

    for (const ManifestFile& entry : manifest.files) {
        if (!entry.isRequired) {
            handlerLog(LogLevel::Debug, "Skipping optional file: " + entry.path);
            continue;
        }

        std::filesystem::path stored;
        if (cache.mayHold(entry.sha256) && cachePathFor(entry.sha256, stored) == ErrorCode::Success &&
            verifyFile(entry, stored) == ErrorCode::Success) {
            handlerLog(LogLevel::Debug, "Using cached file: " + entry.path);
            bytesDone += entry.size;
            setProgress(filesDone, bytesDone, entry.path);
            continue;
        }

        const std::filesystem::path tempPath = cache.folder() / utf8ToPath(entry.path + ".tmp").make_preferred();
        setProgress(filesDone, bytesDone, entry.path);

        handlerLog(LogLevel::Debug, "Downloading file: " + entry.path);
        const std::string base = !manifest.baseUrl.empty() ? manifest.baseUrl : utf16ToUtf8Strict(cdnRoot);
        std::wstring url;
        buildFileUrl(entry, base, url);
        // No more than the entry declares is accepted, and the temporary
        // file stays open, unwritable by others, until it is stored.
        HeldFile downloaded;
        const ErrorCode result = fetchWithRetry(url, tempPath, entry.sha256, entry.size, downloaded);
        if (result != ErrorCode::Success) {
            handlerLog(LogLevel::Error, "Failed to download file: " + entry.path);
            return result;
        }

        stored = cache.storePath(entry.sha256);
        HeldFile kept;
        if (storeDownloaded(downloaded, tempPath, entry.sha256, entry.size, kept) != ErrorCode::Success) {
            handlerLog(LogLevel::Warning, "Failed to store file in cache: " + entry.path);
        } else {
            transaction.noteChecked(stored.wstring(), entry.size);
        }

        filesDone += 1;
        bytesDone += entry.size;
        setProgress(filesDone, bytesDone, entry.path);

        if (progressCallback && !progressCallback(progress)) {
            handlerLog(LogLevel::Info, "Download cancelled by user");
            return ErrorCode::Cancelled;
        }
    }

    handlerLog(LogLevel::Info, "All files downloaded successfully");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::downloadFile(const ManifestFile& entry, const std::filesystem::path& tempPath,
                                        const std::string& baseUrl) {
    handlerLog(LogLevel::Debug, "Downloading file: " + entry.path);
    const std::string base = !baseUrl.empty() ? baseUrl : utf16ToUtf8Strict(cdnRoot);
    std::wstring url;
    buildFileUrl(entry, base, url);
    return downloadWithRetry(url, tempPath, entry.sha256);
}

ErrorCode ManifestHandler::buildFileUrl(const ManifestFile& entry, const std::string& base, std::wstring& url) {
    std::string text;
    if (!entry.downloadUrl.empty()) {
        text = entry.downloadUrl;
    } else {
        text = base;
        if (!base.empty() && base.back() != '/') text += '/';
        text += "files/";
        text += entry.sha256.substr(0, 8);
        text += '/';
        text += encodePathForUrl(entry.path);
    }
    url = utf8ToUtf16(text);
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::downloadWithRetry(const std::wstring& url, const std::filesystem::path& destination,
                                             const std::string& expectedSha256) {
    HeldFile downloaded;
    return fetchWithRetry(url, destination, expectedSha256, detail::kMaxDownloadSize, downloaded);
}

ErrorCode ManifestHandler::fetchWithRetry(const std::wstring& url, const std::filesystem::path& destination,
                                          const std::string& expectedSha256, uint64_t maxSize, HeldFile& out) {
    constexpr int kAttempts = 3;
    // The digest of the bytes as they reach the file: those already in it
    // when a download resumes are read back through the same handle.
    uint64_t hashed = 0;
    bool hashing = false;
    DownloadOptions options;
    options.maxSize = maxSize;
    options.bodyStart = [&](uint64_t offset) {
        if (hashing && offset == hashed && offset != 0) return true;
        hashing = downloadHasher.begin() == ErrorCode::Success;
        hashed = 0;
        if (!hashing) return false;
        LARGE_INTEGER start{};
        if (offset > 0 && !SetFilePointerEx(out.file.get(), start, nullptr, FILE_BEGIN)) return false;
        BytePump::Job readBack;
        readBack.source = out.file.get();
        readBack.hasher = &downloadHasher;
        readBack.cap = offset;
        const BytePump::Result read = scratch.pump.run(readBack);
        hashed = read.bytes;
        return read.ok() && hashed == offset;
    };
    options.bodyData = [&](const void* data, size_t size) {
        if (!hashing || downloadHasher.update(data, size) != ErrorCode::Success) return false;
        hashed += size;
        return true;
    };

    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        handlerLog(LogLevel::Debug, "Download attempt " + std::to_string(attempt) + " for: " + wideToUtf8(url));

        if (attempt == 1) {
            out.file.close();
            out.chain.clear();
            // Most names are free: the file is made new at once. A leftover
            // of an earlier run may belong to other content or to a server
            // that has changed since; only this run's bytes resume, so what
            // holds the name goes first, as itself.
            std::filesystem::path relative;
            if (!cache.isOpen() || !cache.contains(destination, relative) ||
                !cache.createNewFile(relative, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, out.chain, out.file)) {
                out.chain.clear();
                removeFileAt(destination);
            }
        }
        if (!out.file) {
            // Read access for a resume's digest; nobody else may write.
            const ErrorCode opened = openFileAt(destination, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, true, out,
                                                false);
            if (opened != ErrorCode::Success) {
                handlerLog(LogLevel::Error, "Cannot open download file: " + pathToUtf8(destination));
                hashing = false;
            } else if (attempt == 1) {
                SetEndOfFile(out.file.get());
                hashing = false;
            }
        }

        if (out.file) {
            options.resume = attempt > 1;
            if (http.downloadFile(url, out.file.get(), destination, options) == ErrorCode::Success) {
                std::string digest;
                if (hashing && downloadHasher.finish(digest) == ErrorCode::Success) {
                    hashing = false;
                    if (expectedSha256.empty() || FileOperations::digestsEqual(digest, expectedSha256)) {
                        out.sha256 = digest;
                        out.size = hashed;
                        return ErrorCode::Success;
                    }
                }
                hashing = false;
                handlerLog(LogLevel::Warning, "Hash verification failed, retrying...");
                out.file.close();
                out.chain.clear();
                removeFileOrThrow(destination);
            }
        }

        if (attempt < kAttempts) Sleep(1000);
    }
    // Nothing received is nothing to resume from later.
    LARGE_INTEGER size{};
    const bool empty = out.file && GetFileSizeEx(out.file.get(), &size) && size.QuadPart == 0;
    out.file.close();
    out.chain.clear();
    if (empty) removeFileAt(destination);
    handlerLog(LogLevel::Error, "Download failed after " + std::to_string(kAttempts) + " attempts");
    return ErrorCode::DownloadFailed;
}

ErrorCode ManifestHandler::cachePathFor(const std::string& sha256, std::filesystem::path& path) {
    path = cache.storePath(sha256);
    const DWORD attributes = detail::fileAttributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ErrorCode::Success;
    return ErrorCode::FileNotFound;
}

ErrorCode ManifestHandler::storeInCache(const std::filesystem::path& source, const std::string& sha256) {
    HeldFile from;
    const ErrorCode opened = openFileAt(source, GENERIC_READ, FILE_SHARE_READ, false, from);
    if (opened != ErrorCode::Success) return opened;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(from.file.get(), &size)) return FileOperations::mapWin32Error(GetLastError());
    return storeFromHeld(from, source, sha256, static_cast<uint64_t>(size.QuadPart), nullptr);
}

ErrorCode ManifestHandler::storeFromHeld(HeldFile& source, const std::filesystem::path& sourcePath,
                                         const std::string& sha256, uint64_t size, HeldFile* keep) {
    const ErrorCode copied = cache.storeCopy(source.file.get(), sourcePath, sha256, size, scratch);
    if (copied != ErrorCode::Success || keep == nullptr) return copied;
    // Not held: the installation checks its bytes once more as it writes them.
    keep->file.close();
    keep->chain.clear();
    keep->size = size;
    keep->sha256.clear();
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::storeDownloaded(HeldFile& downloaded, const std::filesystem::path& tempPath,
                                           const std::string& sha256, uint64_t size, HeldFile& kept) {
    // A second name of the checked download where the volume can; else a
    // copy checked as it is written.
    if (cache.storeLink(downloaded, tempPath, sha256, size, kept) == ErrorCode::Success) return ErrorCode::Success;
    return storeFromHeld(downloaded, tempPath, sha256, size, &kept);
}

void ManifestHandler::cleanupDownloadCache() {
    handlerLog(LogLevel::Debug, "Cleaning up download cache");
    transaction.forgetChecks();
    const DWORD attributes = detail::fileAttributes(cache.folder());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    if (cache.ensureOpen() != ErrorCode::Success) return;
    // One walk through pinned handles serves both rules.
    cleanupExpiredCacheFiles();
}

ErrorCode ManifestHandler::cleanupExpiredCacheFiles() {
    handlerLog(LogLevel::Debug, "Cleaning up expired cache files");
    cache.sweep();
    return ErrorCode::Success;
}

}  // namespace korvel
