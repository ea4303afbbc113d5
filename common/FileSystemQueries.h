#pragma once
// Existence tests and removals whose system errors leave the operation as
// filesystem errors named for what was attempted ("exists", "remove"), so
// every caller reports them the same way.
#include <windows.h>

#include <cstdint>
#include <filesystem>

namespace korvel {

// Status of the path, following links; "not found" is a status, any other
// failure throws filesystem_error("exists").
std::filesystem::file_status statusOrThrow(const std::filesystem::path& path);
// Whether anything is at the path, following links; throws as statusOrThrow.
bool existsOrThrow(const std::filesystem::path& path);
// Whether a folder is at the path, following links; throws as statusOrThrow.
bool isDirectoryOrThrow(const std::filesystem::path& path);
// Whether an entry is at the path by Windows' own answer (a link itself
// counts; it is not followed). The errors that say the path is not there
// (isMissingPathError) are a plain no; any other failure throws
// filesystem_error("exists") with the Windows error.
bool entryExistsOrThrow(const std::filesystem::path& path);
// Whether an entry with these attributes and reparse tag leads somewhere
// else by name: a symbolic link, junction or mount point (a name-surrogate
// tag), or a reparse point whose tag could not be read. Other reparse
// points (deduplicated, cloud or compressed files, ...) are files and
// folders like any other.
bool isNameSurrogateEntry(uint32_t attributes, uint32_t reparseTag) noexcept;
// The same for the entry at path, read without following it; an entry whose
// tag cannot be read counts as a link.
bool isNameSurrogateAt(const std::filesystem::path& path, uint32_t attributes) noexcept;
// Removes a file or an empty folder (a link itself, not its target); false
// when nothing was there. Any other failure throws filesystem_error("remove").
bool removeOrThrow(const std::filesystem::path& path);
// Empties an open file and puts its pointer at the start, to write it anew.
// A file that is empty already is not cut: most files written so are new,
// and on some systems (Wine) the cut costs a request of its own. False,
// GetLastError() set, when it fails.
bool startFileAnew(HANDLE file) noexcept;

}  // namespace korvel
