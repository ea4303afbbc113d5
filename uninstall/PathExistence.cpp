#include "uninstall/PathExistence.h"

#include <windows.h>

#include <system_error>

namespace korvel {

bool pathExistsForDetection(const std::filesystem::path& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NETPATH:
        case ERROR_NETNAME_DELETED:
        case ERROR_INVALID_NAME:
        case ERROR_DIRECTORY:
            return false;
        default:
            throw std::filesystem::filesystem_error("exists", path,
                                                    std::error_code(static_cast<int>(error), std::system_category()));
    }
}

}  // namespace korvel
