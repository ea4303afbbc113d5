#include "elevated/Startup.h"

int wmain(int argc, wchar_t** argv) {
    return korvel::runEntryPoint([argc, argv] { return korvel::runElevatedHelper(argc, argv); });
}
