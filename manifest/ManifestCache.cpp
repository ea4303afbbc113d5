// The download pass and the content-addressed store behind it:
// KorvelCache\<first 8 hash digits>\<hash>, filled from "<path>.tmp"
// downloads, trimmed when a handler goes away.
#include <windows.h>

#include <cctype>
#include <cwctype>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

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

std::string hashPrefix(const std::string& sha256) {
    std::string h8 = sha256.substr(0, 8);
    if (h8.find('\0') != std::string::npos) throw std::invalid_argument("Path contains an embedded NUL");
    return h8;
}

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

uint64_t fileTimeValue(const FILETIME& ft) {
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    return v.QuadPart;
}

bool isDotName(const wchar_t* name) {
    return (name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0);
}

// Deletes the regular files below folder last written before limit. Links
// are neither followed nor deleted, and skipTop (a direct child of the top
// folder) is left out entirely.
void deleteOlderThan(const std::filesystem::path& folder, uint64_t limit, const std::wstring& skipTop, bool top) {
    WIN32_FIND_DATAW data;
    const std::wstring pattern = (folder / L"*").wstring();
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return;
    std::vector<std::filesystem::path> subFolders;
    do {
        if (isDotName(data.cFileName)) continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        const std::filesystem::path entry = folder / data.cFileName;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (top && _wcsicmp(data.cFileName, skipTop.c_str()) == 0) continue;
            subFolders.push_back(entry);
        } else if (fileTimeValue(data.ftLastWriteTime) < limit) {
            DeleteFileW(entry.c_str());
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    for (const auto& sub : subFolders) deleteOlderThan(sub, limit, skipTop, false);
}

}  // namespace

ErrorCode ManifestHandler::downloadAllFiles(const Manifest& manifest) {
    handlerLog(LogLevel::Info, "Downloading all files from manifest");
    int32_t filesDone = 0;
    uint64_t bytesDone = 0;

    for (const ManifestFile& entry : manifest.files) {
        if (!entry.isRequired) {
            handlerLog(LogLevel::Debug, "Skipping optional file: " + entry.path);
            continue;
        }

        std::filesystem::path stored;
        if (cachePathFor(entry.sha256, stored) == ErrorCode::Success && detail::isExistingFile(stored) &&
            verifyFile(entry, stored) == ErrorCode::Success) {
            handlerLog(LogLevel::Debug, "Using cached file: " + entry.path);
            bytesDone += entry.size;
            setProgress(filesDone, bytesDone, entry.path);
            continue;
        }

        const std::filesystem::path tempPath = cacheDir / utf8ToPath(entry.path + ".tmp").make_preferred();
        setProgress(filesDone, bytesDone, entry.path);

        const ErrorCode result = downloadFile(entry, tempPath, manifest.baseUrl);
        if (result != ErrorCode::Success) {
            handlerLog(LogLevel::Error, "Failed to download file: " + entry.path);
            return result;
        }

        if (storeInCache(tempPath, entry.sha256) != ErrorCode::Success) {
            handlerLog(LogLevel::Warning, "Failed to store file in cache: " + entry.path);
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
    constexpr int kAttempts = 3;
    FileOperations files;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        handlerLog(LogLevel::Debug, "Download attempt " + std::to_string(attempt) + " for: " + wideToUtf8(url));

        if (attempt == 1) {
            // A leftover of an earlier run may belong to other content or to
            // a server that has changed since; only this run's bytes resume.
            std::error_code ignored;
            std::filesystem::remove(destination, ignored);
        }

        DownloadOptions options;
        options.resume = attempt > 1;
        options.maxSize = detail::kMaxDownloadSize;
        if (http.downloadFile(url, destination, options) == ErrorCode::Success) {
            if (expectedSha256.empty() || files.verifyFileIntegrity(destination, expectedSha256) == ErrorCode::Success) {
                return ErrorCode::Success;
            }
            handlerLog(LogLevel::Warning, "Hash verification failed, retrying...");
            removeOrThrow(destination);
        }

        if (attempt < kAttempts) Sleep(1000);
    }
    handlerLog(LogLevel::Error, "Download failed after " + std::to_string(kAttempts) + " attempts");
    return ErrorCode::DownloadFailed;
}

ErrorCode ManifestHandler::cachePathFor(const std::string& sha256, std::filesystem::path& path) {
    const std::string h8 = hashPrefix(sha256);
    path = cacheDir / utf8ToPath(h8) / utf8ToPath(sha256);
    const DWORD attributes = detail::fileAttributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ErrorCode::Success;
    return ErrorCode::FileNotFound;
}

ErrorCode ManifestHandler::storeInCache(const std::filesystem::path& source, const std::string& sha256) {
    const std::filesystem::path folder = cacheDir / utf8ToPath(hashPrefix(sha256));
    FileOperations files;
    const ErrorCode dirResult = files.createDirectory(folder);
    if (dirResult != ErrorCode::Success) return dirResult;

    CopyOptions options;
    options.overwrite = true;
    options.preserveTimestamps = true;
    options.verifyHash = true;
    options.createParentDirs = true;
    return files.copyFile(source, folder / utf8ToPath(sha256), options);
}

void ManifestHandler::cleanupDownloadCache() {
    handlerLog(LogLevel::Debug, "Cleaning up download cache");
    const DWORD attributes = detail::fileAttributes(cacheDir);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;

    cleanupExpiredCacheFiles();

    std::error_code ec;
    std::filesystem::directory_iterator it(cacheDir, ec), end;
    std::vector<std::filesystem::path> temporaries;
    for (; !ec && it != end; it.increment(ec)) {
        const std::filesystem::path& entry = it->path();
        std::wstring ext = entry.extension().wstring();
        for (auto& ch : ext) ch = static_cast<wchar_t>(std::towlower(ch));
        if (ext != L".tmp") continue;
        const DWORD entryAttributes = detail::fileAttributes(entry);
        if (entryAttributes == INVALID_FILE_ATTRIBUTES) continue;
        if (entryAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        temporaries.push_back(entry);
    }
    for (const auto& file : temporaries) DeleteFileW(file.c_str());
}

ErrorCode ManifestHandler::cleanupExpiredCacheFiles() {
    handlerLog(LogLevel::Debug, "Cleaning up expired cache files");
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t dayTicks = 864000000000ULL;
    const uint64_t nowTicks = fileTimeValue(now);
    const uint64_t limit = nowTicks > dayTicks ? nowTicks - dayTicks : 0;
    // Kept backups hold the target's old files with their old time stamps;
    // they are purged by their own rule, never by age.
    deleteOlderThan(cacheDir, limit, L"backups", true);
    return ErrorCode::Success;
}

}  // namespace korvel
