#include "common/HttpClient.h"

#include "common/FileSystemQueries.h"

#include <algorithm>
#include <deque>
#include <system_error>
#include <vector>

#include "common/EventLogger.h"
#include "common/TextConversion.h"

namespace korvel {

namespace {

constexpr size_t kBufferSize = BytePump::kChunkSize;
constexpr DWORD kSecureProtocols = 0x2800;  // TLS 1.2 and TLS 1.3 only
constexpr std::chrono::nanoseconds kProgressInterval{2000000000LL};

// One value for the whole process: set at the first chunk the process ever
// receives, then at each download progress event.
bool g_progressClockStarted = false;
std::chrono::steady_clock::time_point g_lastProgressEvent;

EventLogger& events() { return EventLogger::instance(); }

bool equalsIgnoreCase(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != L'\0'; ++i) {
        wchar_t x = a[i];
        wchar_t y = b[i];
        if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y) return false;
    }
    return i == a.size() && b[i] == L'\0';
}

bool equalsIgnoreCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return i == a.size() && b[i] == '\0';
}

// A plain unsigned decimal number that fits 64 bits; no sign, no spaces.
std::optional<uint64_t> parseDecimal(const std::string& text) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

template <typename String>
String trimHeaderText(const String& text) {
    size_t begin = 0;
    size_t end = text.size();
    auto blank = [](auto c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (begin < end && blank(text[begin])) ++begin;
    while (end > begin && blank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// The body's minimum rate: fewer than minimum bytes per second on average
// over any window of the given length fails the transfer. The bytes at the
// window's start are read from samples kept a sixtieth of the window apart
// (so at most about sixty), taking the newest sample at or before that
// start; a sample taken early counts fewer bytes, so the check only ever
// errs toward letting a transfer go on.
class RateWindow {
public:
    using Clock = std::chrono::steady_clock;
    RateWindow(Clock::time_point start, std::chrono::milliseconds window, uint32_t minimumPerSecond)
        : window_(window),
          spacing_(window / 60),
          required_(static_cast<uint64_t>(minimumPerSecond) * window.count() / 1000) {
        samples_.push_back({start, 0});
    }

    // received: bytes of the body so far, as of now.
    bool keepsUp(Clock::time_point now, uint64_t received) {
        if (window_.count() <= 0 || now - samples_.front().time < window_) return true;
        const Clock::time_point windowStart = now - window_;
        while (samples_.size() > 1 && samples_[1].time <= windowStart) samples_.pop_front();
        return received - samples_.front().received >= required_;
    }

    void record(Clock::time_point now, uint64_t received) {
        if (now - samples_.back().time >= spacing_) {
            samples_.push_back({now, received});
        }
    }

private:
    struct Sample {
        Clock::time_point time;
        uint64_t received;
    };
    std::chrono::milliseconds window_;
    std::chrono::milliseconds spacing_;
    uint64_t required_;
    std::deque<Sample> samples_;
};

void updateProgress(DownloadProgress& progress, std::chrono::steady_clock::time_point now) {
    progress.currentTime = now;
    if (progress.total > 0) {
        const double percent =
            static_cast<double>(progress.downloaded) / static_cast<double>(progress.total) * 100.0;
        progress.percent = std::clamp(percent, 0.0, 100.0);
    }
    const auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - progress.startTime).count();
    if (elapsedMs >= 1) {
        progress.bytesPerSecond = static_cast<double>(progress.downloaded) / (static_cast<double>(elapsedMs) / 1000.0);
    }
    if (progress.bytesPerSecond > 0 && progress.downloaded < progress.total) {
        progress.etaMs = static_cast<uint64_t>(static_cast<double>(progress.total - progress.downloaded) /
                                               progress.bytesPerSecond * 1000.0);
    }
}

}  // namespace

HttpClient::~HttpClient() {
    if (!initialized) return;
    session.reset();
    initialized = false;
    try {
        events().status("http_client", "cleaned_up");
    } catch (...) {
        // Nothing may leave a destructor.
    }
}

void HttpClient::logHttpFailure(const std::wstring& operation, const std::wstring& url, DWORD code) noexcept {
    try {
        std::string text = "HTTP operation failed: " + wideToUtf8(operation);
        if (!url.empty()) text += " (URL: " + wideToUtf8(url) + ")";
        text += " Error: " + std::to_string(code) + " - " + wideToUtf8(formatWin32Error(code));
        events().error(toInt(mapWinHttpError(code)), "http_client", text);
    } catch (...) {
        // Reporting a failure must not become a failure of its own.
    }
}

ErrorCode HttpClient::initialize() {
    if (initialized) return ErrorCode::Success;
    HINTERNET handle = WinHttpOpen(L"KorvelElevated/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0);
    if (handle == nullptr) {
        const DWORD code = GetLastError();
        logHttpFailure(L"WinHttpOpen", std::wstring(), code);
        return mapWinHttpError(code);
    }
    session.reset(handle);
    // Set here rather than left to the platform's defaults, which differ
    // between versions (and Wine): each step of a request has a bound.
    WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
    DWORD protocols = kSecureProtocols;
    WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    initialized = true;
    events().status("http_client", "initialized");
    return ErrorCode::Success;
}

ErrorCode HttpClient::downloadFile(const std::wstring& url, const std::filesystem::path& destination,
                                   const DownloadOptions& options) {
    return download(url, destination, INVALID_HANDLE_VALUE, options);
}

ErrorCode HttpClient::downloadFile(const std::wstring& url, HANDLE file, const std::filesystem::path& destination,
                                   const DownloadOptions& options) {
    return download(url, destination, file, options);
}

ErrorCode HttpClient::download(const std::wstring& url, const std::filesystem::path& destination, HANDLE file,
                               const DownloadOptions& options) {
    if (!initialized) {
        const ErrorCode result = initialize();
        if (result != ErrorCode::Success) return result;
    }

    lastHttpStatus_ = 0;
    events().status("download", "starting");
    events().log(LogLevel::Debug, "Downloading: " + wideToUtf8(url) + " -> " + pathToUtf8(destination));

    const bool ownFile = file == INVALID_HANDLE_VALUE;
    uint64_t offset = 0;
    if (options.resume) {
        bool present = false;
        if (ownFile) {
            present = existsOrThrow(destination);
            if (present) {
                std::error_code ec;
                const auto size = std::filesystem::file_size(destination, ec);
                offset = ec ? 0 : static_cast<uint64_t>(size);
            }
        } else {
            LARGE_INTEGER size{};
            present = GetFileSizeEx(file, &size) != FALSE;
            offset = present ? static_cast<uint64_t>(size.QuadPart) : 0;
        }
        if (present) events().log(LogLevel::Debug, "Found existing file, size: " + std::to_string(offset));
    }

    WinHttpHandle connection;
    WinHttpHandle request;
    const ErrorCode openResult = openRequest(url, connection, request, options);
    if (openResult != ErrorCode::Success) return openResult;

    if (offset > 0) {
        const std::wstring range = L"bytes=" + std::to_wstring(offset) + L"-";
        const std::wstring header = L"Range: " + range;
        WinHttpAddRequestHeaders(request.get(), header.c_str(), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);
        events().log(LogLevel::Debug, "Added Range header: " + wideToUtf8(range));
    }

    const ErrorCode sendResult = sendRequest(request.get());
    if (sendResult != ErrorCode::Success) return sendResult;

    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        status = 0;
    }
    lastHttpStatus_ = status;

    uint64_t start = 0;
    if (offset > 0 && status == 206) {
        events().status("download", "resuming");
        start = offset;
    } else if (status != 200) {
        events().error(toInt(ErrorCode::HttpError), "download", "Unexpected HTTP status: " + std::to_string(status));
        return ErrorCode::HttpError;
    } else {
        events().status("download", "starting_fresh");
    }
    return ownFile ? receiveBody(request.get(), destination, options, start)
                   : receiveBody(request.get(), file, destination, options, start);
}

ErrorCode HttpClient::openRequest(const std::wstring& url, WinHttpHandle& connection, WinHttpHandle& request,
                                  const DownloadOptions& options) {
    wchar_t scheme[16];
    wchar_t host[256];
    wchar_t path[1024];
    wchar_t extra[1024];
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszScheme = scheme;
    parts.dwSchemeLength = 16;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 1024;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = 1024;
    // WinHTTP reads the URL up to its first NUL: a URL with one inside would
    // be fetched as a different, shorter one.
    const bool cracked = url.find(L'\0') == std::wstring::npos && WinHttpCrackUrl(url.c_str(), 0, 0, &parts);
    const std::wstring schemeText = cracked ? std::wstring(scheme) : L"";
    // Only the two web schemes are fetched, in any letter case; the secure
    // one always with TLS.
    const bool secure = equalsIgnoreCase(schemeText, L"https");
    if (!secure && !equalsIgnoreCase(schemeText, L"http")) {
        events().error(toInt(ErrorCode::InvalidArguments), "url_parse", "Invalid URL format");
        return ErrorCode::InvalidArguments;
    }

    HINTERNET connectHandle = WinHttpConnect(session.get(), host, parts.nPort, 0);
    if (connectHandle == nullptr) {
        const DWORD code = GetLastError();
        logHttpFailure(L"WinHttpConnect", host, code);
        return mapWinHttpError(code);
    }
    connection.reset(connectHandle);

    const std::wstring object = std::wstring(path) + extra;
    HINTERNET requestHandle = WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr,
                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                 secure ? WINHTTP_FLAG_SECURE : 0);
    if (requestHandle == nullptr) {
        const DWORD code = GetLastError();
        logHttpFailure(L"WinHttpOpenRequest", url, code);
        return mapWinHttpError(code);
    }
    request.reset(requestHandle);

    // All of the response headers within the time limit and the size
    // limit, however slowly or endlessly a server sends them.
    DWORD headerTimeout = headerTimeoutMs_;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headerTimeout, sizeof headerTimeout);
    DWORD headerLimit = kMaxResponseHeaderBytes;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &headerLimit, sizeof headerLimit);

    for (const auto& [name, value] : options.headers) {
        const std::wstring header = name + L": " + value;
        WinHttpAddRequestHeaders(request.get(), header.c_str(), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);
    }
    return ErrorCode::Success;
}

ErrorCode HttpClient::sendRequest(HINTERNET request) {
    const auto started = std::chrono::steady_clock::now();
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        const DWORD code = GetLastError();
        logHttpFailure(L"WinHttpSendRequest", std::wstring(), code);
        return mapWinHttpError(code);
    }
    if (!WinHttpReceiveResponse(request, nullptr)) {
        const DWORD code = GetLastError();
        logHttpFailure(L"WinHttpReceiveResponse", std::wstring(), code);
        return mapWinHttpError(code);
    }
    // Where the platform does not enforce the two header options (Wine
    // ignores them), the answer is judged once it is in: headers that came
    // too late or too large fail as the platform's own check would.
    const auto elapsed = std::chrono::steady_clock::now() - started;
    if (elapsed > std::chrono::milliseconds(headerTimeoutMs_)) {
        logHttpFailure(L"WinHttpReceiveResponse", std::wstring(), ERROR_WINHTTP_TIMEOUT);
        return mapWinHttpError(ERROR_WINHTTP_TIMEOUT);
    }
    DWORD bytes = 0;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                             WINHTTP_NO_OUTPUT_BUFFER, &bytes, WINHTTP_NO_HEADER_INDEX) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER && bytes / sizeof(wchar_t) > kMaxResponseHeaderBytes) {
        logHttpFailure(L"WinHttpReceiveResponse", std::wstring(), ERROR_WINHTTP_HEADER_SIZE_OVERFLOW);
        return mapWinHttpError(ERROR_WINHTTP_HEADER_SIZE_OVERFLOW);
    }
    return ErrorCode::Success;
}

std::map<std::string, std::string> HttpClient::readResponseHeaders(HINTERNET request) {
    std::map<std::string, std::string> headers;
    DWORD bytes = 0;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &bytes, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return headers;
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(),
                             &bytes, WINHTTP_NO_HEADER_INDEX)) {
        return headers;
    }
    const std::wstring raw(buffer.data(), bytes / sizeof(wchar_t));

    size_t start = 0;
    bool statusLine = true;
    while (start <= raw.size()) {
        size_t end = raw.find(L'\n', start);
        if (end == std::wstring::npos) end = raw.size();
        const std::wstring line = raw.substr(start, end - start);
        start = end + 1;
        if (statusLine) {
            statusLine = false;
            continue;
        }
        if (line.empty() || line == L"\r") continue;
        const size_t colon = line.find(L':');
        if (colon == std::wstring::npos) continue;
        headers[utf16ToUtf8Strict(trimHeaderText(line.substr(0, colon)))] =
            utf16ToUtf8Strict(trimHeaderText(line.substr(colon + 1)));
    }
    return headers;
}

std::optional<uint64_t> HttpClient::announcedContentLength(const std::map<std::string, std::string>& headers) {
    // Header names are case-insensitive; servers send "content-length" too.
    std::optional<uint64_t> result;
    for (const auto& [name, value] : headers) {
        if (!equalsIgnoreCase(name, "content-length")) continue;
        const std::optional<uint64_t> parsed = parseDecimal(value);
        // Two spellings with different values leave the length unknown.
        if (!parsed || (result && *result != *parsed)) return std::nullopt;
        result = parsed;
    }
    return result;
}

uint64_t HttpClient::getContentLength(const std::map<std::string, std::string>& headers) {
    return announcedContentLength(headers).value_or(0);
}

namespace {

// The announced size against the cap; false after reporting "File too large".
bool withinCap(const std::optional<uint64_t>& announced, uint64_t offset, uint64_t maxSize) {
    const uint64_t contentLength = announced.value_or(0);
    uint64_t total = offset + contentLength;
    if (contentLength > UINT64_MAX - offset || total > maxSize) {
        if (contentLength > UINT64_MAX - offset) total = UINT64_MAX;
        events().error(toInt(ErrorCode::DownloadFailed), "download", "File too large: " + std::to_string(total) + " bytes");
        return false;
    }
    return true;
}

}  // namespace

ErrorCode HttpClient::receiveBody(HINTERNET request, const std::filesystem::path& destination,
                                  const DownloadOptions& options, uint64_t offset) {
    // The destination is touched only once the answer is known to fit.
    const std::optional<uint64_t> announced = announcedContentLength(readResponseHeaders(request));
    if (!withinCap(announced, offset, options.maxSize)) return ErrorCode::DownloadFailed;

    // The path form serves callers that own the destination's folder (the
    // test and benchmark tools); the elevated helper downloads only through
    // the handle form, into files it opened through pinned folders.
    const std::filesystem::path parent = destination.parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec) {
            events().error(toInt(ErrorCode::DirectoryCreateFailed), "download",
                           "Failed to create directory: " + ec.message());
            return ErrorCode::DirectoryCreateFailed;
        }
    }

    ScopedHandle file(CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        events().error(toInt(ErrorCode::FileAccessDenied), "download",
                       "Cannot open output file: " + pathToUtf8(destination));
        return ErrorCode::FileAccessDenied;
    }
    return receiveBody(request, file.get(), destination, options, offset);
}

ErrorCode HttpClient::receiveBody(HINTERNET request, HANDLE file, const std::filesystem::path& destination,
                                  const DownloadOptions& options, uint64_t offset) {
    const std::optional<uint64_t> announced = announcedContentLength(readResponseHeaders(request));
    if (!withinCap(announced, offset, options.maxSize)) return ErrorCode::DownloadFailed;
    const uint64_t total = offset + announced.value_or(0);

    // Append after the offset, or start the file again.
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (offset == 0 ? !startFileAnew(file) : !SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
        events().error(toInt(ErrorCode::FileAccessDenied), "download",
                       "Cannot open output file: " + pathToUtf8(destination));
        return ErrorCode::FileAccessDenied;
    }
    if (options.bodyStart && !options.bodyStart(offset)) {
        events().error(toInt(ErrorCode::FileCopyFailed), "download", "File write failed");
        return ErrorCode::FileCopyFailed;
    }

    DownloadProgress progress;
    progress.downloaded = offset;
    progress.total = total;
    progress.startTime = progress.currentTime = std::chrono::steady_clock::now();
    unsigned char* const chunk = pump_.buffer();
    RateWindow rate(progress.startTime, std::chrono::milliseconds(rateWindowMs_), minBytesPerSecond_);

    for (;;) {
        DWORD available = 0;
        const BOOL queried = WinHttpQueryDataAvailable(request, &available);
        const DWORD queryError = queried ? 0 : GetLastError();
        // Every wait for data ends the window check: what came in over the
        // last window, up to this moment, must reach the minimum rate.
        if (!rate.keepsUp(std::chrono::steady_clock::now(), progress.downloaded - offset)) {
            events().error(toInt(ErrorCode::ConnectionTimeout), "download",
                           "Transfer too slow: fewer than " + std::to_string(minBytesPerSecond_) +
                               " bytes per second over " + std::to_string(rateWindowMs_ / 1000) + " s");
            return ErrorCode::ConnectionTimeout;
        }
        if (!queried) {
            logHttpFailure(L"WinHttpQueryDataAvailable", std::wstring(), queryError);
            return mapWinHttpError(queryError);
        }
        if (available == 0) break;

        DWORD read = 0;
        const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(available, kBufferSize));
        if (!WinHttpReadData(request, chunk, wanted, &read)) {
            const DWORD code = GetLastError();
            logHttpFailure(L"WinHttpReadData", std::wstring(), code);
            return mapWinHttpError(code);
        }
        if (read == 0) break;

        // The cap holds for what actually arrives, not only for what the
        // server announced: the chunk that would pass it is not written.
        if (read > options.maxSize || progress.downloaded > options.maxSize - read) {
            events().error(toInt(ErrorCode::DownloadFailed), "download",
                           "File too large: " + std::to_string(progress.downloaded + read) + " bytes");
            return ErrorCode::DownloadFailed;
        }

        if (!BytePump::write(file, nullptr, chunk, read).ok() ||
            (options.bodyData && !options.bodyData(chunk, read))) {
            events().error(toInt(ErrorCode::FileCopyFailed), "download", "File write failed");
            return ErrorCode::FileCopyFailed;
        }

        progress.downloaded += read;
        const auto now = std::chrono::steady_clock::now();
        updateProgress(progress, now);
        rate.record(now, progress.downloaded - offset);

        if (options.progressCallback && !options.progressCallback(progress)) {
            events().status("download", "cancelled_by_user");
            return ErrorCode::Cancelled;
        }

        if (!g_progressClockStarted) {
            g_progressClockStarted = true;
            g_lastProgressEvent = now;
        } else if (now - g_lastProgressEvent >= kProgressInterval) {
            events().progress("download", static_cast<int>(progress.percent));
            g_lastProgressEvent = now;
        }
    }

    // A body that ends before its announced length was cut off; what arrived
    // stays in the file so that a resume can continue from it.
    if (announced && progress.downloaded < total) {
        events().error(toInt(ErrorCode::DownloadInterrupted), "download",
                       "Download interrupted: received " + std::to_string(progress.downloaded) + " of " +
                           std::to_string(total) + " bytes");
        return ErrorCode::DownloadInterrupted;
    }

    events().completion("download", true);
    events().status("download", "completed");
    return ErrorCode::Success;
}

}  // namespace korvel
