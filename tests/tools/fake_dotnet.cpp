// Stands in for the machine-wide "dotnet.exe": records that it ran (in the
// file KORVEL_TEST_INSTALLER_LOG names) and prints a version, as
// "dotnet --version" does.
#include <cstdio>
#include <string>

#include "common/UniqueResource.h"

int wmain() {
    wchar_t log[1024];
    const DWORD length = GetEnvironmentVariableW(L"KORVEL_TEST_INSTALLER_LOG", log, 1024);
    if (length > 0 && length < 1024) {
        korvel::ScopedHandle file(CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            const std::string line = "dotnet\t" + std::to_string(GetCurrentProcessId()) + "\t--version\n";
            DWORD written = 0;
            WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
    }
    std::fputs("8.0.404\r\n", stdout);
    return 0;
}
