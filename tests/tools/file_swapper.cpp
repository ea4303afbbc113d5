// Plays the unelevated program of the same user that tampers with files the
// elevated helper left in its cache, through Windows' own calls, so that the
// sharing modes the helper holds decide what succeeds.
//
//   file_swapper [--wait-ms <n>] <action> <target> <source> [<action> ...]
//     replace   the target must exist (waited for up to --wait-ms, default
//               0): its content becomes the source's, first by renaming a
//               copy over it, and when that is refused by rewriting it in
//               place
//     put       creates or overwrites the target (and its folders) with the
//               source's content
//     delete    deletes the target (the source is not read; give any path)
//
// One line per action on standard output: "<action> <target> <how>", how
// being "renamed", "rewritten", "written", "deleted", "missing" or
// "denied <error>".
// Exit code: 0 when every action took effect, 2 when one was refused or its
// target was missing, 64 for bad arguments.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/UniqueResource.h"

namespace {

using korvel::ScopedHandle;

bool readAll(const std::wstring& path, std::string& data) {
    ScopedHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h) return false;
    data.clear();
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h.get(), buffer, sizeof buffer, &got, nullptr)) return false;
        if (got == 0) return true;
        data.append(buffer, got);
    }
}

bool writeAll(HANDLE h, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 20));
        if (!WriteFile(h, data.data() + done, chunk, &wrote, nullptr) || wrote == 0) return false;
        done += wrote;
    }
    return SetEndOfFile(h) != FALSE;
}

// Writes data to path, creating or truncating it, with every sharing mode
// so that only the holder's own sharing can refuse it.
DWORD writeFileAt(const std::wstring& path, const std::string& data, DWORD disposition) {
    ScopedHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) return GetLastError();
    if (!writeAll(h.get(), data)) return GetLastError();
    return ERROR_SUCCESS;
}

void createParents(const std::wstring& path) {
    for (size_t i = 3; i < path.size(); ++i) {
        if (path[i] == L'\\' || path[i] == L'/') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string narrow(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

void report(const wchar_t* action, const std::wstring& target, const std::string& how) {
    std::printf("%s %s %s\n", narrow(action).c_str(), narrow(target).c_str(), how.c_str());
    std::fflush(stdout);
}

// The content of target becomes data: a copy renamed over it (the usual way
// to swap a file), else the file itself rewritten.
std::string replace(const std::wstring& target, const std::string& data) {
    const std::wstring side = target + L".swap";
    DWORD error = writeFileAt(side, data, CREATE_ALWAYS);
    if (error == ERROR_SUCCESS) {
        if (MoveFileExW(side.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return "renamed";
        DeleteFileW(side.c_str());
    }
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    error = writeFileAt(target, data, OPEN_EXISTING);
    if (error == ERROR_SUCCESS) return "rewritten";
    return "denied " + std::to_string(error);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    DWORD waitMs = 0;
    int i = 1;
    if (i + 1 < argc && std::wstring(argv[i]) == L"--wait-ms") {
        waitMs = static_cast<DWORD>(std::wcstoul(argv[i + 1], nullptr, 10));
        i += 2;
    }
    if (i >= argc || (argc - i) % 3 != 0) {
        std::fwprintf(stderr, L"file_swapper: bad arguments\n");
        return 64;
    }
    int result = 0;
    for (; i < argc; i += 3) {
        const std::wstring action = argv[i];
        const std::wstring target = argv[i + 1];
        std::string data;
        if (action == L"delete") {
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (DeleteFileW(target.c_str())) {
                report(action.c_str(), target, "deleted");
            } else {
                const DWORD error = GetLastError();
                report(action.c_str(), target, error == ERROR_FILE_NOT_FOUND ? "missing" : "denied " + std::to_string(error));
                result = 2;
            }
            continue;
        }
        if (!readAll(argv[i + 2], data)) {
            std::fwprintf(stderr, L"file_swapper: cannot read %ls\n", argv[i + 2]);
            return 64;
        }
        if (action == L"replace") {
            const ULONGLONG start = GetTickCount64();
            while (!exists(target) && GetTickCount64() - start < waitMs) Sleep(20);
            if (!exists(target)) {
                report(action.c_str(), target, "missing");
                result = 2;
                continue;
            }
            const std::string how = replace(target, data);
            report(action.c_str(), target, how);
            if (how.rfind("denied", 0) == 0) result = 2;
        } else if (action == L"put") {
            createParents(target);
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            const DWORD error = writeFileAt(target, data, CREATE_ALWAYS);
            report(action.c_str(), target, error == ERROR_SUCCESS ? "written" : "denied " + std::to_string(error));
            if (error != ERROR_SUCCESS) result = 2;
        } else {
            std::fwprintf(stderr, L"file_swapper: unknown action %ls\n", action.c_str());
            return 64;
        }
    }
    return result;
}
