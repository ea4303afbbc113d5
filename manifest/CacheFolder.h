#pragma once
// The download cache folder, reached only through pinned handles. The folder
// lies in the user's temporary folder, where unelevated programs can plant
// links: every folder below it is opened without following reparse points
// and proven by its handle's final path to be where it should be before
// anything is created, written or deleted in it.
#include "common/UniqueResource.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/ErrorCodes.h"
#include "common/PinnedDirectory.h"

namespace korvel {

// Pinned folders from the cache root down to one folder; holding them keeps
// every level from being renamed, deleted or swapped for a link.
using PinnedChain = std::vector<PinnedDirectory>;

// A file opened by this run without write sharing, with what is known of
// its content; the pinned folders above it are held with it.
struct HeldFile {
    PinnedChain chain;
    ScopedHandle file;
    uint64_t size = 0;
    std::string sha256;  // lower-case digest of the bytes, when computed
};

class CacheFolder {
public:
    // Creates (FileOperations::createDirectory) and pins the root. A link in
    // its place is removed as itself when its own handle shows it is one;
    // any other root that does not resolve to itself gives 147. Without
    // create, a missing root gives 141 and nothing is made.
    ErrorCode open(const std::filesystem::path& root, bool create = true);
    bool isOpen() const noexcept { return root_.isOpen(); }
    const std::filesystem::path& path() const noexcept { return path_; }
    // The root's final path in normal form.
    const std::wstring& finalPath() const noexcept { return root_.finalPath(); }

    // True when path lies below the root as given (letter case ignored);
    // relative then receives the part below it.
    bool contains(const std::filesystem::path& path, std::filesystem::path& relative) const;

    // Pins the folder at relative below the root (empty: the root itself)
    // and every level on the way, creating missing ones when create is set
    // (through FileOperations::createDirectory, so its lines and events
    // appear). 147 when a level is a link that cannot be removed as itself
    // or does not resolve to its place; 146 or 141 when a level is missing.
    // announce: create through FileOperations::createDirectory (its lines
    // and events); otherwise quietly, as a download makes its folders.
    ErrorCode pinFolder(const std::filesystem::path& relative, bool create, PinnedChain& chain, bool announce = true);

    // Opens the file at relative below the root without following a link,
    // its folders pinned into chain (created when create is set), and
    // proves by the handle that it is a plain file at its place. create: an
    // existing file is opened (nothing is truncated), a missing one is made
    // new; else OPEN_EXISTING. 141 missing, 140 a link or a folder in its
    // place, else the mapped system error (a name taken between the look and
    // the create included).
    ErrorCode openFile(const std::filesystem::path& relative, uint32_t access, uint32_t share, bool create,
                       PinnedChain& chain, ScopedHandle& file, bool announce = true);

    // Gives the open file (named existingName in the last folder of
    // existingFolders, as openFile pinned them; the root when empty) a
    // second name at added below the root, its folders pinned into chain
    // (created as pinFolder does): whatever held that name before is
    // removed as itself, and the new name is proven by its handle to be that
    // very file at its place. A file held without write or delete sharing
    // stays so under both names. Fails (and leaves no new name) where the
    // volume has no hard links or anything interferes; the caller then
    // copies.
    ErrorCode linkFile(HANDLE file, const PinnedChain& existingFolders, const std::wstring& existingName,
                       const std::filesystem::path& added, PinnedChain& chain);

    // Deletes the file at relative below the root through its pinned parent,
    // never through a link: 0 when it is gone or was never there (a missing
    // folder included); 140 when the entry does not resolve to its place (a
    // link that cannot be removed as itself), else the mapped system error.
    ErrorCode removeFile(const std::filesystem::path& relative);

    // The 24-hour rule and the temporary files at the top, in one walk
    // through handles: regular files written before limit (FILETIME ticks)
    // anywhere below the root except the folder skipTop, then every ".tmp"
    // file directly in the root. Links are neither followed nor deleted;
    // failures are ignored.
    void sweep(uint64_t limit, const std::wstring& skipTop);

private:
    ErrorCode pinChild(const PinnedDirectory& parent, const std::wstring& name, const std::filesystem::path& shownPath,
                       bool create, bool announce, PinnedDirectory& out);

    std::filesystem::path path_;
    PinnedDirectory root_;
};

}  // namespace korvel
