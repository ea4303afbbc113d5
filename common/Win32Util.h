#pragma once
// Small Windows helpers shared by the file-system code.
#include "common/UniqueResource.h"

#include <climits>
#include <cstdint>
#include <string>

namespace korvel {

// GetLastError(), or the fallback when a failed call left no error.
inline uint32_t lastErrorOr(uint32_t fallback) {
    const DWORD code = GetLastError();
    return code != 0 ? static_cast<uint32_t>(code) : fallback;
}

// Windows errors that mean "there is nothing at that path": file or path
// not found, a network path missing or gone, a name Windows refuses, a file
// where a folder was named.
inline bool isMissingPathError(uint32_t error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NETPATH:
        case ERROR_NETNAME_DELETED:
        case ERROR_INVALID_NAME:
        case ERROR_DIRECTORY:
            return true;
        default:
            return false;
    }
}

// Case-blind ordinal equality, the way the file system compares names.
inline bool samePath(const std::wstring& a, const std::wstring& b) {
    if (a.size() > static_cast<size_t>(INT_MAX) || b.size() > static_cast<size_t>(INT_MAX)) return false;
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

}  // namespace korvel
