#include "common/DllSearch.h"

#include <windows.h>
#include <delayimp.h>

#include "common/ErrorCodes.h"

namespace korvel {
namespace {

// What the hook below loads from System32 before the first delay load
// (plain data: a delay load may come before any constructor has run).
constexpr size_t kMaxPreloadLists = 4;
const char* const* preloadLists[kMaxPreloadLists] = {};

}  // namespace

const char* const kShellDlls[] = {
    "user32.dll", "gdi32.dll",  "win32u.dll", "imm32.dll",   "uxtheme.dll", "version.dll",
    "shcore.dll", "shlwapi.dll", "shell32.dll", "zlib1.dll", nullptr,
};

uint32_t restrictDllSearchToSystem32(std::initializer_list<const char* const*> preload) {
    size_t count = 0;
    for (const char* const* list : preload) {
        if (count < kMaxPreloadLists) preloadLists[count++] = list;
    }
    // Looked up, not imported: a system without it (Windows 7 before
    // KB2533623) then gets the program's own failure instead of a loader
    // error, and must not run it.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return GetLastError();
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefault == nullptr) return ERROR_PROC_NOT_FOUND;
    if (!setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        const DWORD error = GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_FUNCTION;
    }
    return 0;
}

std::wstring dllSearchFailureText(uint32_t error) {
    return L"Failed to restrict DLL loading to the system folder (" + std::to_wstring(error) + L") - " +
           formatWin32Error(error);
}

namespace {

BOOL CALLBACK preloadSystemDlls(PINIT_ONCE, PVOID, PVOID*) {
    // A name the system does not have is simply not loaded.
    for (const char* const* list : preloadLists) {
        for (; list != nullptr && *list != nullptr; ++list) LoadLibraryExA(*list, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    return TRUE;
}

// Every delay-loaded DLL comes from System32, also one loaded before the
// entry has restricted the default search (a static constructor's call).
FARPROC WINAPI loadDelayedFromSystem32(unsigned notify, PDelayLoadInfo info) {
    if (notify != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) return nullptr;
    static INIT_ONCE preloaded = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(&preloaded, preloadSystemDlls, nullptr, nullptr);
    return reinterpret_cast<FARPROC>(
        reinterpret_cast<void*>(LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)));
}

}  // namespace
}  // namespace korvel

// The toolchain's delay-load helper asks this hook before it loads a DLL
// (declared extern "C" by <delayimp.h>).
PfnDliHook __pfnDliNotifyHook2 = korvel::loadDelayedFromSystem32;
