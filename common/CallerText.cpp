#include "common/CallerText.h"

#include <cstdio>

#include "common/DangerousRoot.h"
#include "common/PathCompare.h"
#include "common/PathSafety.h"
#include "common/PinnedDirectory.h"

namespace korvel {
namespace {

bool isAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

bool isControlCharacter(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

std::wstring componentProblem(const std::wstring& component) {
    if (component.empty()) return L"an empty path component";
    for (wchar_t c : component) {
        if (c < 0x20) return L"a control character in a path component";
        switch (c) {
            case L'"':
            case L'<':
            case L'>':
            case L'|':
            case L'?':
            case L'*':
                return std::wstring(L"the character ") + c + L" in a path component";
            case L':':
                return L"a colon that is not the drive's";
            default:
                break;
        }
    }
    const wchar_t last = component.back();
    if (last == L'.' || last == L' ') return L"a path component ending in a dot or a blank";
    return std::wstring();
}

}  // namespace

std::wstring callerPathProblem(const std::wstring& path) {
    try {
        if (path.find(L'\0') != std::wstring::npos) return L"a NUL character";
        if (!isFullyQualifiedPath(path)) return L"not a fully qualified path";
        // The "\\?\" and "\\?\UNC\" prefixes are forms, not names: the
        // components are checked in the plain form.
        std::wstring text = path;
        for (wchar_t& c : text) {
            if (c == L'/') c = L'\\';
        }
        const bool extended = text.rfind(L"\\\\?\\", 0) == 0;
        if (extended) {
            const size_t rest = text.size() >= 8 && (text.compare(4, 4, L"UNC\\") == 0 || text.compare(4, 4, L"unc\\") == 0)
                                    ? 8
                                    : 4;
            text = (rest == 8 ? L"\\\\" : L"") + text.substr(rest);
        }
        size_t at = 0;
        if (text.size() >= 2 && isAsciiLetter(text[0]) && text[1] == L':') {
            at = 2;
        } else {
            while (at < text.size() && text[at] == L'\\') ++at;  // the server's leading "\\"
        }
        while (at < text.size() && text[at] == L'\\') ++at;
        while (at < text.size()) {
            size_t end = text.find(L'\\', at);
            if (end == std::wstring::npos) end = text.size();
            // One trailing separator names the same folder; doubled ones
            // inside a path are refused as empty components.
            if (end == at && end + 1 == text.size()) break;
            const std::wstring problem = componentProblem(text.substr(at, end - at));
            if (!problem.empty()) return problem;
            if (end == text.size()) break;
            at = end + 1;
        }
        return std::wstring();
    } catch (...) {
        return L"the path cannot be checked";
    }
}

std::wstring callerPathInsideProblem(const std::wstring& path, const std::wstring& folder, bool allowSame) {
    try {
        std::wstring problem = callerPathProblem(path);
        if (!problem.empty()) return problem;
        std::wstring fullPath;
        std::wstring fullFolder;
        uint32_t error = 0;
        if (!getFullPathName(path, fullPath, error) || !getFullPathName(folder, fullFolder, error))
            return L"the path cannot be put in normal form";
        const bool inside =
            allowSame ? isSameOrInside(fullPath, fullFolder) : isStrictlyInside(fullPath, fullFolder);
        if (!inside) return L"not inside the installation folder";
        return std::wstring();
    } catch (...) {
        return L"the path cannot be checked";
    }
}

std::wstring callerRelativePathProblem(const std::wstring& path) {
    return isSafeRelativePath(path) ? std::wstring() : L"not a safe relative path";
}

std::wstring callerVersionProblem(const std::wstring& version) {
    try {
        size_t characters = 0;
        for (wchar_t c : version) {
            if (isControlCharacter(c)) return L"a control character in the version";
            // A surrogate pair is one character.
            if (c < 0xDC00 || c > 0xDFFF) ++characters;
        }
        if (characters > kMaxVersionLength)
            return L"a version longer than " + std::to_wstring(kMaxVersionLength) + L" characters";
        return std::wstring();
    } catch (...) {
        return L"the version cannot be checked";
    }
}

std::wstring escapeControlCharacters(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (!isControlCharacter(c)) {
            out += c;
            continue;
        }
        wchar_t escaped[8];
        if (c < 0x100) {
            std::swprintf(escaped, 8, L"\\x%02X", static_cast<unsigned>(c));
        } else {
            std::swprintf(escaped, 8, L"\\u%04X", static_cast<unsigned>(c));
        }
        out += escaped;
    }
    return out;
}

}  // namespace korvel
