#include "common/DllSearch.h"
#include "launcher/Launcher.h"

int wmain(int argc, wchar_t** argv) {
    // Before anything can load a DLL: never from the program's own folder.
    const uint32_t dllSearch = korvel::restrictDllSearchToSystem32({korvel::kShellDlls});
    if (dllSearch != 0) return korvel::reportStartFailure(dllSearch);
    korvel::LauncherOptions options;
    if (!korvel::parseLauncherArgs(argc, argv, options)) {
        return static_cast<int>(korvel::LauncherExit::ArgumentError);
    }
    return korvel::runElevatedHelper(options);
}
