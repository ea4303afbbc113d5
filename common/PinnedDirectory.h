#pragma once
// Safe deletion below a folder: extended-length path forms, full and final
// paths, and PinnedDirectory, a directory held open without following reparse
// points (and without delete sharing) through which an entry is deleted only
// when the entry's own handle proves that it lies inside the directory.
#include "common/UniqueResource.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace korvel {

// Windows error reported when a volume root (a final path such as "C:" or a
// share root "\\server\share") is pinned: such a folder is never deleted from.
// ERROR_CURRENT_DIRECTORY, "The directory cannot be removed."; callers that
// remove directories report it as a directory-access failure.
constexpr uint32_t kVolumeRootRefusedError = 16;

// "C:/a" -> "\\?\C:\a", "\\srv\share\x" -> "\\?\UNC\srv\share\x"; paths already
// in "\\?\", "\??\" or "\\.\" form are kept; relative and drive-relative paths
// only get '/' turned into '\'. Throws std::invalid_argument "Path contains an
// embedded NUL" for a U+0000 anywhere in the path.
std::wstring toExtendedLengthPath(const std::wstring& path);

// The reverse: drops "\\?\" / "\??\" (and maps "...\UNC\" back to "\\"), turns
// '/' into '\' and removes trailing separators while longer than one character
// (so a drive root reads "C:"). Never throws beyond allocation failure.
std::wstring fromExtendedLengthPath(std::wstring path);

// True when a path in normal form (as fromExtendedLengthPath gives it) names a
// volume root: "X:" (with or without a trailing separator), "\\server" or
// "\\server\share", or a volume name without any folder part.
bool isVolumeRootPath(const std::wstring& normalPath) noexcept;

// GetFullPathNameW of the extended-length form, returned in normal form. Any
// exception (the NUL refusal included) gives error 123 and false.
bool getFullPathName(const std::wstring& path, std::wstring& fullPath, uint32_t& win32Error) noexcept;

// A full path in normal form with its short (8.3) names written out long, as
// far as they exist: another spelling of the same folder, never a link.
// What cannot be expanded is returned as given.
std::wstring withLongNames(const std::wstring& fullPath);

// Renames the entry of file to name (one component) inside the folder of
// folderHandle, relative to that handle, so no link on a path can redirect
// it; replaceExisting replaces what holds the name (as itself, never
// written through). Returns the Windows error, 0 on success.
uint32_t renameIntoFolder(HANDLE file, HANDLE folderHandle, const std::wstring& name, bool replaceExisting) noexcept;

// Gives file a further name, name (one component), inside the folder of
// folderHandle, relative to that handle and from the file's own handle, so
// no link on a path can redirect either; an existing entry of that name is
// never replaced. Returns the Windows error, 0 on success.
uint32_t linkIntoFolder(HANDLE file, HANDLE folderHandle, const std::wstring& name) noexcept;

// What openAt asks of the file system; disposition and options are the
// native call's values (winternl.h: FILE_OPEN, FILE_CREATE, FILE_OPEN_IF;
// FILE_DIRECTORY_FILE, FILE_NON_DIRECTORY_FILE, ...).
struct OpenAtRequest {
    ACCESS_MASK access = 0;
    ULONG share = 0;
    ULONG disposition = 0;
    ULONG options = 0;
    ULONG attributes = 0;                // of an entry that is made
    void* securityDescriptor = nullptr;  // of an entry that is made; null: inherited
    // The name as it is spelled, not matched without regard to case. Windows
    // matches without regard to case either way (unless configured
    // otherwise); Wine then looks the name up at once, where otherwise a
    // name that is not there costs it a listing of the whole folder. For
    // folders whose names this program makes and spells one way only.
    bool exactCase = false;
};

// Opens or makes the entry name relative to the folder handle folder (null:
// name is a whole native path such as "\??\C:\x") through the native call: no
// Win32 name rule applies (a device name such as "aux.txt" or a trailing dot
// stays the entry's own name) and the final component is never followed,
// since FILE_OPEN_REPARSE_POINT, synchronous I/O and SYNCHRONIZE are always
// added. Returns the native status (negative: failed, out left empty; an
// empty or overlong name fails as an invalid name); created tells whether
// this call made the entry.
long openAt(HANDLE folder, const std::wstring& name, const OpenAtRequest& request, ScopedHandle& out,
            bool* created = nullptr) noexcept;

// The Windows error of a native status.
uint32_t win32ErrorOfStatus(long status) noexcept;

// GetFinalPathNameByHandleW (normalized, DOS volume name), as the system gives
// it (extended-length form). On false the caller reads GetLastError().
bool getFinalPathByHandle(HANDLE handle, std::wstring& finalPath) noexcept;

// Whether two handles are the same file system object (volume and file
// index): one file under any of its names.
bool sameObject(HANDLE a, HANDLE b) noexcept;

class PinnedDirectory {
public:
    PinnedDirectory() noexcept = default;
    PinnedDirectory(PinnedDirectory&& other) noexcept;
    PinnedDirectory& operator=(PinnedDirectory&& other) noexcept;
    PinnedDirectory(const PinnedDirectory&) = delete;
    PinnedDirectory& operator=(const PinnedDirectory&) = delete;

    bool isOpen() const noexcept { return handle_.valid(); }
    HANDLE handle() const noexcept { return handle_.get(); }
    // The directory's final path in normal form ("T:\a\b").
    const std::wstring& finalPath() const noexcept { return finalPath_; }
    // The extended-length form of the path that was pinned.
    const std::wstring& openPath() const noexcept { return openPath_; }

    // Takes ownership of a handle, closing the one held before.
    void reset(HANDLE handle = INVALID_HANDLE_VALUE, std::wstring finalPath = std::wstring(),
               std::wstring openPath = std::wstring()) noexcept;

    // The entry handle's final path must equal finalPath + "\" + relativePath
    // (UTF-8, '/' read as '\'), case ignored. Not equal: error 5; any
    // exception: error 123.
    bool verifyHandlePath(HANDLE entryHandle, const std::string& relativePath, uint32_t& win32Error) const noexcept;

    // Deletes one entry (file, empty folder, or a link as itself) by its full
    // path, after proving through the very handle that deletes it that it is
    // finalPath + "\" + relativePath. containmentViolation is set when the
    // entry is not proven to lie inside (unsafe relative path, no handle, the
    // pinned folder moved, the entry resolves elsewhere) or the pinned folder
    // is a volume root; such an entry is never touched. A read-only attribute
    // cleared for the delete is put back when the delete then fails.
    // Errors: 123 unsafe path or exception, 5 not contained / no handle, 145 a
    // folder that still holds entries, kVolumeRootRefusedError for a volume
    // root, else the system's error of the failing call.
    bool deleteEntry(const std::wstring& fullPath, const std::string& relativePath, uint32_t& win32Error,
                     bool& containmentViolation) noexcept;

    // The same for an entry found in this folder's own listing (relativePath
    // as the listing gave it, UTF-8): opened by its exact name relative to
    // the pinned handle, so any name the file system holds is deleted as
    // itself (a device name such as "aux.txt", a trailing dot or blank);
    // the safe-path rule, which is for paths read from documents, is not
    // applied. Same errors as deleteEntry.
    bool deleteListedEntry(const std::string& relativePath, uint32_t& win32Error,
                           bool& containmentViolation) noexcept;

    // Marks the pinned folder itself for deletion; it disappears when this
    // object closes its handle. Needs a pin with DELETE access. Errors: 6 no
    // handle, kVolumeRootRefusedError for a volume root, 145 not empty, 5 the
    // folder's final path changed, 123 any exception, else the system's error.
    // A read-only attribute cleared for the delete is put back when it fails.
    bool deleteRoot(uint32_t& win32Error) noexcept;

private:
    // The pinned folder is still itself at finalPath (held, no volume root,
    // and, for an entry to be opened by its path (byPath), its handle's
    // final path unchanged and the folder found at finalPath the one held;
    // an entry opened below the handle proves the folder's place by its own
    // final path).
    // Errors as in deleteEntry.
    bool rootStillPinned(uint32_t& win32Error, bool byPath) const;
    // fullPath null: the entry is opened relative to the pinned handle.
    bool deleteChecked(const std::wstring* fullPath, const std::string& relativePath, uint32_t& win32Error,
                       bool& containmentViolation) noexcept;

    ScopedHandle handle_;
    std::wstring finalPath_;
    std::wstring openPath_;
};

// Pins a directory: CreateFileW(desiredAccess, share read|write, no delete
// sharing, OPEN_EXISTING, backup semantics | open reparse point). Refused with
// error 5 when the target is not a directory, is a reparse point, or its
// final path differs from its full path (reached through a link, junction,
// 8.3 name or substituted drive); refused with kVolumeRootRefusedError when it
// is a volume root. Missing: 2 or 3. Any exception: 123. On failure out is
// left as it was.
bool openDirectoryNoReparse(const std::wstring& path, PinnedDirectory& out, uint32_t& win32Error,
                            uint32_t desiredAccess) noexcept;

// One entry collected for removal below a pinned directory.
struct RemovalEntry {
    std::wstring fullPath;     // the entry's path as the directory walk gave it
    std::string relativePath;  // UTF-8, relative to the pinned directory
    bool isDirectory = false;  // had the directory attribute when collected
};

// Deeper first: more separators ('\' and '/' together) in relativePath sorts
// earlier; equal depths have no fixed order.
bool removalOrderLess(const RemovalEntry& a, const RemovalEntry& b) noexcept;

}  // namespace korvel
