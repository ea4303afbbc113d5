#include "manifest/SessionPaths.h"

#include <windows.h>

#include <deque>
#include <system_error>
#include <vector>

#include "common/PathCompare.h"
#include "common/PinnedDirectory.h"
#include "common/UniqueResource.h"
#include "common/Win32Util.h"

namespace korvel {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

}  // namespace korvel
