// Starts a program with TEMP and TMP pointing at a folder of the test's
// choosing and returns its exit code. Wine takes a program's environment
// from the prefix's registry when it is started from the host, but a child
// inherits its parent's, so this gives each test a cache folder of its own.
//
//   run_with_temp <temp folder> <program> [arguments...]
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/UniqueResource.h"

namespace {

// Quotes one argument so that the child's argument parser gives it back
// unchanged (backslashes before a quote are doubled).
std::wstring quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: run_with_temp <temp folder> <program> [arguments...]\n");
        return 125;
    }
    if (!SetEnvironmentVariableW(L"TEMP", argv[1]) || !SetEnvironmentVariableW(L"TMP", argv[1])) return 125;

    std::wstring commandLine;
    for (int i = 2; i < argc; ++i) {
        if (i > 2) commandLine.push_back(L' ');
        commandLine += quote(argv[i]);
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(argv[2], commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "run_with_temp: CreateProcessW failed: %lu\n", GetLastError());
        return 125;
    }
    korvel::ScopedHandle thread(pi.hThread);
    korvel::ScopedHandle process(pi.hProcess);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 125;
    if (!GetExitCodeProcess(process.get(), &code)) code = 125;
    return static_cast<int>(code);
}
