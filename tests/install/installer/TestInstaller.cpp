// Stands in for a vendor's prerequisite installer in the tests. Built once
// per row (KORVEL_TEST_INSTALLER_ROW), so each row's file has bytes and a
// digest of its own; what it does is chosen through the settings file
// C:\KorvelTest\stand-ins.cfg (lines NAME=VALUE; the elevated helper gives
// its children an environment of its own making, so nothing reaches them
// through the environment), so its bytes never change:
//
//   KORVEL_TEST_INSTALLER_LOG        append "<row>\t<pid>\t<command line>\n"
//   KORVEL_TEST_INSTALLER_EXIT_<ROW> exit code (decimal or 0x...), or
//                                    "sleep:<ms>" to run that long first, or
//                                    "tree:<ms>" to start a second process
//                                    (which records itself too and runs a
//                                    minute), then run <ms> itself
//   KORVEL_TEST_INSTALLER_NOREG      set: install nothing
//   KORVEL_TEST_ENV_LOG              append "<row>\t<NAME=VALUE>\n" for each
//                                    variable of its environment
//
// On an exit code of 0 or 3010 it writes the registry values its row's
// detector looks for, as the real installer would.
#include "common/UniqueResource.h"
#include "tests/tools/StandInSettings.h"

#include <cstdlib>
#include <cwchar>
#include <string>

#ifndef KORVEL_TEST_INSTALLER_ROW
#error "KORVEL_TEST_INSTALLER_ROW must be 0, 1 or 2"
#endif

namespace {

#if KORVEL_TEST_INSTALLER_ROW == 0
const char kRow[] = "vc_redist_x64";
const wchar_t kExitVariable[] = L"KORVEL_TEST_INSTALLER_EXIT_VC_REDIST_X64";
#elif KORVEL_TEST_INSTALLER_ROW == 1
const char kRow[] = "dotnet_runtime_8_0";
const wchar_t kExitVariable[] = L"KORVEL_TEST_INSTALLER_EXIT_DOTNET_RUNTIME_8_0";
#else
const char kRow[] = "directx_runtime";
const wchar_t kExitVariable[] = L"KORVEL_TEST_INSTALLER_EXIT_DIRECTX_RUNTIME";
#endif

using korvel::test::appendLine;
using korvel::test::standInSetting;
using korvel::test::standInUtf8;

void record() {
    appendLine(standInSetting(L"KORVEL_TEST_INSTALLER_LOG"),
               std::string(kRow) + "\t" + std::to_string(GetCurrentProcessId()) + "\t" + standInUtf8(GetCommandLineW()));
    const std::wstring envLog = standInSetting(L"KORVEL_TEST_ENV_LOG");
    if (envLog.empty()) return;
    std::string lines;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1) {
        if (!lines.empty()) lines += "\n";
        lines += std::string(kRow) + "\t" + standInUtf8(p);
    }
    if (block) FreeEnvironmentStringsW(block);
    appendLine(envLog, lines);
}

// Starts this program again with "--sleep <ms>": a process of the
// installer's tree that outlives nothing on its own.
void startSecond(DWORD ms) {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    std::wstring commandLine = L"\"" + std::wstring(self, n) + L"\" --sleep " + std::to_wstring(ms);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        korvel::ScopedHandle p(process.hProcess);
        korvel::ScopedHandle t(process.hThread);
    }
}

void setString(const wchar_t* subKey, const wchar_t* name, const wchar_t* value) {
    korvel::RegistryKeyHandle key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
}

void setDword(const wchar_t* subKey, const wchar_t* name, DWORD value) {
    korvel::RegistryKeyHandle key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void install() {
#if KORVEL_TEST_INSTALLER_ROW == 0
    setString(L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\X64", L"Version", L"14.40.33810");
    setDword(L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\X64", L"Installed", 1);
#elif KORVEL_TEST_INSTALLER_ROW == 1
    setString(L"SOFTWARE\\WOW6432Node\\dotnet\\Setup\\InstalledVersions\\x64\\hostfxr", L"", L"8.0.11");
#else
    setString(L"SOFTWARE\\Microsoft\\DirectX", L"Version", L"4.09.00.0904");
#endif
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    record();
    if (argc > 2 && std::wstring(argv[1]) == L"--sleep") {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        ExitProcess(0);
    }
    const std::wstring choice = standInSetting(kExitVariable);
    DWORD code = 0;
    if (choice.rfind(L"sleep:", 0) == 0) {
        Sleep(static_cast<DWORD>(std::wcstoul(choice.c_str() + 6, nullptr, 10)));
    } else if (choice.rfind(L"tree:", 0) == 0) {
        const DWORD ms = static_cast<DWORD>(std::wcstoul(choice.c_str() + 5, nullptr, 10));
        startSecond(60000);
        Sleep(ms);
    } else if (!choice.empty()) {
        code = static_cast<DWORD>(std::wcstoul(choice.c_str(), nullptr, 0));
    }
    if ((code == 0 || code == 3010) && standInSetting(L"KORVEL_TEST_INSTALLER_NOREG").empty()) install();
    ExitProcess(code);
}
