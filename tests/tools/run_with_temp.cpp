// Starts a program with TEMP and TMP pointing at a folder of the test's
// choosing and returns its exit code. Wine takes a program's environment
// from the prefix's registry when it is started from the host, but a child
// inherits its parent's, so this gives each test a cache folder of its own.
//
//   run_with_temp <temp folder> <program> [arguments...]
#include <windows.h>

#include <cstdio>

#include "tests/tools/ChildProcess.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: run_with_temp <temp folder> <program> [arguments...]\n");
        return 125;
    }
    if (!SetEnvironmentVariableW(L"TEMP", argv[1]) || !SetEnvironmentVariableW(L"TMP", argv[1])) return 125;
    return korvel::tools::runChild("run_with_temp", argc, argv, 2);
}
