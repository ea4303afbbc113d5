#include "common/WriteAllBytes.h"

#include <algorithm>

namespace korvel {

bool writeAllBytes(HANDLE file, const std::string& bytes, bool flush) noexcept {
    size_t offset = 0;
    while (offset < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + offset, chunk, &written, nullptr) || written == 0) return false;
        offset += written;
    }
    return !flush || FlushFileBuffers(file) != 0;
}

}  // namespace korvel
