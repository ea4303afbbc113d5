// File-system checks shared by the cache, installation and backup code.
#include <windows.h>

#include <filesystem>

#include "common/FileOperations.h"
#include "common/FileSystemQueries.h"
#include "manifest/ManifestInternal.h"

namespace korvel::detail {

DWORD fileAttributes(const std::filesystem::path& path, DWORD* error) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES && error != nullptr) *error = GetLastError();
    return attributes;
}

bool isExistingFile(const std::filesystem::path& path) {
    const DWORD attributes = fileAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool crossesLink(const std::filesystem::path& root, const std::filesystem::path& relativePath) {
    PathWalk walk;
    return crossesLink(root, relativePath, walk);
}

bool crossesLink(const std::filesystem::path& root, const std::filesystem::path& relativePath, PathWalk& walk) {
    walk = PathWalk{};
    std::filesystem::path current = root;
    for (const auto& component : relativePath) {
        current /= component;
        const DWORD attributes = fileAttributes(current);
        // Nothing exists below a missing entry, so no link can lie further on.
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            walk.lastAttributes = INVALID_FILE_ATTRIBUTES;
            return false;
        }
        walk.existing += 1;
        walk.lastAttributes = attributes;
        // Only links, junctions and mount points lead elsewhere; other
        // reparse points are files and folders like any other.
        if (isNameSurrogateAt(current, attributes)) return true;
    }
    return false;
}

ErrorCode makeReplaceable(const std::filesystem::path& file) { return makeReplaceable(file, fileAttributes(file)); }

ErrorCode makeReplaceable(const std::filesystem::path& file, DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return ErrorCode::Success;
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return ErrorCode::Success;
    FileOperations files;
    return files.setReadOnly(file, false);
}

}  // namespace korvel::detail
