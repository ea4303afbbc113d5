// Drives HttpClient for the end-to-end tests: downloads one or more URLs
// with one client, in order, and exits with the result of the last one.
//
//   http_fetch [options] <url> <destination> [<url> <destination> ...]
//     --resume              continue an existing destination (all downloads)
//     --max-size <n>        size cap in bytes (default 2147483648)
//     --header <name:value> an extra request header (repeatable)
//     --cancel-after <n>    the progress callback returns false at its nth call
//     --log-progress        each callback call writes one JSON line to stderr
//     --pause-ms <n>        wait this long between downloads
//     --verbose             write DEBUG lines too
//     --init                call initialize() before the first download
//     --bounds <header ms> <bytes/s> <window ms>
//                           the client's transfer bounds, shortened
//
// Standard output holds the client's events only. Standard error holds the
// callback lines ({"callback":n,"downloaded":...}) and one line per download
// ({"result":code}).
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "common/EventLogger.h"
#include "common/HttpClient.h"
#include "common/TextConversion.h"

namespace {

void errLine(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

uint64_t parseNumber(const wchar_t* text) { return std::wcstoull(text, nullptr, 10); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    korvel::DownloadOptions options;
    uint64_t cancelAfter = 0;
    bool logProgress = false;
    bool init = false;
    DWORD pauseMs = 0;
    bool bounds = false;
    uint32_t headerTimeoutMs = 0;
    uint32_t minRate = 0;
    uint32_t windowMs = 0;
    std::vector<std::pair<std::wstring, std::wstring>> jobs;
    std::vector<std::wstring> positional;

    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--resume") {
            options.resume = true;
        } else if (arg == L"--max-size" && hasValue) {
            options.maxSize = parseNumber(argv[++i]);
        } else if (arg == L"--header" && hasValue) {
            const std::wstring header = argv[++i];
            const size_t colon = header.find(L':');
            if (colon == std::wstring::npos) return 125;
            options.headers[header.substr(0, colon)] = header.substr(colon + 1);
        } else if (arg == L"--cancel-after" && hasValue) {
            cancelAfter = parseNumber(argv[++i]);
        } else if (arg == L"--log-progress") {
            logProgress = true;
        } else if (arg == L"--pause-ms" && hasValue) {
            pauseMs = static_cast<DWORD>(parseNumber(argv[++i]));
        } else if (arg == L"--verbose") {
            korvel::EventLogger::instance().verbose = true;
        } else if (arg == L"--init") {
            init = true;
        } else if (arg == L"--bounds" && i + 3 < argc) {
            bounds = true;
            headerTimeoutMs = static_cast<uint32_t>(parseNumber(argv[++i]));
            minRate = static_cast<uint32_t>(parseNumber(argv[++i]));
            windowMs = static_cast<uint32_t>(parseNumber(argv[++i]));
        } else if (arg.rfind(L"--", 0) == 0) {
            errLine("http_fetch: unknown option " + korvel::wideToUtf8(arg));
            return 125;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty() || positional.size() % 2 != 0) {
        errLine("usage: http_fetch [options] <url> <destination> [...]");
        return 125;
    }

    uint64_t calls = 0;
    if (cancelAfter > 0 || logProgress) {
        options.progressCallback = [&](const korvel::DownloadProgress& p) {
            ++calls;
            if (logProgress) {
                using namespace std::chrono;
                char line[512];
                std::snprintf(line, sizeof line,
                              "{\"callback\":%llu,\"downloaded\":%llu,\"total\":%llu,\"percent\":%.6f,"
                              "\"bytes_per_second\":%.3f,\"eta_ms\":%llu,\"elapsed_ms\":%lld}",
                              static_cast<unsigned long long>(calls), static_cast<unsigned long long>(p.downloaded),
                              static_cast<unsigned long long>(p.total), p.percent, p.bytesPerSecond,
                              static_cast<unsigned long long>(p.etaMs),
                              static_cast<long long>(duration_cast<milliseconds>(p.currentTime - p.startTime).count()));
                errLine(line);
            }
            return cancelAfter == 0 || calls < cancelAfter;
        };
    }

    int result = 0;
    {
        korvel::HttpClient client;
        if (bounds) client.setTransferBounds(headerTimeoutMs, minRate, windowMs);
        if (init) {
            result = korvel::toInt(client.initialize());
            if (result != 0) return result;
        }
        for (size_t i = 0; i < positional.size(); i += 2) {
            if (i > 0 && pauseMs > 0) Sleep(pauseMs);
            calls = 0;
            try {
                result = korvel::toInt(client.downloadFile(positional[i], positional[i + 1], options));
            } catch (const std::exception& e) {
                errLine(std::string("{\"exception\":\"") + e.what() + "\"}");
                result = 4;
            }
            errLine("{\"result\":" + std::to_string(result) + "}");
        }
    }
    return result;
}
