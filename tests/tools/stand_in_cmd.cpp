// Stands in for the system's cmd.exe in a copy of the prefix: records how it
// was started (its command line, then each variable of its environment, in
// the file KORVEL_TEST_CMD_LOG names in the stand-ins' settings), then does
// what the real interpreter does with "/c": without /D it first runs the
// AutoRun command of HKLM's and HKCU's "Software\Microsoft\Command
// Processor" (recorded as "autorun\t<value>" before it is started), then
// the rest of the line as one program, its output to the same handles; its
// exit code is that program's.
#include <cwctype>
#include <string>
#include <vector>

#include "tests/tools/StandInSettings.h"

namespace {

using korvel::test::appendLine;
using korvel::test::standInUtf8;

std::wstring autoRun(HKEY root) {
    korvel::RegistryKeyHandle key;
    if (RegOpenKeyExW(root, L"Software\\Microsoft\\Command Processor", 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return std::wstring();
    wchar_t value[2048] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), L"AutoRun", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::wstring();
    return value;
}

DWORD run(std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 9009;
    korvel::ScopedHandle p(process.hProcess);
    korvel::ScopedHandle t(process.hThread);
    WaitForSingleObject(p.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(p.get(), &code);
    return code;
}

}  // namespace

int wmain() {
    const std::wstring log = korvel::test::standInSetting(L"KORVEL_TEST_CMD_LOG");
    const std::wstring line = GetCommandLineW();
    appendLine(log, "cmdline\t" + standInUtf8(line));
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1) appendLine(log, "env\t" + standInUtf8(p));
    if (block) FreeEnvironmentStringsW(block);

    // The switches after the program's own name, up to /c.
    size_t i = 0;
    if (!line.empty() && line[0] == L'"') {
        i = line.find(L'"', 1);
        i = i == std::wstring::npos ? line.size() : i + 1;
    } else {
        while (i < line.size() && line[i] != L' ') ++i;
    }
    bool noAutoRun = false;
    std::wstring rest;
    while (i < line.size()) {
        while (i < line.size() && line[i] == L' ') ++i;
        if (i + 1 < line.size() && line[i] == L'/') {
            const wchar_t s = static_cast<wchar_t>(std::towupper(line[i + 1]));
            if (s == L'D') {
                noAutoRun = true;
                i += 2;
                continue;
            }
            if (s == L'C') {
                rest = line.substr(i + 2);
                break;
            }
        }
        break;
    }
    if (!noAutoRun) {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            const std::wstring command = autoRun(root);
            if (command.empty()) continue;
            appendLine(log, "autorun\t" + standInUtf8(command));
            run(command);
        }
    }
    size_t start = 0;
    while (start < rest.size() && rest[start] == L' ') ++start;
    if (start >= rest.size()) return 0;
    return static_cast<int>(run(rest.substr(start)));
}
