// What the platform itself costs for the work of an apply, for
// scripts/bench-apply.sh: a bare WinHTTP download of every file, one CNG
// SHA-256 pass over the downloaded files, and one copy of each.
//
//   bench_floor <list file>
//
// Each line of the list file (UTF-8) is: url TAB download path TAB copy path.
// Prints "floor: download|hash|copy <seconds>" lines on standard output;
// exit code 0 when every step succeeded.
#include <windows.h>

#include <bcrypt.h>
#include <winhttp.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/ConsoleOutput.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "tests/tools/BenchClock.h"

namespace {

using korvel::tools::now;

struct Item {
    std::wstring url;
    std::wstring download;
    std::wstring copy;
};

void report(const char* name, double seconds) {
    char line[96];
    std::snprintf(line, sizeof line, "floor: %s %.3f\n", name, seconds);
    korvel::writeStdoutBytes(line);
}

// Creates every missing folder above path.
void makeParents(const std::wstring& path) {
    for (size_t i = 3; i < path.size(); ++i) {
        if (path[i] == L'\\') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
}

bool download(HINTERNET session, const Item& item, std::vector<unsigned char>& buffer) {
    wchar_t host[256];
    wchar_t path[2048];
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(item.url.c_str(), 0, 0, &parts)) return false;
    korvel::WinHttpHandle connection(WinHttpConnect(session, host, parts.nPort, 0));
    if (!connection) return false;
    korvel::WinHttpHandle request(WinHttpOpenRequest(connection.get(), L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                     WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request) return false;
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return false;
    }
    makeParents(item.download);
    korvel::ScopedHandle out(CreateFileW(item.download.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return false;
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read)) return false;
        if (read == 0) return true;
        DWORD written = 0;
        if (!WriteFile(out.get(), buffer.data(), read, &written, nullptr) || written != read) return false;
    }
}

bool hash(BCRYPT_ALG_HANDLE algorithm, const std::wstring& file, std::vector<unsigned char>& buffer) {
    korvel::CngHashHandle digest;
    if (BCryptCreateHash(algorithm, digest.put(), nullptr, 0, nullptr, 0, 0) < 0) return false;
    korvel::ScopedHandle in(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) return false;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(in.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
        if (read == 0) break;
        if (BCryptHashData(digest.get(), buffer.data(), read, 0) < 0) return false;
    }
    unsigned char value[32];
    return BCryptFinishHash(digest.get(), value, sizeof value, 0) >= 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        korvel::writeStderrLine(L"usage: bench_floor <list file>");
        return 1;
    }
    std::vector<Item> items;
    {
        std::ifstream list(argv[1], std::ios::binary);
        std::string line;
        while (std::getline(list, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t a = line.find('\t');
            const size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
            if (b == std::string::npos) continue;
            items.push_back(Item{korvel::utf8ToUtf16(line.substr(0, a)), korvel::utf8ToUtf16(line.substr(a + 1, b - a - 1)),
                                 korvel::utf8ToUtf16(line.substr(b + 1))});
        }
    }
    if (items.empty()) return 2;
    std::vector<unsigned char> buffer(1024 * 1024);

    korvel::WinHttpHandle session(WinHttpOpen(L"bench_floor", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                              WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return 3;
    double start = now();
    for (const Item& item : items) {
        if (!download(session.get(), item, buffer)) return 4;
    }
    report("download", now() - start);

    korvel::CngAlgorithmHandle algorithm;
    if (BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) return 5;
    start = now();
    for (const Item& item : items) {
        if (!hash(algorithm.get(), item.download, buffer)) return 6;
    }
    report("hash", now() - start);

    start = now();
    for (const Item& item : items) {
        makeParents(item.copy);
        if (!CopyFileW(item.download.c_str(), item.copy.c_str(), FALSE)) return 7;
    }
    report("copy", now() - start);
    return 0;
}
