// Operations relative to a folder handle, through the native calls: no path
// is parsed again, so no link on one can redirect them.
#include "common/PinnedDirectory.h"

#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace korvel {
namespace {

constexpr LONG kStatusObjectNameInvalid = static_cast<LONG>(0xC0000033UL);

}  // namespace

long openAt(HANDLE folder, const std::wstring& name, const OpenAtRequest& request, ScopedHandle& out,
            bool* created) noexcept {
    out.reset();
    if (created != nullptr) *created = false;
    // A counted name: an embedded U+0000 is part of the name (and refused by
    // the file system), never an end that would shorten it.
    if (name.empty() || name.size() * sizeof(wchar_t) > 0xFFF0) return kStatusObjectNameInvalid;
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, request.exactCase ? 0 : OBJ_CASE_INSENSITIVE, folder,
                               request.securityDescriptor);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        NtCreateFile(&handle, request.access | SYNCHRONIZE, &attributes, &io, nullptr, request.attributes,
                     request.share, request.disposition,
                     request.options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0) return status;
    out.reset(handle);
    if (created != nullptr) *created = io.Information == FILE_CREATED;
    return status;
}

uint32_t win32ErrorOfStatus(long status) noexcept { return static_cast<uint32_t>(RtlNtStatusToDosError(status)); }

uint32_t renameIntoFolder(HANDLE file, HANDLE folderHandle, const std::wstring& name, bool replaceExisting) noexcept {
    try {
        const size_t nameBytes = name.size() * sizeof(wchar_t);
        if (name.empty() || nameBytes > 0xFFF0) return ERROR_INVALID_NAME;
        std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFORMATION) + nameBytes + sizeof(wchar_t), 0);
        auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
        info->ReplaceIfExists = replaceExisting ? TRUE : FALSE;
        info->RootDirectory = folderHandle;
        info->FileNameLength = static_cast<ULONG>(nameBytes);
        std::copy(name.begin(), name.end(), info->FileName);
        // The native call: Wine's SetFileInformationByHandle refuses a name
        // relative to a folder handle.
        IO_STATUS_BLOCK io{};
        const NTSTATUS status =
            NtSetInformationFile(file, &io, info, static_cast<ULONG>(buffer.size()), FileRenameInformation);
        return status >= 0 ? 0 : static_cast<uint32_t>(RtlNtStatusToDosError(status));
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

uint32_t linkIntoFolder(HANDLE file, HANDLE folderHandle, const std::wstring& name) noexcept {
    try {
        const size_t nameBytes = name.size() * sizeof(wchar_t);
        if (name.empty() || nameBytes > 0xFFF0 || name.find_first_of(L"\\/:") != std::wstring::npos)
            return ERROR_INVALID_NAME;
        std::vector<unsigned char> buffer(sizeof(FILE_LINK_INFORMATION) + nameBytes + sizeof(wchar_t), 0);
        auto* info = reinterpret_cast<FILE_LINK_INFORMATION*>(buffer.data());
        info->ReplaceIfExists = FALSE;
        info->RootDirectory = folderHandle;
        info->FileNameLength = static_cast<ULONG>(nameBytes);
        std::copy(name.begin(), name.end(), info->FileName);
        IO_STATUS_BLOCK io{};
        const NTSTATUS status = NtSetInformationFile(file, &io, info, static_cast<ULONG>(buffer.size()),
                                                     static_cast<FILE_INFORMATION_CLASS>(11));  // FileLinkInformation
        return status >= 0 ? 0 : static_cast<uint32_t>(RtlNtStatusToDosError(status));
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

bool sameObject(HANDLE a, HANDLE b) noexcept {
    // The file-id class (Windows 8 on) names volume and file without the
    // volume query of the whole by-handle record, which Wine answers slowly;
    // where a system lacks it, both handles are compared the older way.
    struct FileIdRecord {
        ULONGLONG volumeSerialNumber;
        BYTE fileId[16];
    };
    constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
    FileIdRecord fa{};
    FileIdRecord fb{};
    if (GetFileInformationByHandleEx(a, kFileIdInfo, &fa, sizeof fa) &&
        GetFileInformationByHandleEx(b, kFileIdInfo, &fb, sizeof fb)) {
        return fa.volumeSerialNumber == fb.volumeSerialNumber && memcmp(fa.fileId, fb.fileId, sizeof fa.fileId) == 0;
    }
    BY_HANDLE_FILE_INFORMATION ia{};
    BY_HANDLE_FILE_INFORMATION ib{};
    if (!GetFileInformationByHandle(a, &ia) || !GetFileInformationByHandle(b, &ib)) return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
}

}  // namespace korvel
