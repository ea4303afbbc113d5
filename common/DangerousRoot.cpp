#include "common/DangerousRoot.h"

#include "common/PathCompare.h"
#include "common/PinnedDirectory.h"
#include "common/UniqueResource.h"
#include "common/Win32Util.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <iterator>

namespace korvel {
namespace {

bool isDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool startsWithDriveRoot(const std::wstring& p, size_t at) {
    return p.size() >= at + 3 && isDriveLetter(p[at]) && p[at + 1] == L':' && isPathSeparator(p[at + 2]);
}

// "server\share..." with both names present.
bool hasServerAndShare(const std::wstring& p, size_t at) {
    size_t i = at;
    while (i < p.size() && !isPathSeparator(p[i])) ++i;
    if (i == at || i >= p.size()) return false;
    return i + 1 < p.size() && !isPathSeparator(p[i + 1]);
}

std::wstring withoutTrailingSeparators(std::wstring p) {
    while (p.size() > 1 && isPathSeparator(p.back())) p.pop_back();
    return p;
}

// The ways a folder is named: its full path, and its final path when it can
// be opened (following links, since the question is which folder it really is).
std::vector<std::wstring> resolvedForms(const std::wstring& path) {
    std::vector<std::wstring> forms;
    std::wstring full;
    uint32_t error = 0;
    if (!getFullPathName(path, full, error)) return forms;
    forms.push_back(withoutTrailingSeparators(full));
    if (isVolumeRootPath(forms.front())) return forms;
    const std::wstring open = toExtendedLengthPath(forms.front());
    ScopedHandle handle(CreateFileW(open.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring finalPath;
    if (handle && getFinalPathByHandle(handle.get(), finalPath)) {
        finalPath = fromExtendedLengthPath(std::move(finalPath));
        if (!samePath(finalPath, forms.front())) forms.push_back(std::move(finalPath));
    }
    return forms;
}

std::wstring parentOf(const std::wstring& p) {
    const size_t slash = p.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : withoutTrailingSeparators(p.substr(0, slash));
}

// The full path with its longest existing part replaced by that part's final
// path (links followed), for a folder that is yet to be made.
std::wstring finalFormOfLongestExisting(const std::wstring& full) {
    std::wstring existing = full;
    std::wstring rest;
    while (!existing.empty() && !isVolumeRootPath(existing)) {
        const std::vector<std::wstring> forms = resolvedForms(existing);
        if (forms.size() > 1) return forms.back() + rest;
        if (GetFileAttributesW(toExtendedLengthPath(existing).c_str()) != INVALID_FILE_ATTRIBUTES) break;
        const size_t slash = existing.find_last_of(L"\\/");
        if (slash == std::wstring::npos) break;
        rest = existing.substr(slash) + rest;
        existing = withoutTrailingSeparators(existing.substr(0, slash));
    }
    return full;
}

void addCsidl(std::vector<std::wstring>& out, int csidl) {
    wchar_t buffer[MAX_PATH + 1] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_DONT_VERIFY, nullptr, SHGFP_TYPE_CURRENT, buffer)) &&
        buffer[0] != 0)
        out.emplace_back(buffer);
}

bool knownFolder(REFKNOWNFOLDERID id, std::wstring& out) {
    PWSTR raw = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &raw);
    CoTaskMemory owner(raw);
    if (FAILED(hr) || raw == nullptr || raw[0] == 0) return false;
    out = raw;
    return true;
}

void addKnownFolder(std::vector<std::wstring>& out, REFKNOWNFOLDERID id) {
    std::wstring path;
    if (knownFolder(id, path)) out.push_back(std::move(path));
}

std::wstring windowsFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT n = GetSystemWindowsDirectoryW(buffer, MAX_PATH + 1);
    return (n > 0 && n <= MAX_PATH) ? std::wstring(buffer, n) : std::wstring();
}

}  // namespace

bool isFullyQualifiedPath(const std::wstring& path) noexcept {
    if (path.find(L'\0') != std::wstring::npos) return false;
    if (startsWithDriveRoot(path, 0)) return true;
    if (path.size() >= 4 && path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') &&
        path[3] == L'\\') {
        if (path[2] == L'.') return false;  // the device namespace
        if (startsWithDriveRoot(path, 4)) return true;
        if (path.size() > 8 && (path.compare(4, 4, L"UNC\\") == 0 || path.compare(4, 4, L"unc\\") == 0))
            return hasServerAndShare(path, 8);
        return false;
    }
    if (path.size() >= 2 && isPathSeparator(path[0]) && isPathSeparator(path[1])) return hasServerAndShare(path, 2);
    return false;
}

std::vector<std::wstring> protectedFolders() {
    std::vector<std::wstring> out;
    const std::wstring windows = windowsFolder();
    if (!windows.empty()) {
        out.push_back(windows);
        out.push_back(windows + L"\\Temp");
    }
    wchar_t buffer[MAX_PATH + 1] = {};
    UINT n = GetSystemDirectoryW(buffer, MAX_PATH + 1);
    if (n > 0 && n <= MAX_PATH) out.emplace_back(buffer, n);
    const DWORD t = GetTempPathW(MAX_PATH + 1, buffer);
    if (t > 0 && t <= MAX_PATH) out.emplace_back(buffer, t);
    for (int csidl : {CSIDL_WINDOWS, CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86,
                      CSIDL_PROGRAM_FILES_COMMON, CSIDL_PROGRAM_FILES_COMMONX86, CSIDL_COMMON_APPDATA, CSIDL_PROFILE,
                      CSIDL_DESKTOPDIRECTORY, CSIDL_PERSONAL, CSIDL_APPDATA, CSIDL_LOCAL_APPDATA, CSIDL_STARTMENU,
                      CSIDL_PROGRAMS, CSIDL_STARTUP, CSIDL_MYPICTURES, CSIDL_MYMUSIC, CSIDL_MYVIDEO, CSIDL_FAVORITES,
                      CSIDL_COMMON_STARTMENU, CSIDL_COMMON_PROGRAMS, CSIDL_COMMON_STARTUP,
                      CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_COMMON_DOCUMENTS, CSIDL_FONTS})
        addCsidl(out, csidl);
    addKnownFolder(out, FOLDERID_Downloads);
    addKnownFolder(out, FOLDERID_UserProfiles);
    addKnownFolder(out, FOLDERID_Public);
    addKnownFolder(out, FOLDERID_ProgramFilesX64);
    return out;
}

std::wstring dangerousRootReason(const std::wstring& path) noexcept {
    try {
        if (!isFullyQualifiedPath(path)) return L"not a fully qualified path";
        const std::vector<std::wstring> forms = resolvedForms(path);
        if (forms.empty()) return L"the path cannot be resolved";

        std::vector<std::vector<std::wstring>> guarded;
        for (const std::wstring& folder : protectedFolders()) guarded.push_back(resolvedForms(folder));
        std::vector<std::wstring> windows = resolvedForms(windowsFolder());
        std::vector<std::wstring> profiles;
        std::wstring profilesRoot;
        if (knownFolder(FOLDERID_UserProfiles, profilesRoot)) profiles = resolvedForms(profilesRoot);

        for (const std::wstring& candidate : forms) {
            if (isVolumeRootPath(candidate)) return L"a volume or share root";
            for (const std::vector<std::wstring>& folder : guarded) {
                for (const std::wstring& guard : folder) {
                    if (samePath(candidate, guard)) return L"a protected folder (" + guard + L")";
                    if (isStrictlyInside(guard, candidate)) return L"holds the protected folder " + guard;
                }
            }
            // Nothing of Windows' own is ever removed; only its temporary
            // folder holds what other programs put there.
            for (const std::wstring& w : windows) {
                if (isStrictlyInside(candidate, w) && !isStrictlyInside(candidate, w + L"\\Temp")) return L"inside the Windows folder";
            }
            const std::wstring parent = parentOf(candidate);
            for (const std::wstring& root : profiles) {
                if (!parent.empty() && samePath(parent, root)) return L"a user profile folder";
            }
        }
        return std::wstring();
    } catch (...) {
        return L"the path cannot be checked";
    }
}

std::wstring applyTargetRefusal(const std::wstring& path) noexcept {
    try {
        const std::wstring reason = dangerousRootReason(path);
        if (!reason.empty()) return reason;
        std::vector<std::wstring> candidates = resolvedForms(path);
        if (candidates.empty()) return L"the path cannot be resolved";
        candidates.push_back(finalFormOfLongestExisting(candidates.front()));
        const std::vector<std::wstring> windows = resolvedForms(windowsFolder());
        for (const std::wstring& candidate : candidates) {
            // Dangerous-root checks above leave Windows' temporary folder
            // to removals; nothing of an update belongs anywhere in Windows.
            for (const std::wstring& w : windows) {
                if (samePath(candidate, w) || isStrictlyInside(candidate, w)) return L"inside the Windows folder";
            }
            const std::wstring other = dangerousRootReason(candidate);
            if (!other.empty()) return other;
        }
        return std::wstring();
    } catch (...) {
        return L"the path cannot be checked";
    }
}

}  // namespace korvel
