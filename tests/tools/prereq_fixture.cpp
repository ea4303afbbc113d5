// Sets up and reads the registry values the prerequisite detectors look
// for, so that the end-to-end tests can start from a known machine.
//
//   prereq_fixture clear     remove every value and key the detectors read
//   prereq_fixture present   write sufficient versions for every runtime
//   prereq_fixture show      print "vc=..", "dotnet=..", "directx=.." ("-" if absent)
//   prereq_fixture directx <value>   set the DirectX "Version" value
//   prereq_fixture autorun <value>   set the current user's command processor
//                                    AutoRun value ("" removes it)
#include <cstdio>
#include <string>

#include "common/UniqueResource.h"

namespace {

const wchar_t kVcPrimary[] = L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\X64";
const wchar_t kVcWow[] = L"SOFTWARE\\WOW6432Node\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\x64";
const wchar_t kVcDependencies[] =
    L"SOFTWARE\\Classes\\Installer\\Dependencies\\Microsoft.VS.VC_RuntimeMinimumVSU_amd64,v14";
const wchar_t kHostFxr[] = L"SOFTWARE\\WOW6432Node\\dotnet\\Setup\\InstalledVersions\\x64\\hostfxr";
const wchar_t kDirectX[] = L"SOFTWARE\\Microsoft\\DirectX";

bool setString(const wchar_t* subKey, const wchar_t* name, const std::wstring& value) {
    korvel::RegistryKeyHandle key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

std::wstring readString(const wchar_t* subKey, const wchar_t* name) {
    wchar_t buffer[512];
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, subKey, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return L"-";
    return buffer;
}

void deleteTree(const wchar_t* subKey) { RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey); RegDeleteKeyW(HKEY_LOCAL_MACHINE, subKey); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"clear") {
        deleteTree(kVcPrimary);
        deleteTree(kVcWow);
        deleteTree(kVcDependencies);
        deleteTree(kHostFxr);
        korvel::RegistryKeyHandle key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDirectX, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
            RegDeleteValueW(key.get(), L"Version");
        return 0;
    }
    if (command == L"present") {
        korvel::RegistryKeyHandle key;
        DWORD one = 1;
        const bool ok = setString(kVcPrimary, L"Version", L"14.38.33135") &&
                        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVcPrimary, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS &&
                        RegSetValueExW(key.get(), L"Installed", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                                       sizeof one) == ERROR_SUCCESS &&
                        setString(kHostFxr, L"", L"8.0.11") && setString(kDirectX, L"Version", L"4.09.00.0904");
        return ok ? 0 : 1;
    }
    if (command == L"directx" && argc > 2) return setString(kDirectX, L"Version", argv[2]) ? 0 : 1;
    if (command == L"autorun" && argc > 2) {
        const wchar_t processor[] = L"Software\\Microsoft\\Command Processor";
        const std::wstring value = argv[2];
        korvel::RegistryKeyHandle key;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, processor, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
            ERROR_SUCCESS)
            return 1;
        if (value.empty()) {
            const LONG removed = RegDeleteValueW(key.get(), L"AutoRun");
            return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND ? 0 : 1;
        }
        return RegSetValueExW(key.get(), L"AutoRun", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS
                   ? 0
                   : 1;
    }
    if (command == L"show") {
        std::wprintf(L"vc=%ls\ndotnet=%ls\ndirectx=%ls\n", readString(kVcPrimary, L"Version").c_str(),
                     readString(kHostFxr, L"").c_str(), readString(kDirectX, L"Version").c_str());
        return 0;
    }
    std::fwprintf(stderr, L"usage: prereq_fixture clear|present|show|directx <value>|autorun <value>\n");
    return 64;
}
