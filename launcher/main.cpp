#include "launcher/Launcher.h"

int wmain(int argc, wchar_t** argv) {
    korvel::LauncherOptions options;
    if (!korvel::parseLauncherArgs(argc, argv, options)) {
        return static_cast<int>(korvel::LauncherExit::ArgumentError);
    }
    return korvel::runElevatedHelper(options);
}
