#pragma once
// Handle-based walk of a folder tree. Each folder is opened with full sharing
// (read, write, delete), so a tree whose root is pinned without delete sharing
// can still be listed, and is listed through its handle
// (GetFileInformationByHandleEx, FileFullDirectoryInfo). Links and junctions
// (any reparse point) are reported but never descended into, and every folder
// descended into must prove by its handle's final path that it is the folder
// the walk expects.
#include <cstdint>
#include <functional>
#include <string>

namespace korvel {

struct DirectoryWalkEntry {
    std::wstring fullPath;      // root (as given, without trailing separator) + "\" + relativePath
    std::wstring relativePath;  // '\'-separated, relative to the root
    uint32_t attributes = 0;    // FILE_ATTRIBUTE_* as listed
    uint32_t reparseTag = 0;    // the reparse tag when attributes hold FILE_ATTRIBUTE_REPARSE_POINT
    uint64_t size = 0;          // end of file as listed
    uint64_t lastWriteTime = 0; // FILETIME ticks (100 ns since 1601) as listed
    bool isDirectory() const noexcept { return (attributes & 0x10u) != 0; }
    bool isReparsePoint() const noexcept { return (attributes & 0x400u) != 0; }
};

// Outcome of a walk that did not finish: the Windows error and the path of the
// folder that could not be opened or listed (or whose final path did not
// match, error 5).
struct DirectoryWalkError {
    uint32_t win32Error = 0;
    std::wstring path;
    // The walk's own refusal (not a folder, a link, or a final path elsewhere
    // than expected, all error 5), not an error the system reported.
    bool refused = false;
};

// FoldersFirst: all entries of a folder come before those of its subfolders.
// DepthFirst: a folder, then its contents, then its next sibling. Either way
// the entries of one folder come in the order the listing gives them.
enum class WalkOrder { FoldersFirst, DepthFirst };

class DirectoryWalker {
public:
    // Called once per entry below the root, never for the root itself; unless
    // another order is asked for, all entries of a folder come before those
    // of its subfolders. Returning false
    // stops the walk (walk() then returns true).
    using Visitor = std::function<bool(const DirectoryWalkEntry&)>;

    // Walks the tree below root. False with error filled when a folder cannot
    // be opened or listed, or an exception (error 123) occurs; the entries
    // visited before that stand. Paths are opened in extended-length form, so
    // the tree may be deeper than MAX_PATH.
    static bool walk(const std::wstring& root, const Visitor& visit, DirectoryWalkError& error) noexcept;

    // Called when a folder below the root cannot be opened or listed (never
    // for the root itself). Returning true skips that folder and everything
    // below it and goes on with the rest of the tree; false ends the walk as
    // a failure with that error.
    using FolderErrorHandler = std::function<bool(const DirectoryWalkError&)>;

    // The same walk, letting the caller pass over folders it cannot read.
    static bool walk(const std::wstring& root, const Visitor& visit, const FolderErrorHandler& onFolderError,
                     DirectoryWalkError& error) noexcept;

    // The same walk in the given order.
    static bool walk(const std::wstring& root, const Visitor& visit, const FolderErrorHandler& onFolderError,
                     DirectoryWalkError& error, WalkOrder order) noexcept;
};

}  // namespace korvel
