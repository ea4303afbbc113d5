#pragma once
// The download cache folder, reached only through pinned handles. The folder
// lies in the user's temporary folder, where unelevated programs can plant
// links: every folder below it is opened without following reparse points
// and proven by its handle's final path to be where it should be before
// anything is created, written or deleted in it.
#include "common/UniqueResource.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/ErrorCodes.h"
#include "common/PinnedDirectory.h"

namespace korvel {

// Pinned folders from the cache root down to one folder; holding them keeps
// every level from being renamed, deleted or swapped for a link. A level may
// be shared with the folder's set of held folders.
using PinnedChain = std::vector<std::shared_ptr<PinnedDirectory>>;

// The folders below one root that stay pinned between uses: proven once
// when taken, then reused while held, so that a run over many files does
// not prove the same folders again for each. Each folder is held with the
// chain of folders above it, so that none of them can be renamed, removed
// or swapped for a link while it is held. The set never holds more than
// its capacity of folders (the least recently used goes first), whatever
// the number of files; what a caller still holds in a chain stays open
// until that chain lets it go. Keys are relative paths, letter case
// ignored.
class HeldFolders {
public:
    explicit HeldFolders(size_t capacity) : capacity_(capacity) {}

    // The chain of the held folder at key (the folder last), marked as just
    // used; false when it is not held.
    bool find(const std::wstring& key, PinnedChain& chain);
    // Holds the folder at the end of chain at key, letting the least
    // recently used go when full.
    void keep(const std::wstring& key, const PinnedChain& chain);
    // Lets every folder go (before a folder is removed or the tree swept:
    // a held folder cannot be deleted).
    void releaseAll() noexcept { entries_.clear(); }
    size_t size() const noexcept { return entries_.size(); }
    size_t capacity() const noexcept { return capacity_; }

private:
    struct Entry {
        std::wstring key;
        PinnedChain chain;
        uint64_t lastUse = 0;
    };
    size_t capacity_;
    uint64_t clock_ = 0;
    std::vector<Entry> entries_;
};

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
    // Levels already held are reused as they are; the others are proven and
    // then held too, unless hold is false (folders used once, as the
    // store's).
    ErrorCode pinFolder(const std::filesystem::path& relative, bool create, PinnedChain& chain, bool announce = true,
                        bool hold = true);

    // Opens the file at relative below the root without following a link,
    // its folders pinned into chain (created when create is set; a file
    // only opened, not made, may be proven by its own handle alone, chain
    // then holding only the folders the set held on its way), and
    // proves by the handle that it is a plain file at its place. create: an
    // existing file is opened (nothing is truncated), a missing one is made
    // new; else OPEN_EXISTING. 141 missing, 140 a link or a folder in its
    // place, else the mapped system error (a name taken between the look and
    // the create included).
    ErrorCode openFile(const std::filesystem::path& relative, uint32_t access, uint32_t share, bool create,
                       PinnedChain& chain, ScopedHandle& file, bool announce = true);

    // Makes the file at relative new, its folders pinned (and made, quietly)
    // as openFile does: true only when this call made it, a plain new file
    // in its held folder. False, quietly and with nothing changed, when the
    // name is taken or anything fails; the caller then takes the way that
    // clears the name first.
    bool createNewFile(const std::filesystem::path& relative, uint32_t access, uint32_t share, PinnedChain& chain,
                       ScopedHandle& file);

    // Gives the open file a second name at added below the root, its
    // folders pinned into chain (created as pinFolder does, not held beyond
    // the chain): whatever held that name before is removed as itself, and
    // the new name is made from the file's own handle relative to the
    // pinned folder's handle, so it is that very file at its place. A file
    // held without write or delete sharing stays so under both names. Fails
    // (and leaves no new name) where the volume has no hard links or
    // anything interferes; the caller then copies.
    ErrorCode linkFile(HANDLE file, const std::filesystem::path& added, PinnedChain& chain);

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
    // The set's folders are let go first.
    void sweep(uint64_t limit, const std::wstring& skipTop);

    // The names of the folders directly in the root, upper-cased, as one
    // listing shows them; false when the root cannot be listed. Only a
    // shortcut: a name may appear or go right after the listing, so what it
    // says is never trusted, it only spares looking up names it does not
    // hold (each look-up of a missing name reads the whole folder on a
    // platform, Wine, that matches names without regard to case by listing).
    bool listTopFolders(std::unordered_set<std::wstring>& names) const;

    // Lets every held folder go; a folder below the root is removed only
    // after this (or it would still be held open).
    void releaseHeld() noexcept { held_.releaseAll(); }
    // How many folders the set holds now, and at most.
    size_t heldCount() const noexcept { return held_.size(); }
    size_t heldCapacity() const noexcept { return held_.capacity(); }

    // At most this many folders stay held between uses: enough for the
    // folders one pass goes through in turn (a manifest's few dozen
    // folders), few enough that the open handles stay far below what a
    // process may hold.
    static constexpr size_t kHeldFolderCapacity = 24;

private:
    // The plain file name directly in parent opened (create: or made new)
    // relative to its handle and proven by its own; false when anything
    // else is there or anything fails, the entry then left as it was. made
    // (when given) tells whether this call made the file.
    bool openInPlace(const PinnedDirectory& parent, const std::wstring& name, uint32_t access, uint32_t share,
                     bool create, ScopedHandle& file, bool* made = nullptr);
    // An existing plain file at relative opened below the deepest held
    // folder on its way (not when its own folder is held: the usual way is
    // as quick then) and proven by its own final path; false, nothing kept,
    // when anything else is there or anything fails.
    bool openExistingBelowHeld(const std::filesystem::path& relative, uint32_t access, uint32_t share,
                               PinnedChain& chain, ScopedHandle& file);
    ErrorCode pinChild(const PinnedDirectory& parent, const std::wstring& name, const std::filesystem::path& shownPath,
                       bool create, bool announce, PinnedDirectory& out);

    std::filesystem::path path_;
    PinnedDirectory root_;
    HeldFolders held_{kHeldFolderCapacity};
};

}  // namespace korvel
