#pragma once
// Small Windows helpers shared by the file-system code.
#include <windows.h>

#include <climits>
#include <cstdint>
#include <string>

namespace korvel {

// Owner of a kernel handle; closed on every path.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle = INVALID_HANDLE_VALUE) noexcept : handle_(handle) {}
    ~ScopedHandle() { close(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle& operator=(HANDLE handle) noexcept {
        close();
        handle_ = handle;
        return *this;
    }
    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE release() noexcept {
        HANDLE h = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return h;
    }
    void close() noexcept {
        if (valid()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

// GetLastError(), or the fallback when a failed call left no error.
inline uint32_t lastErrorOr(uint32_t fallback) {
    const DWORD code = GetLastError();
    return code != 0 ? static_cast<uint32_t>(code) : fallback;
}

// Case-blind ordinal equality, the way the file system compares names.
inline bool samePath(const std::wstring& a, const std::wstring& b) {
    if (a.size() > static_cast<size_t>(INT_MAX) || b.size() > static_cast<size_t>(INT_MAX)) return false;
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

}  // namespace korvel
