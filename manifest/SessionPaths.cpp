#include "manifest/SessionPaths.h"

#include <windows.h>

#include <deque>
#include <system_error>
#include <vector>

#include "common/PathCompare.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "common/Win32Util.h"

namespace korvel {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Whatever a session path opens, its other end never acts as this process.
constexpr DWORD kNoImpersonation = SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

std::string win32Text(uint32_t code) { return "system error " + std::to_string(code); }

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
    const std::wstring p(prefix);
    return text.size() >= p.size() && text.compare(0, p.size(), p) == 0;
}

}  // namespace

bool resolveFinalPath(const std::wstring& path, std::wstring& resolved, uint32_t& win32Error) noexcept {
    try {
        win32Error = 0;
        std::wstring full;
        if (!getFullPathName(path, full, win32Error)) return false;
        // A device or pipe is no file of a session, and opening a pipe would
        // connect to whoever serves it.
        if (startsWith(full, L"\\\\.\\") || startsWith(full, L"\\\\?\\") || startsWith(full, L"\\??\\")) {
            win32Error = ERROR_INVALID_NAME;
            return false;
        }
        std::deque<std::wstring> missing;
        std::wstring current = full;
        for (;;) {
            // Attributes only: nothing is read, and the anonymous level keeps
            // a server at the other end from acting as this process.
            ScopedHandle handle(CreateFileW(toExtendedLengthPath(current).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                            nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS,
                                            nullptr));
            if (handle) {
                std::wstring raw;
                if (!getFinalPathByHandle(handle.get(), raw)) {
                    win32Error = lastErrorOr(ERROR_INVALID_FUNCTION);
                    return false;
                }
                resolved = fromExtendedLengthPath(std::move(raw));
                for (const std::wstring& name : missing) resolved += L"\\" + name;
                return true;
            }
            const DWORD code = GetLastError();
            if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
                win32Error = code != 0 ? code : ERROR_INVALID_FUNCTION;
                return false;
            }
            const size_t cut = current.find_last_of(L'\\');
            if (isVolumeRootPath(current) || cut == std::wstring::npos || cut == 0) {
                win32Error = code;
                return false;
            }
            missing.push_front(current.substr(cut + 1));
            current.erase(cut);
            // "C:" alone would mean the drive's current folder.
            if (current.size() == 2 && current[1] == L':') current += L'\\';
        }
    } catch (...) {
        win32Error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
}

bool pathElementsWithin(const std::wstring& candidate, const std::wstring& root) {
    return isSameOrInside(candidate, root);
}

bool isPathWithinRoot(const std::filesystem::path& candidate, const std::filesystem::path& root) {
    std::wstring candidateFinal;
    std::wstring rootFinal;
    uint32_t error = 0;
    if (!resolveFinalPath(candidate.wstring(), candidateFinal, error)) {
        throw std::filesystem::filesystem_error("resolve", candidate,
                                                std::error_code(static_cast<int>(error), std::system_category()));
    }
    if (!resolveFinalPath(root.wstring(), rootFinal, error)) {
        throw std::filesystem::filesystem_error("resolve", root,
                                                std::error_code(static_cast<int>(error), std::system_category()));
    }
    return pathElementsWithin(candidateFinal, rootFinal);
}

bool holdSessionRoot(const std::wstring& sessionRoot, HeldSessionRoot& out, std::string& failure) {
    std::wstring full;
    uint32_t error = 0;
    if (!getFullPathName(sessionRoot, full, error)) {
        failure = win32Text(error);
        return false;
    }
    full = withLongNames(full);
    ScopedHandle handle(CreateFileW(toExtendedLengthPath(full).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | kNoImpersonation,
                                    nullptr));
    if (!handle) {
        failure = win32Text(lastErrorOr(ERROR_INVALID_FUNCTION));
        return false;
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic)) {
        failure = win32Text(lastErrorOr(ERROR_INVALID_FUNCTION));
        return false;
    }
    const std::string shown = wideToUtf8(sessionRoot);
    if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        failure = "the session root is a link: " + shown;
        return false;
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        failure = "the session root is not a folder: " + shown;
        return false;
    }
    std::wstring raw;
    if (!getFinalPathByHandle(handle.get(), raw)) {
        failure = win32Text(lastErrorOr(ERROR_INVALID_FUNCTION));
        return false;
    }
    const std::wstring finalPath = fromExtendedLengthPath(std::move(raw));
    const size_t cut = full.find_last_of(L'\\');
    if (!isVolumeRootPath(full) && cut != std::wstring::npos && cut > 0) {
        std::wstring parent = full.substr(0, cut);
        if (parent.size() == 2 && parent[1] == L':') parent += L'\\';
        std::wstring parentFinal;
        if (!resolveFinalPath(parent, parentFinal, error)) {
            failure = win32Text(error);
            return false;
        }
        if (!samePath(parentFinal + L"\\" + full.substr(cut + 1), finalPath)) {
            failure = "the session root is a link: " + shown;
            return false;
        }
    }
    out.handle = std::move(handle);
    out.finalPath = finalPath;
    return true;
}

}  // namespace korvel
