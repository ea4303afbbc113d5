#include "common/PinnedChildFolder.h"

#include <windows.h>
#include <winternl.h>

#include "common/UniqueResource.h"
#include "common/Win32Util.h"

namespace korvel {

namespace {

// Enough to create and open entries below the folder, and to read its
// final path.
constexpr DWORD kParentAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_SUBDIRECTORY | FILE_ADD_FILE |
                                FILE_READ_ATTRIBUTES | SYNCHRONIZE;

}  // namespace

bool pinParentFolder(const std::wstring& path, PinnedDirectory& out, uint32_t& win32Error) noexcept {
    try {
        std::wstring full;
        if (!getFullPathName(path, full, win32Error)) return false;
        return openDirectoryNoReparse(withLongNames(full), out, win32Error, kParentAccess);
    } catch (...) {
        win32Error = ERROR_INVALID_NAME;
        return false;
    }
}

bool openChildFolder(const PinnedDirectory& parent, const std::wstring& name, ChildDisposition disposition,
                     uint32_t desiredAccess, void* securityDescriptor, PinnedDirectory& out, bool& created,
                     uint32_t& win32Error, bool exactCase) noexcept {
    created = false;
    try {
        if (!parent.isOpen()) {
            win32Error = ERROR_INVALID_HANDLE;
            return false;
        }
        if (name.empty() || name == L"." || name == L".." || name.find_first_of(L"\\/:") != std::wstring::npos ||
            name.find(L'\0') != std::wstring::npos) {
            win32Error = ERROR_INVALID_NAME;
            return false;
        }
        ULONG createDisposition = FILE_OPEN;
        if (disposition == ChildDisposition::OpenOrCreate) createDisposition = FILE_OPEN_IF;
        if (disposition == ChildDisposition::CreateNew) createDisposition = FILE_CREATE;
        const OpenAtRequest request{desiredAccess | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    createDisposition,
                                    FILE_DIRECTORY_FILE,
                                    FILE_ATTRIBUTE_NORMAL,
                                    securityDescriptor,
                                    exactCase};
        ScopedHandle handle;
        const long status = openAt(parent.handle(), name, request, handle, &created);
        if (status < 0) {
            win32Error = win32ErrorOfStatus(status);
            return false;
        }
        FILE_BASIC_INFO basic{};
        std::wstring finalPath;
        // A folder this call made is a new folder in the pinned parent, in
        // its place by construction while the parent is held; one that was
        // there already must prove by its final path that it is no link.
        if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic) ||
            (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
                FILE_ATTRIBUTE_DIRECTORY) {
            win32Error = ERROR_ACCESS_DENIED;
            return false;
        }
        if (created) {
            finalPath = parent.finalPath() + L"\\" + name;
        } else if (!getFinalPathByHandle(handle.get(), finalPath) ||
                   !samePath(fromExtendedLengthPath(finalPath), parent.finalPath() + L"\\" + name)) {
            win32Error = ERROR_ACCESS_DENIED;
            return false;
        }
        out.reset(handle.release(), fromExtendedLengthPath(std::move(finalPath)),
                  toExtendedLengthPath(parent.finalPath() + L"\\" + name));
        return true;
    } catch (...) {
        win32Error = ERROR_INVALID_NAME;
        return false;
    }
}

}  // namespace korvel
