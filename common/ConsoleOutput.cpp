#include "common/ConsoleOutput.h"

#include <windows.h>

#include "common/TextConversion.h"

namespace korvel {
namespace {

void writeBytes(DWORD which, const std::string& bytes) {
    HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
    size_t offset = 0;
    while (offset < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 1u << 20));
        if (!WriteFile(h, bytes.data() + offset, chunk, &written, nullptr) || written == 0) return;
        offset += written;
    }
    FlushFileBuffers(h);
}

}  // namespace

void writeStdoutBytes(const std::string& bytes) { writeBytes(STD_OUTPUT_HANDLE, bytes); }

void writeStdoutLine(const std::wstring& line) { writeBytes(STD_OUTPUT_HANDLE, wideToUtf8(line) + "\n"); }

void writeStderrLine(const std::wstring& line) { writeBytes(STD_ERROR_HANDLE, wideToUtf8(line) + "\n"); }

}  // namespace korvel
