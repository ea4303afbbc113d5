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

bool removeOrThrow(const fs::path& path) {
    std::error_code ec;
    const bool removed = fs::remove(path, ec);
    if (ec) throw fs::filesystem_error("remove", path, ec);
    return removed;
}

}  // namespace korvel
