#pragma once
// Starting a child for the test tools that wrap a program (run_with_temp,
// run_holding, run_restricted): the child shares this process's standard
// handles, and the tool exits with the child's exit code, or 125 when the
// child could not be started or its code not read.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/UniqueResource.h"

namespace korvel::tools {

constexpr int kStartFailed = 125;

// One argument in the form the child's argument parser gives back
// unchanged (backslashes before a quote are doubled).
inline std::wstring quoteArgument(const std::wstring& arg) {
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

// Starts argv[first] with argv[first..argc) as its command line (under
// token when one is given), waits for it and returns its exit code.
inline int runChild(const char* tool, int argc, wchar_t** argv, int first, HANDLE token = nullptr) {
    std::wstring commandLine;
    for (int i = first; i < argc; ++i) {
        if (i > first) commandLine.push_back(L' ');
        commandLine += quoteArgument(argv[i]);
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    const BOOL started =
        token ? CreateProcessAsUserW(token, argv[first], commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                     nullptr, &si, &pi)
              : CreateProcessW(argv[first], commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    if (!started) {
        std::fprintf(stderr, "%s: %s failed: %lu\n", tool, token ? "CreateProcessAsUserW" : "CreateProcessW",
                     GetLastError());
        return kStartFailed;
    }
    const ScopedHandle thread(pi.hThread);
    const ScopedHandle process(pi.hProcess);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = kStartFailed;
    if (!GetExitCodeProcess(process.get(), &code)) code = kStartFailed;
    return static_cast<int>(code);
}

}  // namespace korvel::tools
