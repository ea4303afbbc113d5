// Runs FileOperations::removeDirectory on one folder so that host-side tests
// can plant things Windows programs cannot make (Unix symbolic links).
//   fileops_remove <folder> [--recursive]
// Events go to standard output, then a line "removed files=N folders=M";
// the exit code is the result.
#include <windows.h>

#include <string>

#include "common/ConsoleOutput.h"
#include "common/ErrorCodes.h"
#include "common/FileOperations.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && std::wstring(argv[2]) != L"--recursive")) {
        korvel::writeStderrLine(L"usage: fileops_remove <folder> [--recursive]");
        return 1;
    }
    uint32_t files = 0;
    uint32_t folders = 0;
    const korvel::ErrorCode result = korvel::FileOperations().removeDirectory(argv[1], argc == 3, &files, &folders);
    korvel::writeStdoutLine(L"removed files=" + std::to_wstring(files) + L" folders=" + std::to_wstring(folders));
    return korvel::toInt(result);
}
