#pragma once
// Downloads one URL at a time into a file over WinHTTP, synchronously, with
// resume by byte range, a size cap, a cancellable progress callback and JSON
// events about every step (operation "download", component "http_client").
#include "common/UniqueResource.h"

#include <winhttp.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/BytePump.h"
#include "common/ErrorCodes.h"
#include "common/UniqueResource.h"
// The client reports WinHTTP failures by the one network table.
#include "common/WindowsErrorMap.h"

namespace korvel {

struct DownloadProgress {
    // Bytes in the destination file so far, the resume offset included.
    uint64_t downloaded = 0;
    // Resume offset + Content-Length; 0 when neither is known.
    uint64_t total = 0;
    // downloaded / total * 100, clamped to 0..100; 0 while total is 0.
    double percent = 0.0;
    std::chrono::steady_clock::time_point startTime;
    std::chrono::steady_clock::time_point currentTime;
    double bytesPerSecond = 0.0;
    uint64_t etaMs = 0;
};

struct DownloadOptions {
    bool resume = false;
    uint64_t maxSize = 2147483648ULL;
    // Called after every chunk; returning false cancels the download.
    std::function<bool(const DownloadProgress&)> progressCallback;
    // Extra request headers, added in the map's order.
    std::map<std::wstring, std::wstring> headers;
    // Observers of the body as it is written: bodyStart once the response is
    // accepted, with the offset at which the body lands (0 after a
    // truncation), then bodyData with every chunk after it reached the file.
    // false from either fails the download with 143.
    std::function<bool(uint64_t offset)> bodyStart;
    std::function<bool(const void* data, size_t size)> bodyData;
    // Not read by the client: every request uses the user agent and
    // time-outs fixed when the session is opened.
    std::wstring userAgent = L"KorvelElevated/1.0";
    uint32_t requestTimeoutMs = 30000;
    uint32_t connectTimeoutMs = 10000;
};

class HttpClient {
public:
    HttpClient() = default;
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Opens the session once; later calls return 0 at once.
    ErrorCode initialize();
    ErrorCode downloadFile(const std::wstring& url, const std::filesystem::path& destination,
                           const DownloadOptions& options);
    // The same into a file the caller opened (write access, and read access
    // when resuming is wanted); destination only names it in messages. With
    // resume the offset is the file's size; otherwise, and after a 200
    // answer, the file is truncated before the body is written.
    ErrorCode downloadFile(const std::wstring& url, HANDLE file, const std::filesystem::path& destination,
                           const DownloadOptions& options);

    // The inner steps of a download, in the order downloadFile uses them.
    ErrorCode openRequest(const std::wstring& url, WinHttpHandle& connection, WinHttpHandle& request,
                          const DownloadOptions& options);
    ErrorCode sendRequest(HINTERNET request);
    ErrorCode receiveBody(HINTERNET request, const std::filesystem::path& destination,
                          const DownloadOptions& options, uint64_t offset);
    ErrorCode receiveBody(HINTERNET request, HANDLE file, const std::filesystem::path& destination,
                          const DownloadOptions& options, uint64_t offset);
    std::map<std::string, std::string> readResponseHeaders(HINTERNET request);
    // The Content-Length header, its name in any letter case; 0 when it is
    // missing or not a plain decimal number.
    static uint64_t getContentLength(const std::map<std::string, std::string>& headers);
    // As above, but empty when no usable Content-Length was announced.
    static std::optional<uint64_t> announcedContentLength(const std::map<std::string, std::string>& headers);
    // Reports one failed WinHTTP call as an error event; never throws.
    void logHttpFailure(const std::wstring& operation, const std::wstring& url, DWORD code) noexcept;

    bool isInitialized() const { return initialized; }
    // The HTTP status of the last download's answer; 0 when none was read.
    uint32_t lastHttpStatus() const { return lastHttpStatus_; }

    // The bounds every request is held to (tests shorten them): response
    // headers within headerTimeoutMs and at most kMaxResponseHeaderBytes,
    // and a body that brings fewer than minBytesPerSecond on average over
    // any rateWindowMs fails as a time-out (166).
    void setTransferBounds(uint32_t headerTimeoutMs, uint32_t minBytesPerSecond, uint32_t rateWindowMs) {
        headerTimeoutMs_ = headerTimeoutMs;
        minBytesPerSecond_ = minBytesPerSecond;
        rateWindowMs_ = rateWindowMs;
    }

    static constexpr uint32_t kResolveTimeoutMs = 60000;
    static constexpr uint32_t kConnectTimeoutMs = 10000;
    static constexpr uint32_t kSendTimeoutMs = 30000;
    static constexpr uint32_t kReceiveTimeoutMs = 30000;
    static constexpr uint32_t kHeaderTimeoutMs = 60000;
    static constexpr uint32_t kMaxResponseHeaderBytes = 65536;
    static constexpr uint32_t kMinBytesPerSecond = 1024;
    static constexpr uint32_t kRateWindowMs = 60000;

private:
    // Either a path to open once the answer is accepted, or an open file.
    ErrorCode download(const std::wstring& url, const std::filesystem::path& destination, HANDLE file,
                       const DownloadOptions& options);

    WinHttpHandle session;
    bool initialized = false;
    // One transfer buffer for every download of this client.
    BytePump pump_;
    uint32_t lastHttpStatus_ = 0;
    uint32_t headerTimeoutMs_ = kHeaderTimeoutMs;
    uint32_t minBytesPerSecond_ = kMinBytesPerSecond;
    uint32_t rateWindowMs_ = kRateWindowMs;
};

}  // namespace korvel
