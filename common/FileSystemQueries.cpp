#include "common/FileSystemQueries.h"

#include <windows.h>

#include <system_error>

#include "common/Win32Util.h"

namespace korvel {
namespace fs = std::filesystem;

fs::file_status statusOrThrow(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec && status.type() != fs::file_type::not_found) throw fs::filesystem_error("exists", path, ec);
    return status;
}

bool existsOrThrow(const fs::path& path) { return fs::exists(statusOrThrow(path)); }

bool isDirectoryOrThrow(const fs::path& path) { return fs::is_directory(statusOrThrow(path)); }

bool entryExistsOrThrow(const fs::path& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    if (isMissingPathError(error)) return false;
    throw fs::filesystem_error("exists", path, std::error_code(static_cast<int>(error), std::system_category()));
}

bool isNameSurrogateEntry(uint32_t attributes, uint32_t reparseTag) noexcept {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
    return reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag);
}

bool isNameSurrogateAt(const fs::path& path, uint32_t attributes) noexcept {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) return true;
    ScopedHandle owner(handle);
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return true;
    // The entry was seen as a reparse point: without a tag it stays one.
    return isNameSurrogateEntry(attributes | tag.FileAttributes, tag.ReparseTag);
}

bool removeOrThrow(const fs::path& path) {
    std::error_code ec;
    const bool removed = fs::remove(path, ec);
    if (ec) throw fs::filesystem_error("remove", path, ec);
    return removed;
}

bool startFileAnew(HANDLE file) noexcept {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart == 0) return true;
    return SetEndOfFile(file) != FALSE;
}

}  // namespace korvel
