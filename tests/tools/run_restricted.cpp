// Runs a program with the caller's token restricted so that the local
// Administrators group is deny-only: inside the child CheckTokenMembership
// for that group answers false, as for a user who is not an administrator.
//
//   run_restricted <program> [arguments...]
//
// The child shares this process's standard handles; the tool waits for it
// and exits with its exit code (125 when the child cannot be started).
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/UniqueResource.h"

using korvel::ScopedHandle;
using korvel::SidHandle;

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
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

int fail(const char* what) {
    std::fprintf(stderr, "run_restricted: %s failed: %lu\n", what, GetLastError());
    return 125;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: run_restricted <program> [arguments...]\n");
        return 125;
    }

    ScopedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(),
                          TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT, token.put())) {
        return fail("OpenProcessToken");
    }

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    SidHandle admins;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, admins.put())) {
        return fail("AllocateAndInitializeSid");
    }
    SID_AND_ATTRIBUTES denyOnly{};
    denyOnly.Sid = admins.get();

    ScopedHandle restricted;
    if (!CreateRestrictedToken(token.get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, restricted.put())) {
        return fail("CreateRestrictedToken");
    }

    std::wstring commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine.push_back(L' ');
        commandLine += quote(argv[i]);
    }

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessAsUserW(restricted.get(), argv[1], commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                              nullptr, &si, &pi)) {
        return fail("CreateProcessAsUserW");
    }
    const ScopedHandle process(pi.hProcess);
    const ScopedHandle thread(pi.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 125;
    if (!GetExitCodeProcess(process.get(), &code)) code = 125;
    return static_cast<int>(code);
}
