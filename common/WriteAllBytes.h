#pragma once
// Writing a whole text or document to an open handle.
#include <windows.h>

#include <string>

namespace korvel {

// Writes every byte to file, in pieces of at most 1 MiB (a pipe or console
// may take fewer at a time); stops at the first write that fails or takes
// nothing. flush: FlushFileBuffers after the last piece, so the bytes are on
// the disk before the caller puts the file in place. False when a write or
// the flush failed.
bool writeAllBytes(HANDLE file, const std::string& bytes, bool flush) noexcept;

}  // namespace korvel
