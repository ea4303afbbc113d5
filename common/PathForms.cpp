// Path forms and the paths Windows gives for a path or a handle: the
// extended-length forms, full paths, long names and final paths.
#include "common/PinnedDirectory.h"

#include "common/Win32Util.h"

#include <winternl.h>

#include <stdexcept>
#include <utility>
#include <vector>

namespace korvel {
namespace {

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
    const std::wstring p(prefix);
    return text.size() >= p.size() && text.compare(0, p.size(), p) == 0;
}

// The handle's object name turned into the "\\?\" DOS form: "\??\X:\..." as
// is, "\Device\...\" through the drive letter whose device it is, and the
// multiple-UNC-provider device as "\\?\UNC\". False (error 3) for anything else.
bool objectNameAsDosPath(HANDLE handle, std::wstring& out) {
    std::vector<unsigned long long> buffer(8192);
    ULONG returned = 0;
    NTSTATUS status = NtQueryObject(handle, ObjectNameInformation, buffer.data(),
                                    static_cast<ULONG>(buffer.size() * sizeof(buffer[0])), &returned);
    if (status < 0 && returned > buffer.size() * sizeof(buffer[0])) {
        buffer.resize(returned / sizeof(buffer[0]) + 1);
        status = NtQueryObject(handle, ObjectNameInformation, buffer.data(),
                               static_cast<ULONG>(buffer.size() * sizeof(buffer[0])), &returned);
    }
    if (status < 0) {
        SetLastError(RtlNtStatusToDosError(status));
        return false;
    }
    const auto* info = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer.data());
    if (info->Name.Buffer == nullptr || info->Name.Length == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    const std::wstring name(info->Name.Buffer, info->Name.Length / sizeof(wchar_t));
    if (startsWith(name, L"\\??\\")) {
        out = L"\\\\?\\" + name.substr(4);
        return true;
    }
    if (startsWith(name, L"\\Device\\Mup\\")) {
        out = L"\\\\?\\UNC\\" + name.substr(12);
        return true;
    }
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const wchar_t drive[3] = {letter, L':', L'\0'};
        wchar_t target[1024] = {};
        if (QueryDosDeviceW(drive, target, 1024) == 0) continue;
        const std::wstring device(target);
        if (device.empty()) continue;
        if (name.size() > device.size() && startsWith(name, device.c_str()) && name[device.size()] == L'\\') {
            out = L"\\\\?\\" + std::wstring(drive) + name.substr(device.size());
            return true;
        }
    }
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
}

}  // namespace

std::wstring toExtendedLengthPath(const std::wstring& path) {
    if (path.find(L'\0') != std::wstring::npos) throw std::invalid_argument("Path contains an embedded NUL");
    std::wstring result = path;
    for (wchar_t& c : result) {
        if (c == L'/') c = L'\\';
    }
    if (result.size() >= 4 && (startsWith(result, L"\\\\?\\") || startsWith(result, L"\\??\\") ||
                               startsWith(result, L"\\\\.\\"))) {
        return result;
    }
    if (result.size() >= 2 && startsWith(result, L"\\\\")) return L"\\\\?\\UNC\\" + result.substr(2);
    if (result.size() >= 3 && result[1] == L':' && result[2] == L'\\') return L"\\\\?\\" + result;
    return result;
}

std::wstring fromExtendedLengthPath(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    if (path.size() >= 8 && (startsWith(path, L"\\\\?\\UNC\\") || startsWith(path, L"\\??\\UNC\\"))) {
        path = L"\\\\" + path.substr(8);
    } else if (path.size() >= 4 && (startsWith(path, L"\\\\?\\") || startsWith(path, L"\\??\\"))) {
        path.erase(0, 4);
    }
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

bool isVolumeRootPath(const std::wstring& normalPath) noexcept {
    try {
        std::wstring p = normalPath;
        for (wchar_t& c : p) {
            if (c == L'/') c = L'\\';
        }
        while (p.size() > 1 && p.back() == L'\\') p.pop_back();
        if (p.empty()) return false;
        if (p.size() == 2 && p[1] == L':') return true;
        if (p.size() >= 2 && p[0] == L'\\' && p[1] == L'\\') {
            // "\\server" or "\\server\share": at most two parts after the slashes.
            size_t parts = 0;
            size_t i = 2;
            while (i < p.size()) {
                while (i < p.size() && p[i] == L'\\') ++i;
                if (i >= p.size()) break;
                ++parts;
                while (i < p.size() && p[i] != L'\\') ++i;
            }
            return parts <= 2;
        }
        if (p == L"\\") return true;
        // A volume named without a drive letter ("Volume{...}"): no folder part.
        return p.find(L'\\') == std::wstring::npos && p.find(L':') == std::wstring::npos;
    } catch (...) {
        return true;
    }
}

std::wstring withLongNames(const std::wstring& fullPath) {
    const std::wstring extended = toExtendedLengthPath(fullPath);
    const DWORD needed = GetLongPathNameW(extended.c_str(), nullptr, 0);
    if (needed == 0) return fullPath;
    std::wstring longName(needed, L'\0');
    const DWORD written = GetLongPathNameW(extended.c_str(), &longName[0], needed);
    if (written == 0 || written >= needed) return fullPath;
    return fromExtendedLengthPath(longName.substr(0, written));
}

bool getFullPathName(const std::wstring& path, std::wstring& fullPath, uint32_t& win32Error) noexcept {
    try {
        win32Error = 0;
        const std::wstring extended = toExtendedLengthPath(path);
        const DWORD needed = GetFullPathNameW(extended.c_str(), 0, nullptr, nullptr);
        if (needed == 0) {
            win32Error = lastErrorOr(ERROR_INVALID_NAME);
            return false;
        }
        std::vector<wchar_t> buffer(static_cast<size_t>(needed) + 1, L'\0');
        const DWORD written = GetFullPathNameW(extended.c_str(), needed, buffer.data(), nullptr);
        if (written == 0 || written >= needed) {
            win32Error = lastErrorOr(ERROR_INVALID_NAME);
            return false;
        }
        fullPath = fromExtendedLengthPath(std::wstring(buffer.data(), written));
        return true;
    } catch (...) {
        win32Error = ERROR_INVALID_NAME;
        return false;
    }
}

bool getFinalPathByHandle(HANDLE handle, std::wstring& finalPath) noexcept {
    try {
        const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
        // One call for the usual path: each call resolves the name anew,
        // which costs the platform a walk up the folders; only a longer
        // path asks again with the size the first call gave.
        constexpr DWORD kFirstTry = 1024;
        std::vector<wchar_t> first(kFirstTry, L'\0');
        const DWORD got = GetFinalPathNameByHandleW(handle, first.data(), kFirstTry, flags);
        if (got != 0 && got < kFirstTry) {
            finalPath.assign(first.data(), got);
            return true;
        }
        const DWORD needed = got != 0 ? got : GetFinalPathNameByHandleW(handle, nullptr, 0, flags);
        if (needed == 0) {
            const DWORD code = GetLastError();
            // Some implementations (Wine) read the name through a MAX_PATH
            // buffer and fail on longer paths; the object name says the same.
            if ((code == ERROR_MORE_DATA || code == ERROR_INSUFFICIENT_BUFFER) && objectNameAsDosPath(handle, finalPath)) {
                return true;
            }
            SetLastError(code);
            return false;
        }
        std::vector<wchar_t> buffer(static_cast<size_t>(needed) + 1, L'\0');
        const DWORD written = GetFinalPathNameByHandleW(handle, buffer.data(), needed, flags);
        if (written == 0 || written >= needed) {
            if (GetLastError() == 0) SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        finalPath.assign(buffer.data(), written);
        return true;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

}  // namespace korvel
