// Planted under a system DLL's name beside a copy of a program: when the
// program loads it, it writes "<its own path>.loaded" and ends the process
// with 77 before the program can go on, so a test sees both.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 16];
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        lstrcatW(path, L".loaded");
        const HANDLE marker =
            CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
    TerminateProcess(GetCurrentProcess(), 77);
    return FALSE;
}
