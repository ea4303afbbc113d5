#pragma once
// Helpers shared by the file-operation tests.
#include <windows.h>

#include <json/value.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/UniqueResource.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {

// Deterministic content whose digests were taken with a host tool.
inline std::string patternBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + (i >> 10)) & 0xFF);
    return bytes;
}

// Names directly inside a folder, sorted.
inline std::vector<std::wstring> namesIn(const std::filesystem::path& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    const FindHandle find(FindFirstFileW((folder / L"*").c_str(), &data));
    if (!find.valid()) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

inline std::vector<Json::Value> eventsWithOperation(const std::vector<Json::Value>& events,
                                                    const std::string& operation) {
    std::vector<Json::Value> out;
    for (const Json::Value& e : events) {
        if (e.isObject() && e.get("operation", "").asString() == operation) out.push_back(e);
    }
    return out;
}

inline std::vector<std::string> logMessages(const std::vector<Json::Value>& events, const std::string& level) {
    std::vector<std::string> out;
    for (const Json::Value& e : events) {
        if (e.isObject() && e.get("event_type", "").asString() == "diagnostic" &&
            e.get("level", "").asString() == level)
            out.push_back(e.get("message", "").asString());
    }
    return out;
}

inline bool anyStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

inline FILETIME fileTimeFromUnix(int64_t seconds) {
    const uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

inline uint64_t ticksOf(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

inline void setTimes(const std::filesystem::path& path, const FILETIME& created, const FILETIME& accessed,
                     const FILETIME& written) {
    const ScopedHandle h(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h.valid()) throw std::runtime_error("cannot open for times");
    if (!SetFileTime(h.get(), &created, &accessed, &written)) throw std::runtime_error("cannot set times");
}

struct Times {
    FILETIME created{}, accessed{}, written{};
};

inline Times timesOf(const std::filesystem::path& path) {
    Times t;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) throw std::runtime_error("no attributes");
    t.created = data.ftCreationTime;
    t.accessed = data.ftLastAccessTime;
    t.written = data.ftLastWriteTime;
    return t;
}

// Holds a file open with the given sharing for the lifetime of the object.
class HeldFile {
public:
    HeldFile(const std::filesystem::path& path, DWORD access, DWORD share)
        : handle_(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr)) {
        if (!handle_.valid()) throw std::runtime_error("cannot hold file open");
    }
    // Closes the file before the object goes.
    void release() { handle_.reset(); }
    HANDLE get() const { return handle_.get(); }

private:
    ScopedHandle handle_;
};

}  // namespace korvel::test
