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

#include "common/UniqueResource.h"
#include "tests/tools/ChildProcess.h"

using korvel::ScopedHandle;
using korvel::SidHandle;

namespace {

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

    return korvel::tools::runChild("run_restricted", argc, argv, 1, restricted.get());
}
