#include "common/DocumentRead.h"

#include <algorithm>

namespace korvel {

DocumentReadResult readWholeDocument(HANDLE file, uint64_t cap, std::string& text) {
    DocumentReadResult result;
    text.clear();
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        result.outcome = DocumentReadOutcome::ReadFailed;
        result.win32Error = GetLastError();
        return result;
    }
    if (size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > cap) {
        result.outcome = DocumentReadOutcome::TooLarge;
        return result;
    }
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        result.outcome = DocumentReadOutcome::ReadFailed;
        result.win32Error = GetLastError();
        return result;
    }
    // One byte beyond the cap is asked for, so a file grown past it is seen.
    text.resize(static_cast<size_t>(size.QuadPart) + 1);
    size_t have = 0;
    for (;;) {
        if (have == text.size()) {
            if (have > cap) break;
            text.resize(static_cast<size_t>(std::min<uint64_t>(cap + 1, static_cast<uint64_t>(have) * 2 + 65536)));
        }
        const size_t room = text.size() - have;
        const DWORD want = room > 0x40000000u ? 0x40000000u : static_cast<DWORD>(room);
        DWORD got = 0;
        if (!ReadFile(file, &text[have], want, &got, nullptr)) {
            result.outcome = DocumentReadOutcome::ReadFailed;
            result.win32Error = GetLastError();
            text.clear();
            return result;
        }
        if (got == 0) break;
        have += got;
    }
    if (have > cap) {
        text.clear();
        result.outcome = DocumentReadOutcome::TooLarge;
        return result;
    }
    text.resize(have);
    return result;
}

}  // namespace korvel
