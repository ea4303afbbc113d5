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
        text[0] = "Operation completed successfully";
        text[1] = "Invalid command line arguments";
        text[2] = "Insufficient privileges for operation";
        text[3] = "Operation was cancelled";
        text[4] = "Internal error occurred";
        text[5] = "Insufficient memory";
        text[6] = "Operation timed out";
        text[7] = "Failed to connect to logging pipe";
        text[100] = "Failed to detect prerequisites";
        text[101] = "Failed to download prerequisites";
        text[102] = "Failed to install prerequisites";
        text[103] = "Failed to verify prerequisites";
        text[104] = "Prerequisites already installed";
        text[120] = "Failed to download manifest";
        text[121] = "Failed to parse manifest";
        text[122] = "Manifest signature is invalid";
        text[123] = "Manifest schema is invalid";
        text[124] = "Manifest file not found";
        text[125] = "Failed to apply manifest";
        text[140] = "File access denied";
        text[141] = "File not found";
        text[142] = "File hash verification failed";
        text[143] = "File copy operation failed";
        text[144] = "File move operation failed";
        text[145] = "File delete operation failed";
        text[146] = "Directory creation failed";
        text[147] = "Directory access denied";
        text[148] = "Insufficient disk space";
        text[160] = "Network unreachable";
        text[161] = "Download failed";
        text[162] = "Downloaded file corrupted";
        text[163] = "HTTP error occurred";
        text[164] = "SSL/TLS error occurred";
        text[165] = "DNS resolution failed";
        text[166] = "Connection timeout";
        text[167] = "Download was interrupted";
        text[180] = "Registry access denied";
        text[181] = "Registry key not found";
        text[182] = "Registry value not found";
        text[183] = "Registry write operation failed";
        text[184] = "Registry delete operation failed";
        text[200] = "Digital signature verification failed";
        text[201] = "Certificate is invalid";
        text[202] = "Certificate has expired";
        text[203] = "Certificate has been revoked";
        text[204] = "Hash calculation failed";
        text[205] = "Cryptographic provider error";
        text[220] = "Shortcut creation failed";
        text[221] = "Shortcut link operation failed";
        text[222] = "Shell folder access failed";
        text[223] = "Icon extraction failed";
        text[240] = "Installation path is invalid";
        text[241] = "Installation path access denied";
        text[242] = "Failed to write uninstall information";
        text[243] = "Uninstall cleanup failed";
        text[244] = "Service control operation failed";
        text[245] = "Process termination failed";
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
