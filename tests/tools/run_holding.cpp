// Holds a file or folder open with no sharing at all while a program runs,
// so that the program cannot open, list or delete it.
//   run_holding <path> <program> [arguments...]
// The child shares this process's standard handles; the tool exits with the
// child's exit code (125 when the path cannot be held or the child started).
#include <windows.h>

#include <string>

#include "common/ConsoleOutput.h"
#include "common/UniqueResource.h"
#include "tests/tools/ChildProcess.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        korvel::writeStderrLine(L"usage: run_holding <path> <program> [arguments...]");
        return 125;
    }
    korvel::ScopedHandle held(CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!held) {
        korvel::writeStderrLine(L"run_holding: cannot hold " + std::wstring(argv[1]) + L": " +
                                std::to_wstring(GetLastError()));
        return 125;
    }
    return korvel::tools::runChild("run_holding", argc, argv, 2);
}
