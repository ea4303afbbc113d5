#include "common/ErrorCodes.h"

#include "common/UniqueResource.h"

#include <windows.h>

#include <array>

namespace korvel {
namespace {

constexpr int kMaxCode = 245;

struct MessageTable {
    std::array<const char*, kMaxCode + 1> text{};
    constexpr MessageTable() {
#define KORVEL_ERROR_MESSAGE(name, value, message) text[value] = message;
        KORVEL_ERROR_CODES(KORVEL_ERROR_MESSAGE)
#undef KORVEL_ERROR_MESSAGE
    }
};

constexpr MessageTable kMessages{};

}  // namespace

const char* errorMessage(int code) {
    const auto index = static_cast<uint32_t>(code);
    if (index > static_cast<uint32_t>(kMaxCode)) return "Unknown error";
    const char* text = kMessages.text[index];
    return text ? text : "Unknown error";
}

const char* errorMessage(ErrorCode code) { return errorMessage(toInt(code)); }

std::wstring formatWin32Error(uint32_t code) {
    try {
        LPWSTR buffer = nullptr;
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer), 0,
            nullptr);
        const LocalMemory owner(buffer);
        if (length != 0 && buffer != nullptr) {
            std::wstring text(buffer, length);
            while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
            return text;
        }
        return L"Win32 error " + std::to_wstring(code);
    } catch (...) {
        return std::wstring();
    }
}

}  // namespace korvel
