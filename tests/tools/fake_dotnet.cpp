// Stands in for the machine-wide "dotnet.exe": records that it ran (in the
// file that KORVEL_TEST_INSTALLER_LOG names in C:\KorvelTest\stand-ins.cfg)
// and prints a version, as "dotnet --version" does.
#include <cstdio>
#include <string>

#include "tests/tools/StandInSettings.h"

int wmain() {
    korvel::test::appendLine(korvel::test::standInSetting(L"KORVEL_TEST_INSTALLER_LOG"),
                             "dotnet\t" + std::to_string(GetCurrentProcessId()) + "\t--version");
    std::fputs("8.0.404\r\n", stdout);
    return 0;
}
