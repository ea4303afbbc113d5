#pragma once
// What the files of FileOperations share and nobody else uses: the log
// component and its line writer, and the one hashing loop. The operations
// are split by what they do: FileHashing.cpp, FileCopying.cpp,
// FileRemoval.cpp, and FileOperations.cpp for the error map, inspection,
// folders, attributes and signatures.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/BytePump.h"
#include "common/ErrorCodes.h"
#include "common/EventLogger.h"

namespace korvel {
class Sha256Hasher;
}

namespace korvel::fileops {

inline constexpr char kComponent[] = "FileOperations";

inline const ComponentLog logLine(kComponent);

// The digest of a file from its current position to its end, added to a
// begun hasher and written as hex; size receives the bytes read. 0, or 204
// (a failed read is logged against name).
ErrorCode hashRest(BytePump& pump, Sha256Hasher& hasher, HANDLE file, const std::filesystem::path& name,
                   std::string& hex, uint64_t& size);

}  // namespace korvel::fileops
