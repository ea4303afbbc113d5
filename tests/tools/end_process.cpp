// Ends one process by its id at once, as a crash or a user's kill would,
// and waits until it is gone.
//
//   end_process <pid>
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "common/UniqueResource.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: end_process <pid>\n");
        return 64;
    }
    const DWORD pid = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    korvel::ScopedHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process) {
        std::fprintf(stderr, "end_process: cannot open %lu: %lu\n", pid, GetLastError());
        return 2;
    }
    if (!TerminateProcess(process.get(), 1)) {
        std::fprintf(stderr, "end_process: cannot end %lu: %lu\n", pid, GetLastError());
        return 3;
    }
    return WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0 ? 0 : 4;
}
