#include "common/TextConversion.h"

#include <windows.h>

#include <climits>
#include <stdexcept>

namespace korvel {
namespace {

const char kReplacementUtf8[] = "\xEF\xBF\xBD";

// Both conversions measure first and then convert into a buffer of exactly
// the measured size; a count that changes in between is a failure.
bool multiByteToWide(UINT codePage, DWORD flags, const std::string& in, std::wstring& out, int& failureStep) {
    const int inLength = static_cast<int>(in.size());
    const int needed = MultiByteToWideChar(codePage, flags, in.data(), inLength, nullptr, 0);
    if (needed <= 0) {
        failureStep = 1;
        return false;
    }
    std::wstring buffer(static_cast<size_t>(needed), L'\0');
    const int written = MultiByteToWideChar(codePage, flags, in.data(), inLength, buffer.data(), needed);
    if (written != needed) {
        failureStep = 2;
        return false;
    }
    out = std::move(buffer);
    return true;
}

bool wideToMultiByte(UINT codePage, DWORD flags, const std::wstring& in, std::string& out, int& failureStep) {
    const int inLength = static_cast<int>(in.size());
    const int needed = WideCharToMultiByte(codePage, flags, in.data(), inLength, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        failureStep = 1;
        return false;
    }
    std::string buffer(static_cast<size_t>(needed), '\0');
    const int written =
        WideCharToMultiByte(codePage, flags, in.data(), inLength, buffer.data(), needed, nullptr, nullptr);
    if (written != needed) {
        failureStep = 2;
        return false;
    }
    out = std::move(buffer);
    return true;
}

bool hasNul(const Json::Value& value) {
    switch (value.type()) {
        case Json::stringValue: {
            const char* begin = nullptr;
            const char* end = nullptr;
            if (!value.getString(&begin, &end)) return false;
            for (const char* p = begin; p != end; ++p) {
                if (*p == '\0') return true;
            }
            return false;
        }
        case Json::arrayValue:
            for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
                if (hasNul(value[i])) return true;
            }
            return false;
        case Json::objectValue:
            for (auto it = value.begin(); it != value.end(); ++it) {
                const char* end = nullptr;
                const char* name = it.memberName(&end);
                for (const char* p = name; p != nullptr && p != end; ++p) {
                    if (*p == '\0') return true;
                }
                if (hasNul(*it)) return true;
            }
            return false;
        default:
            return false;
    }
}

}  // namespace

std::wstring utf8ToUtf16(const std::string& text) {
    if (text.empty()) return std::wstring();
    if (text.size() > static_cast<size_t>(INT_MAX)) throw std::length_error("UTF-8 input is too large to convert");
    std::wstring result;
    int step = 0;
    if (!multiByteToWide(CP_UTF8, MB_ERR_INVALID_CHARS, text, result, step)) {
        throw std::runtime_error(step == 1 ? "Invalid UTF-8 input" : "Failed to convert UTF-8 input");
    }
    return result;
}

std::string utf16ToUtf8Strict(const std::wstring& text) {
    if (text.empty()) return std::string();
    if (text.size() > static_cast<size_t>(INT_MAX)) throw std::length_error("UTF-16 input is too large to convert");
    std::string result;
    int step = 0;
    if (!wideToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, result, step)) {
        throw std::runtime_error(step == 1 ? "Invalid UTF-16 input" : "Failed to convert UTF-16 input");
    }
    return result;
}

std::filesystem::path utf8ToPath(const std::string& text) {
    if (text.find('\0') != std::string::npos) throw std::invalid_argument("Path contains an embedded NUL");
    return std::filesystem::path(utf8ToUtf16(text));
}

std::string wideToUtf8(const std::wstring& text) noexcept {
    try {
        if (text.empty()) return std::string();
        if (text.size() > static_cast<size_t>(INT_MAX)) return kReplacementUtf8;
        std::string result;
        int step = 0;
        if (!wideToMultiByte(CP_UTF8, 0, text, result, step)) return kReplacementUtf8;
        return result;
    } catch (...) {
        try {
            return kReplacementUtf8;
        } catch (...) {
            return std::string();
        }
    }
}

std::string pathToUtf8(const std::filesystem::path& path) noexcept {
    try {
        return wideToUtf8(path.wstring());
    } catch (...) {
        try {
            return kReplacementUtf8;
        } catch (...) {
            return std::string();
        }
    }
}

std::wstring narrowToWide(const std::string& oemText) noexcept {
    try {
        if (oemText.empty()) return std::wstring();
        if (oemText.size() > static_cast<size_t>(INT_MAX)) return std::wstring(1, L'\xFFFD');
        std::wstring result;
        int step = 0;
        if (!multiByteToWide(CP_OEMCP, 0, oemText, result, step)) return std::wstring(1, L'\xFFFD');
        return result;
    } catch (...) {
        try {
            return std::wstring(1, L'\xFFFD');
        } catch (...) {
            return std::wstring();
        }
    }
}

bool jsonHasEmbeddedNul(const Json::Value& value) noexcept {
    try {
        return hasNul(value);
    } catch (...) {
        return true;
    }
}

}  // namespace korvel
