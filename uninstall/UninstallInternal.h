#pragma once
// Small helpers shared by the uninstaller's sources.
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/DangerousRoot.h"
#include "common/EventLogger.h"

namespace korvel::uninstall_detail {

inline constexpr const char* kComponent = "uninstall_manager";

inline const ComponentLog logLine(kComponent);

inline std::wstring number(uint64_t value) { return std::to_wstring(value); }

// The full path of this program's image; empty when it cannot be read.
inline std::wstring ownImagePath() {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) return std::wstring();
    buffer.resize(n);
    return buffer;
}

// A special folder usable as the base of a removal: obtained, and not a
// path that Windows would resolve against the current folder.
inline bool usableBase(const std::wstring& folder) { return !folder.empty() && isFullyQualifiedPath(folder); }

}  // namespace korvel::uninstall_detail
