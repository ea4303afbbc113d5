#include "common/ConsoleOutput.h"

#include <windows.h>

#include <algorithm>

#include "common/TextConversion.h"

namespace korvel {
namespace {

HANDLE standardHandle(DWORD which) {
    HANDLE h = GetStdHandle(which);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

void writeBytes(HANDLE h, const std::string& bytes) {
    if (h == nullptr) return;
    size_t offset = 0;
    while (offset < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 1u << 20));
        if (!WriteFile(h, bytes.data() + offset, chunk, &written, nullptr) || written == 0) return;
        offset += written;
    }
    FlushFileBuffers(h);
}

// A real console shows the bytes of WriteFile in its own code page, so text
// for a console goes as UTF-16; files and pipes get UTF-8 bytes.
void writeLine(DWORD which, const std::wstring& line) {
    HANDLE h = standardHandle(which);
    if (h == nullptr) return;
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        const std::wstring text = line + L"\n";
        size_t offset = 0;
        while (offset < text.size()) {
            DWORD written = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - offset, 8192));
            if (!WriteConsoleW(h, text.data() + offset, chunk, &written, nullptr) || written == 0) return;
            offset += written;
        }
        return;
    }
    writeBytes(h, wideToUtf8(line) + "\n");
}

}  // namespace

void writeStdoutBytes(const std::string& bytes) { writeBytes(standardHandle(STD_OUTPUT_HANDLE), bytes); }

void writeStdoutLine(const std::wstring& line) { writeLine(STD_OUTPUT_HANDLE, line); }

void writeStderrLine(const std::wstring& line) { writeLine(STD_ERROR_HANDLE, line); }

}  // namespace korvel
