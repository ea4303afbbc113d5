#pragma once
// Where the paths of a prepared download session really lead. A session
// folder is written by unelevated code, so whether a file lies inside it is
// decided by the file system's own answer (a handle's final path), never by
// the text of a path: the text may differ in letter case or in short (8.3)
// names and still name the same place, or pass through a link and name
// another.
#include <cstdint>
#include <filesystem>
#include <string>

#include "common/UniqueResource.h"

namespace korvel {

// Resolves path through the file system: the longest leading part that
// exists is opened (links followed) and replaced by its handle's final path
// in normal form ("T:\a\b"); the part that does not exist is appended as
// written. The path is first made full (a relative one taken against the
// current folder, "." and ".." collapsed as Windows collapses them). Device
// paths ("\\.\...") are refused with 123. On false win32Error holds the
// failure.
bool resolveFinalPath(const std::wstring& path, std::wstring& resolved, uint32_t& win32Error) noexcept;

// True when the path candidate lies at or below root, both final paths in
// normal form: every element of root equals, letter case ignored, the
// element at the same place of candidate. '/' counts as '\'; separators at
// the end are ignored.
bool pathElementsWithin(const std::wstring& candidate, const std::wstring& root);

// Resolves both paths with resolveFinalPath and compares them with
// pathElementsWithin; a failed resolution throws filesystem_error
// ("resolve").
bool isPathWithinRoot(const std::filesystem::path& candidate, const std::filesystem::path& root);

// A session root held open without delete sharing, so that it cannot be
// renamed or replaced while the run uses it.
struct HeldSessionRoot {
    ScopedHandle handle;
    std::wstring finalPath;  // normal form
};

// Opens and holds the session root. A root that is itself a link is
// refused: on Windows its handle says so; where links made outside Windows
// are opened as their targets, its final path is not its parent's final
// path and its own name. Links above the root, short names and letter case
// are resolved, not refused. False with the failure's text.
bool holdSessionRoot(const std::wstring& sessionRoot, HeldSessionRoot& out, std::string& failure);

}  // namespace korvel
