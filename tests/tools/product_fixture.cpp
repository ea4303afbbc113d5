// Stands in for one of the product's programs in the uninstaller's tests;
// the tests copy it under the product's executable names.
//   product_fixture [--window] [--hold <path>] [--ready <path>]
// --hold keeps a file open without delete sharing; --window shows a
// top-level window and exits 0 when it is closed; --ready writes a file once
// everything is set up. Without --window it waits until it is ended.
#include <windows.h>

#include <string>

#include "common/UniqueResource.h"

namespace {

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool window = false;
    std::wstring hold;
    std::wstring ready;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--window") {
            window = true;
        } else if (arg == L"--hold" && i + 1 < argc) {
            hold = argv[++i];
        } else if (arg == L"--ready" && i + 1 < argc) {
            ready = argv[++i];
        } else {
            return 2;
        }
    }
    korvel::ScopedHandle held;
    if (!hold.empty()) {
        held.reset(CreateFileW(hold.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!held) return 3;
    }
    HWND shown = nullptr;
    if (window) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KorvelProductFixture";
        if (!RegisterClassW(&windowClass)) return 4;
        shown = CreateWindowExW(0, windowClass.lpszClassName, L"Korvel fixture", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                CW_USEDEFAULT, CW_USEDEFAULT, 200, 100, nullptr, nullptr, windowClass.hInstance,
                                nullptr);
        if (shown == nullptr || !IsWindowVisible(shown)) return 5;
    }
    if (!ready.empty()) {
        korvel::ScopedHandle marker(CreateFileW(ready.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!marker) return 6;
    }
    if (!window) {
        for (;;) Sleep(INFINITE);
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
