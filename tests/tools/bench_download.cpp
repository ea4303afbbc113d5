// Times one download through HttpClient, for scripts/bench-download.sh.
//
//   bench_download <url> <destination>
//
// The client's events go to standard output as usual; the figures go to
// standard error as one line:
//   bench_download: result=<code> bytes=<size> ms=<milliseconds>
// Exits with the download's result.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "common/HttpClient.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_download <url> <destination>\n");
        return 125;
    }
    korvel::HttpClient client;
    if (client.initialize() != korvel::ErrorCode::Success) return 161;
    korvel::DownloadOptions options;
    options.maxSize = UINT64_MAX;
    const auto start = std::chrono::steady_clock::now();
    const korvel::ErrorCode result = client.downloadFile(argv[1], argv[2], options);
    const auto stop = std::chrono::steady_clock::now();
    std::error_code ec;
    const auto size = std::filesystem::file_size(argv[2], ec);
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(stop - start).count();
    std::fprintf(stderr, "bench_download: result=%d bytes=%llu ms=%lld\n", korvel::toInt(result),
                 ec ? 0ULL : static_cast<unsigned long long>(size), ms);
    return korvel::toInt(result);
}
