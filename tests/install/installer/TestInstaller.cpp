// Stands in for a vendor's prerequisite installer in the tests. Built once
// per row (KORVEL_TEST_INSTALLER_ROW), so each row's file has bytes and a
// digest of its own; what it does is chosen through the environment, which
// the elevated helper passes on, so its bytes never change:
//
//   KORVEL_TEST_INSTALLER_LOG        append "<row>\t<pid>\t<command line>\n"
//   KORVEL_TEST_INSTALLER_EXIT_<ROW> exit code (decimal or 0x...), or
//                                    "sleep:<ms>" to run that long first
//   KORVEL_TEST_INSTALLER_NOREG      set: install nothing
//
// On an exit code of 0 or 3010 it writes the registry values its row's
// detector looks for, as the real installer would.
#include "common/UniqueResource.h"

#include <cstdlib>
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

std::wstring environment(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    if (length == 0 || length >= 4096) return std::wstring();
    return std::wstring(buffer, length);
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

void record() {
    const std::wstring log = environment(L"KORVEL_TEST_INSTALLER_LOG");
    if (log.empty()) return;
    korvel::ScopedHandle file(CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string line =
        std::string(kRow) + "\t" + std::to_string(GetCurrentProcessId()) + "\t" + utf8(GetCommandLineW()) + "\n";
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
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

int wmain() {
    record();
    const std::wstring choice = environment(kExitVariable);
    DWORD code = 0;
    if (choice.rfind(L"sleep:", 0) == 0) {
        Sleep(static_cast<DWORD>(std::wcstoul(choice.c_str() + 6, nullptr, 10)));
    } else if (!choice.empty()) {
        code = static_cast<DWORD>(std::wcstoul(choice.c_str(), nullptr, 0));
    }
    if ((code == 0 || code == 3010) && environment(L"KORVEL_TEST_INSTALLER_NOREG").empty()) install();
    ExitProcess(code);
}
