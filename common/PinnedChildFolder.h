#pragma once
// Folders the helper keeps in a folder that unelevated programs can write
// (the user's temporary folder): the parent is pinned and proven to be
// where its path says before anything is created in it, and the child is
// created or opened through the parent's handle, never by a path that a
// link could redirect.
#include <cstdint>
#include <string>

#include "common/PinnedDirectory.h"

namespace korvel {

// Pins the folder at path (made full, short names expanded) with
// openDirectoryNoReparse: a link, junction or mount point in its place, or
// a folder whose final path is not the path expected, is refused with 5.
// Missing: 2 or 3. The handle has the access needed to create below it.
bool pinParentFolder(const std::wstring& path, PinnedDirectory& out, uint32_t& win32Error) noexcept;

// How openChildFolder treats an existing child.
enum class ChildDisposition {
    OpenExisting,  // only an existing folder; 2 when missing
    OpenOrCreate,  // an existing folder, or a new one
    CreateNew,     // only a new folder; 183 when the name is taken
};

// Opens the folder name (one component) directly inside parent, relative to
// the parent's handle, without following a reparse point; created with
// securityDescriptor (null: inherited) when the disposition allows. The
// child must be a folder, no reparse point, and its final path must be the
// parent's final path + "\" + name; else it is refused with 5 (a new one
// that fails this is left where it is: it cannot be told from a planted
// one; a child this call made is in its place by construction and is not
// looked up again). Held with desiredAccess, sharing read and write but not
// delete. created tells whether this call made it. exactCase: the name as
// spelled (OpenAtRequest::exactCase).
bool openChildFolder(const PinnedDirectory& parent, const std::wstring& name, ChildDisposition disposition,
                     uint32_t desiredAccess, void* securityDescriptor, PinnedDirectory& out, bool& created,
                     uint32_t& win32Error, bool exactCase = false) noexcept;

}  // namespace korvel
