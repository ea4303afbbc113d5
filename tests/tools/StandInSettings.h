#pragma once
// The settings the tests' stand-in programs (installers, dotnet, cmd) read:
// lines NAME=VALUE in C:\KorvelTest\stand-ins.cfg. A file rather than the
// environment, since the elevated helper gives its children an environment
// of its own making.
#include <windows.h>

#include <string>

#include "common/UniqueResource.h"

namespace korvel::test {

inline std::string standInUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

// The value of name; empty when the file or the line is missing.
inline std::wstring standInSetting(const wchar_t* name) {
    ScopedHandle file(CreateFileW(L"C:\\KorvelTest\\stand-ins.cfg", GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::wstring();
    char buffer[16384];
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return std::wstring();
    const int wide = MultiByteToWideChar(CP_UTF8, 0, buffer, static_cast<int>(got), nullptr, 0);
    std::wstring text(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, buffer, static_cast<int>(got), &text[0], wide);
    const std::wstring prefix = std::wstring(name) + L"=";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
        start = end + 1;
    }
    return std::wstring();
}

// Appends text and a newline to the file at path (nothing when path is
// empty).
inline void appendLine(const std::wstring& path, const std::string& text) {
    if (path.empty()) return;
    ScopedHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string line = text + "\n";
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace korvel::test
