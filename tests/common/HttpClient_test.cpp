// The parts of the download client that need no server: the WinHTTP error
// table, the Content-Length rules, URLs refused before any request, and the
// session's life. Downloads themselves are tested end to end against real
// servers (tests/e2e/test_http_client*.py).
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/EventLogger.h"
#include "common/HttpClient.h"
#include "common/TextConversion.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;

// event_type + operation + status or error code, for whole-stream checks.
std::vector<std::string> summary(const std::vector<Json::Value>& events) {
    std::vector<std::string> out;
    for (const Json::Value& e : events) {
        const std::string type = e["event_type"].asString();
        std::string line = type + " " + e["operation"].asString();
        if (type == "status") line += " " + e["status"].asString();
        if (type == "error") line += " " + std::to_string(e["error_code"].asInt()) + " " + e["details"].asString();
        if (type == "diagnostic") line = "diagnostic " + e["level"].asString() + " " + e["message"].asString();
        out.push_back(line);
    }
    return out;
}

TEST(MapWinHttpError, FixedTableAndEverythingElse) {
    const std::pair<DWORD, ErrorCode> cases[] = {
        {ERROR_WINHTTP_TIMEOUT, ErrorCode::Timeout},
        {ERROR_WINHTTP_NAME_NOT_RESOLVED, ErrorCode::DnsResolutionFailed},
        {ERROR_WINHTTP_CANNOT_CONNECT, ErrorCode::NetworkUnreachable},
        {ERROR_WINHTTP_CONNECTION_ERROR, ErrorCode::ConnectionTimeout},
        {12030, ErrorCode::ConnectionTimeout},
        {12031, ErrorCode::ConnectionTimeout},
        {ERROR_WINHTTP_SECURE_FAILURE, ErrorCode::TlsError},
        {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, ErrorCode::DownloadFailed},
        {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, ErrorCode::DownloadFailed},
        {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, ErrorCode::DownloadFailed},
        {ERROR_WINHTTP_INVALID_URL, ErrorCode::DownloadFailed},
        {ERROR_WINHTTP_RESEND_REQUEST, ErrorCode::DownloadFailed},
        {12028, ErrorCode::DownloadFailed},
        {10060, ErrorCode::DownloadFailed},
        {10054, ErrorCode::DownloadFailed},
        {ERROR_NOT_ENOUGH_MEMORY, ErrorCode::DownloadFailed},
        {0, ErrorCode::DownloadFailed},
        {0xFFFFFFFFu, ErrorCode::DownloadFailed},
    };
    for (const auto& [error, expected] : cases) {
        EXPECT_EQ(mapWinHttpError(error), expected) << error;
    }
}

struct LengthCase {
    std::map<std::string, std::string> headers;
    std::optional<uint64_t> announced;
};

TEST(ContentLength, NameInAnyCaseAndStrictDecimalValue) {
    const LengthCase cases[] = {
        {{{"Content-Length", "123"}}, 123},
        {{{"content-length", "123"}}, 123},
        {{{"CONTENT-LENGTH", "77"}}, 77},
        {{{"Content-length", "0"}}, 0},
        {{{"Content-Length", "18446744073709551615"}}, UINT64_MAX},
        {{{"Content-Length", "18446744073709551616"}}, std::nullopt},
        {{{"Content-Length", "99999999999999999999999"}}, std::nullopt},
        {{{"Content-Length", ""}}, std::nullopt},
        {{{"Content-Length", "abc"}}, std::nullopt},
        {{{"Content-Length", "12abc"}}, std::nullopt},
        {{{"Content-Length", "-5"}}, std::nullopt},
        {{{"Content-Length", "+5"}}, std::nullopt},
        {{{"Content-Length", "0x10"}}, std::nullopt},
        {{{"Content-Length", "1 2"}}, std::nullopt},
        {{{"Content-Length", "1,2"}}, std::nullopt},
        {{{"Content-Length", "\xd9\xa3"}}, std::nullopt},  // a non-ASCII digit
        {{{"Content-Lengthx", "5"}}, std::nullopt},
        {{{"X-Content-Length", "5"}}, std::nullopt},
        {{{"Content-Type", "text/plain"}}, std::nullopt},
        {{}, std::nullopt},
        {{{"Content-Length", "10"}, {"content-length", "10"}}, 10},
        // Two spellings that disagree leave the length unknown.
        {{{"Content-Length", "10"}, {"content-length", "20"}}, std::nullopt},
        {{{"Content-Length", "10"}, {"content-length", "x"}}, std::nullopt},
    };
    for (const LengthCase& c : cases) {
        const std::string label = c.headers.empty() ? "(none)" : c.headers.begin()->first + "=" + c.headers.begin()->second;
        EXPECT_EQ(HttpClient::announcedContentLength(c.headers), c.announced) << label;
        EXPECT_EQ(HttpClient::getContentLength(c.headers), c.announced.value_or(0)) << label;
    }
}

TEST(DownloadOptions, Defaults) {
    DownloadOptions options;
    EXPECT_FALSE(options.resume);
    EXPECT_EQ(options.maxSize, 2147483648ULL);
    EXPECT_FALSE(options.progressCallback);
    EXPECT_TRUE(options.headers.empty());
    DownloadProgress progress;
    EXPECT_EQ(progress.downloaded, 0u);
    EXPECT_EQ(progress.total, 0u);
    EXPECT_EQ(progress.percent, 0.0);
    EXPECT_EQ(progress.bytesPerSecond, 0.0);
    EXPECT_EQ(progress.etaMs, 0u);
}

TEST(HttpClientLife, InitializeOnceAndCleanUpOnce) {
    StdoutCapture capture;
    {
        HttpClient client;
        EXPECT_FALSE(client.isInitialized());
        EXPECT_EQ(client.initialize(), ErrorCode::Success);
        EXPECT_EQ(client.initialize(), ErrorCode::Success);
        EXPECT_TRUE(client.isInitialized());
    }
    EXPECT_EQ(summary(capture.events()),
              (std::vector<std::string>{"status http_client initialized", "status http_client cleaned_up"}));
}

TEST(HttpClientLife, UnusedClientReportsNothing) {
    StdoutCapture capture;
    { HttpClient client; }
    EXPECT_TRUE(capture.events().empty());
}

TEST(HttpClientUrls, RefusedBeforeAnyRequest) {
    const std::wstring longHost(256, L'h');
    const std::wstring longPath(1023, L'p');
    const std::wstring longQuery(1023, L'q');
    const std::wstring cases[] = {
        L"",
        L"not a url",
        L"ftp://127.0.0.1/file.bin",
        L"FTP://127.0.0.1/file.bin",
        L"file:///C:/windows/win.ini",
        L"gopher://127.0.0.1/x",
        L"httpx://127.0.0.1/x",
        L"//127.0.0.1/x",
        L"http://" + longHost + L"/x",
        L"http://127.0.0.1/" + longPath,
        L"http://127.0.0.1/x?" + longQuery,
        std::wstring(L"http://127.0.0.1/a\0.exe", 23),
        std::wstring(L"\0http://127.0.0.1/a", 19),
    };
    ScratchDir dir;
    const std::filesystem::path destination = dir / L"out.bin";
    for (const std::wstring& url : cases) {
        std::vector<Json::Value> events;
        ErrorCode result;
        {
            StdoutCapture capture;
            {
                HttpClient client;
                DownloadOptions options;
                result = client.downloadFile(url, destination, options);
            }
            events = capture.events();
        }
        EXPECT_EQ(result, ErrorCode::InvalidArguments) << wideToUtf8(url).substr(0, 40);
        EXPECT_EQ(summary(events), (std::vector<std::string>{"status http_client initialized", "status download starting",
                                                             "error url_parse 1 Invalid URL format",
                                                             "status http_client cleaned_up"}))
            << wideToUtf8(url).substr(0, 40);
        EXPECT_FALSE(std::filesystem::exists(destination));
    }
}

TEST(HttpClientUrls, RefusedUrlLeavesAnExistingFile) {
    ScratchDir dir;
    const std::filesystem::path destination = dir / L"out.bin";
    test::writeFile(destination, "keep me");
    StdoutCapture capture;
    HttpClient client;
    DownloadOptions options;
    options.resume = true;
    EXPECT_EQ(client.downloadFile(L"ftp://127.0.0.1/x", destination, options), ErrorCode::InvalidArguments);
    EXPECT_EQ(test::readFile(destination), "keep me");
}

TEST(HttpClientUrls, DebugLinesWhenVerbose) {
    ScratchDir dir;
    const std::filesystem::path destination = dir / L"out.bin";
    test::writeFile(destination, std::string(1000, 'x'));
    EventLogger::instance().verbose = true;
    std::vector<Json::Value> events;
    {
        StdoutCapture capture;
        HttpClient client;
        DownloadOptions options;
        options.resume = true;
        client.downloadFile(L"ftp://127.0.0.1/x", destination, options);
        events = capture.events();
    }
    EventLogger::instance().verbose = false;
    const std::vector<std::string> lines = summary(events);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[2], "diagnostic DEBUG Downloading: ftp://127.0.0.1/x -> " + pathToUtf8(destination));
    EXPECT_EQ(lines[3], "diagnostic DEBUG Found existing file, size: 1000");
    EXPECT_EQ(lines[4], "error url_parse 1 Invalid URL format");
}

}  // namespace
}  // namespace korvel
