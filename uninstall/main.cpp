#include "uninstall/Uninstaller.h"

int wmain(int argc, wchar_t** argv) {
    return korvel::runUninstallerGuarded([argc, argv] { return korvel::runUninstaller(argc, argv); });
}
