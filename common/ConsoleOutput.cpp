#include "common/ConsoleOutput.h"

#include <windows.h>

#include <algorithm>

#include "common/TextConversion.h"
#include "common/WriteAllBytes.h"

namespace korvel {
namespace {

HANDLE standardHandle(DWORD which) {
    HANDLE h = GetStdHandle(which);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

void writeBytes(HANDLE h, const std::string& bytes) {
    if (h == nullptr) return;
    // No FlushFileBuffers: WriteFile already delivers the bytes to every
    // reader, and on a file it would cost a disk flush per text.
    writeAllBytes(h, bytes, false);
}

// A real console shows the bytes of WriteFile in its own code page, so text
// for a console goes as UTF-16; files and pipes get UTF-8 bytes.
void writeText(DWORD which, const std::wstring& text) {
    HANDLE h = standardHandle(which);
    if (h == nullptr) return;
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        size_t offset = 0;
        while (offset < text.size()) {
            DWORD written = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - offset, 8192));
            if (!WriteConsoleW(h, text.data() + offset, chunk, &written, nullptr) || written == 0) return;
            offset += written;
        }
        return;
    }
    writeBytes(h, wideToUtf8(text));
}

}  // namespace

void writeStdoutBytes(const std::string& bytes) { writeBytes(standardHandle(STD_OUTPUT_HANDLE), bytes); }

void writeStdoutLine(const std::wstring& line) { writeText(STD_OUTPUT_HANDLE, line + L"\n"); }

void writeStderrLine(const std::wstring& line) { writeText(STD_ERROR_HANDLE, line + L"\n"); }

void writeStdoutText(const std::wstring& text) { writeText(STD_OUTPUT_HANDLE, text); }

void writeStderrText(const std::wstring& text) { writeText(STD_ERROR_HANDLE, text); }

}  // namespace korvel
