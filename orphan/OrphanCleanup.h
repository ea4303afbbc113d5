#pragma once
// Removal from an installed component's folder of what the release no longer
// ships: everything below the target that the session's files manifest does
// not list (and the component's allowlist does not keep) is an orphan, and is
// deleted only through a handle on the target pinned without following
// reparse points. Any doubt about the inputs ends in a skip that deletes
// nothing; only a containment violation during deletion stops the run (145).
#include "common/DirectoryWalker.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace korvel {

class PinnedDirectory;
struct HeldSessionRoot;

// What an apply_manifest earlier in the same plan took as the release of a
// target, kept in memory for a prune_orphans of the same target after it.
struct AppliedRelease {
    std::wstring targetFinalPath;            // the target's final path, normal form
    std::vector<std::string> manifestFiles;  // every file of the manifest it validated
    bool readDescriptor = false;             // a session apply: it read a descriptor
    std::wstring descriptorPath;             // the descriptor as the operation named it
    std::set<std::string> descriptorNames;   // its "file" names as the apply read them
};

enum class OrphanComponent : int { Client = 0, Launcher = 1 };

// "client", "launcher", or "unknown" for any other value.
const char* orphanComponentText(OrphanComponent component) noexcept;

struct OrphanCleanupResult {
    int32_t filesRemoved = 0;
    int32_t dirsRemoved = 0;
    uint64_t bytesFreed = 0;
    int32_t filesSkipped = 0;
    std::vector<std::string> skippedPaths;
    std::string warnings;  // report-writing failures, each ending in "; "
    bool skipped = false;
    std::string skipReason;
    uint32_t systemErrorCode = 0;
};

// One thing found below the target.
struct InventoryEntry {
    std::string key;        // relative path, UTF-8, '/' separated, ASCII lower-cased
    std::wstring fullPath;  // the path as the walk formed it
    uint64_t size = 0;      // 0 for folders and links
    bool isDirectory = false;
    bool isReparsePoint = false;  // a link (symbolic link or mount point), judged by the entry itself
};

using KeySet = std::set<std::string>;

// Ordinal, case ignored (CompareStringOrdinal). Throws std::length_error
// "Path is too large to compare" above INT_MAX characters and
// std::runtime_error "CompareStringOrdinal failed".
bool pathLessIgnoreCase(const std::wstring& a, const std::wstring& b);

struct PathLessIgnoreCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const { return pathLessIgnoreCase(a, b); }
};
using CaseInsensitivePathSet = std::set<std::wstring, PathLessIgnoreCase>;

// Keys as wide text with '\' made '/'; keys differing only in case collapse.
CaseInsensitivePathSet makeCaseInsensitivePathSet(const KeySet& keys);

// Drops leading, then trailing '/' and '\'.
std::string trimPathSeparators(std::string text);

// The key of a relative path: '\' becomes '/', separators trimmed at both
// ends, ASCII A-Z lower-cased (other bytes unchanged).
std::string makeOrphanKey(const std::string& relativePath);

// Whether an entry with these attributes and reparse tag is a link. Only a
// name-surrogate tag (symbolic link, mount point) makes a link; files that
// carry other tags (compressed system files, cloud placeholders, deduplicated
// files) are ordinary files. A reparse point whose tag is not known (0) counts
// as a link, so that doubt never lets a link pass as a file.
bool isLinkEntry(uint32_t attributes, uint32_t reparseTag) noexcept;

class OrphanCleanup {
public:
    bool dryRun = false;

    // The inventory's walk of the target; empty: DirectoryWalker::walk in
    // depth-first order. Tests stand in for it to make folder failures that
    // the platform under test cannot make.
    using InventoryWalk = std::function<bool(const std::wstring& root, const DirectoryWalker::Visitor& visit,
                                             const DirectoryWalker::FolderErrorHandler& onFolderError,
                                             DirectoryWalkError& error)>;
    InventoryWalk inventoryWalk;

    // The applies of the plan so far; the latest of the pinned target (same
    // final path) adds its release to the expected set and gives the
    // descriptor's names as it read them.
    const std::vector<AppliedRelease>* earlierApplies = nullptr;

    // 0 (completed or skipped; skipped tells them apart) or 145 after a
    // containment violation.
    // The reports are written only through the held session root.
    int run(const std::wstring& targetPath, const HeldSessionRoot& sessionRoot, const std::wstring& filesManifest,
            OrphanComponent component, OrphanCleanupResult& result);
    // Records the skip in the result and reports it; always 0.
    int skip(OrphanCleanupResult& result, const std::string& reason, uint32_t win32Error);

    // The expected set: 0, or 1/4/121/141 with a WARNING saying why. With an
    // earlier apply of the target, its manifest's files join the set, and
    // the descriptor it read (the same path) is not read again.
    int readExpectedFiles(const std::wstring& filesManifest, KeySet& expected,
                          const AppliedRelease* earlier = nullptr);
    // 0 (also for a missing target, with an empty inventory) or 4.
    int buildLocalInventory(const std::wstring& targetPath, std::vector<InventoryEntry>& inventory);
    KeySet buildAllowlist(OrphanComponent component);
    static KeySet expectedDirectories(const KeySet& expected);
    static bool isAllowlisted(const std::string& key, const KeySet& allowlist);
    // Orphan files in walk order; orphan folders deepest first. Always 0;
    // failures are exceptions.
    int computeOrphans(const std::vector<InventoryEntry>& inventory, const KeySet& expected, const KeySet& allowlist,
                       std::vector<InventoryEntry>& orphanFiles, std::vector<InventoryEntry>& orphanDirectories);

    // 0, or 145 after a containment violation (then nothing more is touched).
    int deleteOrphans(const std::wstring& targetPath, PinnedDirectory& root,
                      const std::vector<InventoryEntry>& orphanFiles,
                      const std::vector<InventoryEntry>& orphanDirectories, OrphanCleanupResult& result);

    // 0, 140 when the file could not be written completely, 4 on an exception.
    int writeLocalInventory(const HeldSessionRoot& sessionRoot, const std::vector<InventoryEntry>& inventory);
    int writeOrphanReport(const HeldSessionRoot& sessionRoot, const std::vector<InventoryEntry>& orphanFiles,
                          const std::vector<InventoryEntry>& orphanDirectories, const OrphanCleanupResult& result);

    void emitStarted(const std::wstring& targetPath, OrphanComponent component, uint64_t expectedCount,
                     uint64_t observedCount);
    void emitCandidate(const InventoryEntry& entry);
    void emitRemoved(const std::string& key, uint64_t size);
    void emitSkippedLocked(const std::string& key, const std::string& error);
    void emitComplete(const OrphanCleanupResult& result);
    void emitSkipped(const OrphanCleanupResult& result) noexcept;
};

// Writes the bytes to a fresh temporary name inside the held folder and puts
// them in place under name in one step, replacing the entry itself (never
// writing through a link or another name of the file found there). Both steps
// go relative to the folder's handle, so no link at or above the folder can
// lead the write elsewhere. False when any step fails or the write is short;
// nothing is left under the temporary name.
bool replaceFileContentsAt(HANDLE folder, const std::wstring& name, const std::string& bytes) noexcept;

}  // namespace korvel
