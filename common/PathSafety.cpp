#include "common/PathSafety.h"

#include "common/PathCompare.h"
#include "common/TextConversion.h"

namespace korvel {
namespace {


bool isAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

wchar_t asciiUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// Drive letters, server names, device and extended prefixes all start with a
// separator or with "X:"; any of them makes the path rooted.
bool hasRootNameOrDirectory(const std::wstring& path) {
    if (isPathSeparator(path[0])) return true;
    return path.size() >= 2 && isAsciiLetter(path[0]) && path[1] == L':';
}

bool isReservedDeviceName(const std::wstring& component) {
    std::wstring base = component.substr(0, component.find(L'.'));
    // Windows also maps "CON .txt" to the device: spaces before the extension
    // do not make the name a different one.
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base) c = asciiUpper(c);
    if (base.size() == 3) return base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL";
    if (base.size() == 4) {
        const std::wstring stem = base.substr(0, 3);
        if (stem != L"COM" && stem != L"LPT") return false;
        const wchar_t last = base[3];
        return (last >= L'1' && last <= L'9') || last == L'\u00B9' || last == L'\u00B2' || last == L'\u00B3';
    }
    return false;
}

bool isSafeComponent(const std::wstring& component) {
    if (component.empty()) return false;
    if (component == L"." || component == L"..") return false;
    const wchar_t last = component.back();
    if (last == L'.' || last == L' ') return false;
    for (wchar_t c : component) {
        switch (c) {
            case L'<':
            case L'>':
            case L':':
            case L'"':
            case L'|':
            case L'?':
            case L'*':
                return false;
            default:
                break;
        }
        if (c >= 0x0001 && c <= 0x001F) return false;
    }
    return !isReservedDeviceName(component);
}

}  // namespace

bool isSafeRelativePath(const std::wstring& path) noexcept {
    try {
        if (path.empty()) return false;
        if (path.find(L'\0') != std::wstring::npos) return false;
        try {
            (void)utf16ToUtf8Strict(path);
        } catch (...) {
            return false;
        }
        if (hasRootNameOrDirectory(path)) return false;

        size_t start = 0;
        while (true) {
            size_t end = start;
            while (end < path.size() && !isPathSeparator(path[end])) ++end;
            if (!isSafeComponent(path.substr(start, end - start))) return false;
            if (end == path.size()) break;
            start = end + 1;
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool isSafeRelativePathUtf8(const std::string& path) noexcept {
    try {
        if (path.find('\0') != std::string::npos) return false;
        return isSafeRelativePath(utf8ToUtf16(path));
    } catch (...) {
        return false;
    }
}

}  // namespace korvel
