#include "common/PinnedDirectory.h"

#include "common/PathSafety.h"
#include "common/TextConversion.h"
#include "common/Win32Util.h"

#include <winternl.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace korvel {
namespace {

constexpr DWORD kNoReparseFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Final path of a handle in normal form; false leaves GetLastError() set.
bool normalFinalPath(HANDLE handle, std::wstring& out) {
    std::wstring raw;
    if (!getFinalPathByHandle(handle, raw)) return false;
    out = fromExtendedLengthPath(std::move(raw));
    return true;
}

// The attributes that let a read-only entry be deleted; 0 would mean "leave
// unchanged", hence FILE_ATTRIBUTE_NORMAL for a plain read-only file.
DWORD withoutReadOnly(DWORD attributes) {
    if (attributes == FILE_ATTRIBUTE_READONLY) return FILE_ATTRIBUTE_NORMAL;
    return attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
}

// Writes attributes through a handle; zero times leave all four times as they are.
bool writeAttributes(HANDLE handle, DWORD attributes) {
    FILE_BASIC_INFO info{};
    info.FileAttributes = attributes;
    return SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof(info)) != FALSE;
}

bool markForDeletion(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// FILE_DISPOSITION_INFO_EX with DELETE | IGNORE_READONLY_ATTRIBUTE (Windows
// 10 1809 and later); false where the system lacks it.
bool markForDeletionIgnoringReadOnly(HANDLE handle) {
    struct {
        ULONG Flags;
    } disposition{0x00000001 | 0x00000010};
    const auto infoClass = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);  // FileDispositionInfoEx
    return SetFileInformationByHandle(handle, infoClass, &disposition, sizeof(disposition)) != FALSE;
}

// Marks an open entry for deletion. A read-only entry first gets its flag
// cleared through a second handle (openSecond) that must resolve to the same
// place; when the delete then fails the flag is put back, so a failed delete
// changes nothing. The flag belongs to the file, not to the name: a file with
// further names (hard links, perhaps outside) keeps it.
template <typename OpenSecond, typename CheckSecond>
bool deleteThroughHandle(HANDLE entry, uint32_t& error, bool& secondNotContained, OpenSecond openSecond,
                         CheckSecond checkSecond) {
    secondNotContained = false;
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic))) {
        error = lastErrorOr(ERROR_INVALID_FUNCTION);
        return false;
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        FILE_STANDARD_INFO standard{};
        const bool moreNames = (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                               GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof(standard)) &&
                               standard.NumberOfLinks > 1;
        // Where the system has it, the name goes without the file changing.
        if (moreNames && markForDeletionIgnoringReadOnly(entry)) return true;
        HANDLE h = openSecond();
        if (h == INVALID_HANDLE_VALUE) {
            error = lastErrorOr(ERROR_INVALID_FUNCTION);
            return false;
        }
        ScopedHandle second(h);
        if (!checkSecond(second.get(), error)) {
            secondNotContained = true;
            return false;
        }
        if (!writeAttributes(second.get(), withoutReadOnly(basic.FileAttributes))) {
            error = lastErrorOr(ERROR_INVALID_FUNCTION);
            return false;
        }
        if (markForDeletion(entry)) {
            // The other names still reach the file: its flag is restored
            // through the handle held open, before the name goes.
            if (moreNames) writeAttributes(second.get(), basic.FileAttributes);
            return true;
        }
        error = lastErrorOr(ERROR_INVALID_FUNCTION);
        writeAttributes(second.get(), basic.FileAttributes);
        return false;
    }
    if (markForDeletion(entry)) return true;
    error = lastErrorOr(ERROR_INVALID_FUNCTION);
    return false;
}

// Every component of a path ('\\' separated) without its trailing dots and
// blanks; '/' read as '\\'.
std::wstring withoutTrailingDotsAndBlanks(const std::wstring& path) {
    std::wstring out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) end = path.size();
        std::wstring part = path.substr(start, end - start);
        while (!part.empty() && (part.back() == L'.' || part.back() == L' ') && part != L"." && part != L"..")
            part.pop_back();
        if (start > 0) out.push_back(L'\\');
        out += part;
        start = end + 1;
    }
    return out;
}

// Opens an entry by its name relative to a folder handle: no Win32 name
// rules apply (a device name such as "aux.txt" or a trailing dot stays the
// entry's own name) and the final component is never followed.
HANDLE openRelative(HANDLE folder, const std::wstring& relative, DWORD access) {
    std::wstring name = relative;
    for (wchar_t& c : name) {
        if (c == L'/') c = L'\\';
    }
    const OpenAtRequest request{access, kShareReadWrite, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT};
    ScopedHandle handle;
    const long status = openAt(folder, name, request, handle);
    if (status < 0) {
        SetLastError(win32ErrorOfStatus(status));
        return INVALID_HANDLE_VALUE;
    }
    return handle.release();
}

}  // namespace

PinnedDirectory::PinnedDirectory(PinnedDirectory&& other) noexcept
    : handle_(std::move(other.handle_)), finalPath_(std::move(other.finalPath_)), openPath_(std::move(other.openPath_)) {
    other.finalPath_.clear();
    other.openPath_.clear();
}

PinnedDirectory& PinnedDirectory::operator=(PinnedDirectory&& other) noexcept {
    if (this != &other) {
        reset(other.handle_.release(), std::move(other.finalPath_), std::move(other.openPath_));
        other.finalPath_.clear();
        other.openPath_.clear();
    }
    return *this;
}

void PinnedDirectory::reset(HANDLE handle, std::wstring finalPath, std::wstring openPath) noexcept {
    handle_.reset(handle == nullptr ? INVALID_HANDLE_VALUE : handle);
    finalPath_ = std::move(finalPath);
    openPath_ = std::move(openPath);
}

bool openDirectoryNoReparse(const std::wstring& path, PinnedDirectory& out, uint32_t& win32Error,
                            uint32_t desiredAccess) noexcept {
    try {
        win32Error = 0;
        // A path that names a root is refused before it is opened: the
        // answer does not depend on who else holds the root open.
        std::wstring requested;
        uint32_t requestedError = 0;
        if (getFullPathName(path, requested, requestedError) && isVolumeRootPath(requested)) {
            win32Error = kVolumeRootRefusedError;
            return false;
        }
        std::wstring extended = toExtendedLengthPath(path);
        ScopedHandle handle(
            CreateFileW(extended.c_str(), desiredAccess, kShareReadWrite, nullptr, OPEN_EXISTING, kNoReparseFlags, nullptr));
        if (!handle.valid()) {
            win32Error = lastErrorOr(ERROR_INVALID_FUNCTION);
            return false;
        }
        FILE_BASIC_INFO basic{};
        if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof(basic))) {
            win32Error = lastErrorOr(ERROR_INVALID_FUNCTION);
            return false;
        }
        if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            win32Error = ERROR_ACCESS_DENIED;
            return false;
        }
        std::wstring finalPath;
        if (!normalFinalPath(handle.get(), finalPath)) {
            win32Error = lastErrorOr(ERROR_INVALID_FUNCTION);
            return false;
        }
        // Nothing below a drive or share root is ever deleted wholesale.
        if (isVolumeRootPath(finalPath)) {
            win32Error = kVolumeRootRefusedError;
            return false;
        }
        std::wstring fullPath;
        uint32_t fullError = 0;
        if (!getFullPathName(path, fullPath, fullError)) {
            win32Error = fullError;
            return false;
        }
        if (!samePath(finalPath, fullPath)) {
            win32Error = ERROR_ACCESS_DENIED;
            return false;
        }
        out.reset(handle.release(), std::move(finalPath), std::move(extended));
        return true;
    } catch (...) {
        win32Error = ERROR_INVALID_NAME;
        return false;
    }
}

bool PinnedDirectory::verifyHandlePath(HANDLE entryHandle, const std::string& relativePath,
                                       uint32_t& win32Error) const noexcept {
    try {
        std::wstring entryFinal;
        if (!normalFinalPath(entryHandle, entryFinal)) {
            win32Error = lastErrorOr(ERROR_INVALID_HANDLE);
            return false;
        }
        std::wstring relative = utf8ToUtf16(relativePath);
        for (wchar_t& c : relative) {
            if (c == L'/') c = L'\\';
        }
        const std::wstring expected = finalPath_ + L"\\" + relative;
        if (!samePath(entryFinal, expected)) {
            win32Error = ERROR_ACCESS_DENIED;
            return false;
        }
        return true;
    } catch (...) {
        win32Error = ERROR_INVALID_NAME;
        return false;
    }
}

bool PinnedDirectory::deleteEntry(const std::wstring& fullPath, const std::string& relativePath, uint32_t& win32Error,
                                  bool& containmentViolation) noexcept {
    win32Error = 0;
    containmentViolation = false;
    try {
        if (!isSafeRelativePathUtf8(relativePath)) {
            win32Error = ERROR_INVALID_NAME;
            containmentViolation = true;
            return false;
        }
        return deleteChecked(&fullPath, relativePath, win32Error, containmentViolation);
    } catch (...) {
        win32Error = ERROR_INVALID_NAME;
        containmentViolation = true;
        return false;
    }
}

bool PinnedDirectory::deleteListedEntry(const std::string& relativePath, uint32_t& win32Error,
                                        bool& containmentViolation) noexcept {
    win32Error = 0;
    containmentViolation = false;
    return deleteChecked(nullptr, relativePath, win32Error, containmentViolation);
}

bool PinnedDirectory::rootStillPinned(uint32_t& win32Error, bool byPath) const {
    if (!isOpen()) {
        win32Error = ERROR_ACCESS_DENIED;
        return false;
    }
    if (isVolumeRootPath(finalPath_)) {
        win32Error = kVolumeRootRefusedError;
        return false;
    }
    // An entry opened by its name below the pinned handle lies in the
    // pinned folder, wherever that is now; the entry's own final path is
    // then compared with the folder's pinned one, which holds only while
    // the folder is still where it was pinned. That one look per entry
    // proves both, so the folder's own is not looked up again for each.
    if (!byPath) return true;
    // The pinned folder itself must still be where it was pinned.
    std::wstring rootFinal;
    if (!normalFinalPath(handle_.get(), rootFinal)) {
        win32Error = lastErrorOr(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!samePath(rootFinal, finalPath_)) {
        win32Error = ERROR_ACCESS_DENIED;
        return false;
    }
    // An entry opened by its path is found through that path: a stale name
    // is not proof, so the folder now found at finalPath must be the very
    // folder that is pinned (a moved parent leaves the name as it was on
    // some systems).
    ScopedHandle atPath(CreateFileW(toExtendedLengthPath(finalPath_).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, kNoReparseFlags, nullptr));
    if (!atPath.valid()) {
        win32Error = lastErrorOr(ERROR_ACCESS_DENIED);
        return false;
    }
    if (!sameObject(atPath.get(), handle_.get())) {
        win32Error = ERROR_ACCESS_DENIED;
        return false;
    }
    return true;
}

bool PinnedDirectory::deleteChecked(const std::wstring* fullPath, const std::string& relativePath,
                                    uint32_t& win32Error, bool& containmentViolation) noexcept {
    try {
        if (relativePath.empty()) {
            win32Error = ERROR_INVALID_NAME;
            containmentViolation = true;
            return false;
        }
        if (!rootStillPinned(win32Error, fullPath != nullptr)) {
            containmentViolation = true;
            return false;
        }

        // A document's path is opened by its extended-length form; a name
        // from the folder's own listing by its exact name below the handle.
        const std::wstring extended = fullPath ? toExtendedLengthPath(*fullPath) : std::wstring();
        const std::wstring relative = fullPath ? std::wstring() : utf8ToUtf16(relativePath);
        auto open = [&](DWORD access) {
            return fullPath ? CreateFileW(extended.c_str(), access, kShareReadWrite, nullptr, OPEN_EXISTING,
                                          kNoReparseFlags, nullptr)
                            : openRelative(handle_.get(), relative, access);
        };
        // Some systems (Wine) report a final path without the trailing dots
        // and blanks of its names; an entry opened by its exact name below
        // the handle can never be another that differs only in those.
        auto verify = [&](HANDLE handle, uint32_t& error) {
            if (verifyHandlePath(handle, relativePath, error)) return true;
            std::wstring entryFinal;
            if (fullPath || !normalFinalPath(handle, entryFinal)) return false;
            if (!samePath(withoutTrailingDotsAndBlanks(entryFinal),
                          withoutTrailingDotsAndBlanks(finalPath_ + L"\\" + relative)))
                return false;
            error = 0;
            return true;
        };
        ScopedHandle entry(open(DELETE | FILE_READ_ATTRIBUTES));
        if (!entry.valid()) {
            win32Error = lastErrorOr(ERROR_INVALID_FUNCTION);
            return false;
        }
        if (!verify(entry.get(), win32Error)) {
            containmentViolation = true;
            return false;
        }
        bool secondNotContained = false;
        const bool deleted = deleteThroughHandle(
            entry.get(), win32Error, secondNotContained,
            [&]() { return open(FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES); },
            verify);
        if (secondNotContained) containmentViolation = true;
        return deleted;
    } catch (...) {
        win32Error = ERROR_INVALID_NAME;
        containmentViolation = true;
        return false;
    }
}

bool PinnedDirectory::deleteRoot(uint32_t& win32Error) noexcept {
    win32Error = 0;
    try {
        if (!isOpen()) {
            win32Error = ERROR_INVALID_HANDLE;
            return false;
        }
        if (isVolumeRootPath(finalPath_)) {
            win32Error = kVolumeRootRefusedError;
            return false;
        }
        bool secondNotContained = false;
        return deleteThroughHandle(handle_.get(), win32Error, secondNotContained,
                                   [&]() {
                                       return CreateFileW(openPath_.c_str(),
                                                          FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                                                          nullptr, OPEN_EXISTING, kNoReparseFlags, nullptr);
                                   },
                                   [&](HANDLE second, uint32_t& error) {
                                       std::wstring secondFinal;
                                       if (!normalFinalPath(second, secondFinal) ||
                                           !samePath(secondFinal, finalPath_)) {
                                           error = ERROR_ACCESS_DENIED;
                                           return false;
                                       }
                                       return true;
                                   });
    } catch (...) {
        win32Error = ERROR_INVALID_NAME;
        return false;
    }
}


bool removalOrderLess(const RemovalEntry& a, const RemovalEntry& b) noexcept {
    auto depth = [](const std::string& text) {
        size_t count = 0;
        for (char c : text) {
            if (c == '\\' || c == '/') ++count;
        }
        return count;
    };
    return depth(a.relativePath) > depth(b.relativePath);
}

}  // namespace korvel
