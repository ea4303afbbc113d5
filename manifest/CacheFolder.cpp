#include "manifest/CacheFolder.h"

#include <winternl.h>

#include <cwctype>
#include <system_error>
#include <utility>

#include "common/DirectoryWalker.h"
#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/PathCompare.h"
#include "common/PinnedChildFolder.h"
#include "common/TextConversion.h"
#include "common/Win32Util.h"
#include "manifest/ManifestInternal.h"

namespace korvel {
namespace fs = std::filesystem;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kNoReparseFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kPinAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;

enum class Probe { Missing, InPlace, Removed, Link, Failed };

// Why a look at an entry failed, when that is not a link: the call that
// failed and the system's error.
struct Failure {
    const char* operation = "";
    DWORD code = 0;
};

bool finalPathOf(HANDLE handle, std::wstring& out) {
    std::wstring raw;
    if (!getFinalPathByHandle(handle, raw)) return false;
    out = fromExtendedLengthPath(std::move(raw));
    return true;
}

Probe failed(Failure* failure, const char* operation, DWORD code) {
    if (failure != nullptr) *failure = Failure{operation, code != 0 ? code : ERROR_INVALID_FUNCTION};
    return Probe::Failed;
}

// What lies at expected, without following a reparse point: Link only when
// its own handle says it is a reparse point or it resolves to another
// place; an entry that cannot be opened or queried is Failed, with why.
Probe inspect(const std::wstring& expected, Failure* failure, bool* reparse = nullptr, bool* directory = nullptr) {
    ScopedHandle handle(CreateFileW(toExtendedLengthPath(expected).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, kNoReparseFlags, nullptr));
    if (!handle) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Probe::Missing;
        return failed(failure, "CreateFile", code);
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic)) {
        return failed(failure, "GetFileInformationByHandleEx", GetLastError());
    }
    if (directory != nullptr) *directory = (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        if (reparse != nullptr) *reparse = true;
        return Probe::Link;
    }
    std::wstring finalPath;
    if (!finalPathOf(handle.get(), finalPath)) return failed(failure, "GetFinalPathNameByHandle", GetLastError());
    if (!samePath(finalPath, expected)) return Probe::Link;
    return Probe::InPlace;
}

// What lies at parent\name. A reparse point that its own handle shows as
// one (a link or junction on Windows) is deleted as itself, through the
// pinned parent; an entry that resolves somewhere else without saying so
// (as links made outside Windows do under some systems) cannot be removed
// safely and is reported as a link.
Probe probe(PinnedDirectory& parent, const std::wstring& name, const fs::path& shownPath, Failure& failure) {
    const std::wstring expected = parent.finalPath() + L"\\" + name;
    bool reparse = false;
    const Probe found = inspect(expected, &failure, &reparse);
    if (found != Probe::Link || !reparse) return found;
    uint32_t error = 0;
    bool violation = false;
    if (!parent.deleteEntry(expected, utf16ToUtf8Strict(name), error, violation)) return Probe::Link;
    detail::handlerLog(LogLevel::Warning, "Removed a link in the cache: " + pathToUtf8(shownPath));
    return Probe::Removed;
}

void refuse(const fs::path& shownPath) {
    detail::handlerLog(LogLevel::Error, "Refusing a link in the cache: " + pathToUtf8(shownPath));
}

// A failed open or query is reported as what it is: the call, the path and
// the system's text; only a proven link is called one.
void report(const fs::path& shownPath, const Failure& failure) {
    FileOperations::logWin32Failure(failure.operation, shownPath, failure.code);
}

// After a folder could not be pinned (openDirectoryNoReparse gives one code
// for a link and for a refused open): a second look says which it was.
void reportPinFailure(const std::wstring& expected, const fs::path& shownPath, uint32_t error) {
    Failure failure;
    bool directory = true;
    switch (inspect(expected, &failure, nullptr, &directory)) {
        case Probe::Link:
            refuse(shownPath);
            return;
        case Probe::Failed:
            report(shownPath, failure);
            return;
        default:
            report(shownPath, Failure{"CreateFile", !directory ? static_cast<DWORD>(ERROR_DIRECTORY)
                                                               : static_cast<DWORD>(error != 0 ? error : ERROR_ACCESS_DENIED)});
    }
}

bool endsWithTmp(const std::wstring& name) {
    if (name.size() < 4) return false;
    return samePath(name.substr(name.size() - 4), L".tmp");
}

}  // namespace

bool HeldFolders::find(const std::wstring& key, PinnedChain& chain) {
    for (Entry& entry : entries_) {
        if (samePath(entry.key, key)) {
            entry.lastUse = ++clock_;
            chain = entry.chain;
            return true;
        }
    }
    return false;
}

void HeldFolders::keep(const std::wstring& key, const PinnedChain& chain) {
    if (capacity_ == 0 || chain.empty()) return;
    for (Entry& entry : entries_) {
        if (samePath(entry.key, key)) {
            entry.chain = chain;
            entry.lastUse = ++clock_;
            return;
        }
    }
    if (entries_.size() >= capacity_) {
        auto oldest = entries_.begin();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->lastUse < oldest->lastUse) oldest = it;
        }
        entries_.erase(oldest);
    }
    entries_.push_back(Entry{key, chain, ++clock_});
}

ErrorCode CacheFolder::open(const fs::path& root, bool create) {
    path_ = root;
    held_.releaseAll();
    root_.reset();
    // The temporary folder is the user's: nothing is made, changed or
    // removed in it before it is held and proven to be itself, not a link
    // to somewhere else.
    PinnedDirectory parent;
    uint32_t error = 0;
    const fs::path parentPath = root.parent_path();
    if (!pinParentFolder(parentPath.wstring(), parent, error)) {
        if (!create && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) return ErrorCode::FileNotFound;
        std::wstring full;
        uint32_t ignored = 0;
        if (getFullPathName(parentPath.wstring(), full, ignored)) {
            reportPinFailure(full, parentPath, error);
        } else {
            report(parentPath, Failure{"GetFullPathName", ignored});
        }
        return ErrorCode::DirectoryAccessDenied;
    }
    const std::wstring name = root.filename().wstring();
    // A link in the root's place is taken away first (as itself, through
    // the pinned parent), so that the folder is made here and not where the
    // link points.
    Failure failure;
    const Probe found = probe(parent, name, root, failure);
    if (found == Probe::Link) {
        refuse(root);
        return ErrorCode::DirectoryAccessDenied;
    }
    if (found == Probe::Failed) {
        report(root, failure);
        return ErrorCode::DirectoryAccessDenied;
    }
    if (create) {
        EventLogger::instance().log(LogLevel::Debug, "Creating directory: " + pathToUtf8(root), "FileOperations");
    }
    bool created = false;
    if (!openChildFolder(parent, name, create ? ChildDisposition::OpenOrCreate : ChildDisposition::OpenExisting,
                         kPinAccess, nullptr, root_, created, error)) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ErrorCode::FileNotFound;
        if (error == ERROR_ACCESS_DENIED) {
            // One code for a refused open and a folder that is not itself:
            // a second look says which.
            reportPinFailure(parent.finalPath() + L"\\" + name, root, error);
            return ErrorCode::DirectoryAccessDenied;
        }
        EventLogger::instance().log(LogLevel::Error,
                                    "Failed to create directory: " + pathToUtf8(root) + " - " +
                                        std::system_category().message(static_cast<int>(error)),
                                    "FileOperations");
        return ErrorCode::DirectoryCreateFailed;
    }
    if (created) EventLogger::instance().fileOperation("mkdir", root, true, 0, false);
    return ErrorCode::Success;
}

bool CacheFolder::contains(const fs::path& path, fs::path& relative) const {
    std::wstring rest;
    if (!relativeInside(path.wstring(), path_.wstring(), rest)) return false;
    relative = fs::path(rest);
    return true;
}

ErrorCode CacheFolder::pinChild(const PinnedDirectory& parent, const std::wstring& name, const fs::path& shownPath,
                                bool create, bool announce, PinnedDirectory& out) {
    // Most folders are a plain folder or missing: opened (or made) by name
    // relative to the pinned parent, without following a reparse point, and
    // proven by their own handle. Anything else takes the way below, which
    // says what it found.
    {
        bool created = false;
        uint32_t error = 0;
        // The cache's own folders are spelled one way: looked up as spelled.
        if (openChildFolder(parent, name, create ? ChildDisposition::OpenOrCreate : ChildDisposition::OpenExisting,
                            kPinAccess, nullptr, out, created, error, true)) {
            if (created && announce) {
                EventLogger::instance().log(LogLevel::Debug, "Creating directory: " + pathToUtf8(shownPath),
                                            "FileOperations");
                EventLogger::instance().fileOperation("mkdir", shownPath, true, 0, false);
            }
            return ErrorCode::Success;
        }
        if (!create && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) return ErrorCode::FileNotFound;
    }
    // probe() deletes through the parent, which it only reads.
    PinnedDirectory& writableParent = const_cast<PinnedDirectory&>(parent);
    Failure failure;
    const Probe found = probe(writableParent, name, shownPath, failure);
    if (found == Probe::Link) {
        refuse(shownPath);
        return ErrorCode::DirectoryAccessDenied;
    }
    if (found == Probe::Failed) {
        report(shownPath, failure);
        return ErrorCode::DirectoryAccessDenied;
    }
    if (found != Probe::InPlace) {
        if (!create) return ErrorCode::FileNotFound;
        if (announce) {
            FileOperations files;
            const ErrorCode created = files.createDirectory(shownPath);
            if (created != ErrorCode::Success) return created;
        } else if (!CreateDirectoryW(toExtendedLengthPath(parent.finalPath() + L"\\" + name).c_str(), nullptr) &&
                   GetLastError() != ERROR_ALREADY_EXISTS) {
            return ErrorCode::DirectoryCreateFailed;
        }
    }
    uint32_t error = 0;
    if (!openDirectoryNoReparse(parent.finalPath() + L"\\" + name, out, error, kPinAccess)) {
        if (!create && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) return ErrorCode::FileNotFound;
        reportPinFailure(parent.finalPath() + L"\\" + name, shownPath, error);
        return ErrorCode::DirectoryAccessDenied;
    }
    return ErrorCode::Success;
}

ErrorCode CacheFolder::pinFolder(const fs::path& relative, bool create, PinnedChain& chain, bool announce,
                                 bool hold) {
    chain.clear();
    if (!root_.isOpen()) return ErrorCode::DirectoryAccessDenied;
    std::vector<std::wstring> names;
    std::vector<std::wstring> keys;
    std::vector<fs::path> shown;
    fs::path shownPath = path_;
    for (const fs::path& part : relative) {
        const std::wstring name = part.wstring();
        if (name.empty() || name == L"\\" || name == L"/") continue;
        shownPath /= name;
        keys.push_back(keys.empty() ? name : keys.back() + L"\\" + name);
        names.push_back(name);
        shown.push_back(shownPath);
    }
    // A held folder and every folder above it cannot be renamed, removed or
    // swapped while held: from the deepest held level on, only the levels
    // below it are proven, each relative to the one above.
    size_t level = names.size();
    while (level > 0 && !held_.find(keys[level - 1], chain)) --level;
    if (level == 0) chain.clear();
    // The levels above a held one are in use too: they stay in the set
    // longer than any folder below them.
    PinnedChain above;
    for (size_t i = level; i > 1; --i) held_.find(keys[i - 2], above);
    for (; level < names.size(); ++level) {
        const PinnedDirectory& parent = chain.empty() ? root_ : *chain.back();
        auto next = std::make_shared<PinnedDirectory>();
        const ErrorCode code = pinChild(parent, names[level], shown[level], create, announce, *next);
        if (code != ErrorCode::Success) {
            chain.clear();
            return code;
        }
        chain.push_back(std::move(next));
        if (hold) held_.keep(keys[level], chain);
    }
    return ErrorCode::Success;
}

bool CacheFolder::openInPlace(const PinnedDirectory& parent, const std::wstring& name, uint32_t access,
                              uint32_t share, bool create, ScopedHandle& file, bool* made) {
    if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos) return false;
    ScopedHandle handle;
    // Where a file is to be made, the name is usually free (a download's or
    // a backup's new file): making it new first looks the name up once,
    // where opening first and then making it would look twice, each time
    // reading the whole folder on a platform (Wine) that matches names
    // without regard to case by listing.
    OpenAtRequest request{access | FILE_READ_ATTRIBUTES, share, static_cast<ULONG>(create ? FILE_CREATE : FILE_OPEN),
                          FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_NORMAL};
    request.exactCase = true;
    bool created = false;
    long status = openAt(parent.handle(), name, request, handle, &created);
    if (status < 0 && create &&
        (win32ErrorOfStatus(status) == ERROR_ALREADY_EXISTS || win32ErrorOfStatus(status) == ERROR_FILE_EXISTS)) {
        request.disposition = FILE_OPEN;
        status = openAt(parent.handle(), name, request, handle, &created);
    }
    if (status < 0) return false;
    FILE_BASIC_INFO basic{};
    std::wstring finalPath;
    // A file this call made is a new plain file in the held folder, which
    // cannot move while held: only one that was there already is proven
    // by its final path to be no link and in its place.
    if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        (!created &&
         (!finalPathOf(handle.get(), finalPath) || !samePath(finalPath, parent.finalPath() + L"\\" + name)))) {
        return false;
    }
    file = std::move(handle);
    if (made != nullptr) *made = created;
    return true;
}

bool CacheFolder::openExistingBelowHeld(const fs::path& relative, uint32_t access, uint32_t share,
                                        PinnedChain& chain, ScopedHandle& file) {
    std::vector<std::wstring> names;
    for (const fs::path& part : relative) {
        const std::wstring name = part.wstring();
        if (name.empty() || name == L"\\" || name == L"/") continue;
        if (name == L"." || name == L".." || name.find_first_of(L"\\/:") != std::wstring::npos) return false;
        names.push_back(name);
    }
    if (names.size() < 2) return false;
    // The deepest folder on the way that the set holds, and the rest below.
    std::vector<std::wstring> keys;
    for (size_t i = 0; i + 1 < names.size(); ++i) keys.push_back(i == 0 ? names[0] : keys.back() + L"\\" + names[i]);
    size_t level = keys.size();
    PinnedChain held;
    while (level > 0 && !held_.find(keys[level - 1], held)) --level;
    if (level == keys.size()) return false;
    if (level == 0) held.clear();
    const PinnedDirectory& base = held.empty() ? root_ : *held.back();
    std::wstring rest;
    for (size_t i = level; i < names.size(); ++i) rest += (rest.empty() ? L"" : L"\\") + names[i];
    // The folders below the held one are not pinned one by one: the file is
    // opened by the rest of its path below the held handle, never following
    // a link at its own name, and its own final path must be exactly its
    // place. A link or junction on the way would have led the open
    // elsewhere, so that path would differ; anything but a plain file in
    // place goes the way that pins each folder, which says what it found.
    ScopedHandle handle;
    OpenAtRequest request{access | FILE_READ_ATTRIBUTES, share, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                          FILE_ATTRIBUTE_NORMAL};
    request.exactCase = true;
    if (openAt(base.handle(), rest, request, handle) < 0) return false;
    FILE_BASIC_INFO basic{};
    std::wstring finalPath;
    if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        !finalPathOf(handle.get(), finalPath) || !samePath(finalPath, base.finalPath() + L"\\" + rest)) {
        return false;
    }
    chain = std::move(held);
    file = std::move(handle);
    return true;
}

ErrorCode CacheFolder::openFile(const fs::path& relative, uint32_t access, uint32_t share, bool create,
                                PinnedChain& chain, ScopedHandle& file, bool announce) {
    file.close();
    // A file that is only read (a store entry, a backup copy) lies in a
    // folder used once: it is proven by one look at its own handle rather
    // than by pinning, and holding, each folder on its way.
    if (!create && openExistingBelowHeld(relative, access, share, chain, file)) return ErrorCode::Success;
    const ErrorCode folders = pinFolder(relative.parent_path(), create, chain, announce);
    if (folders != ErrorCode::Success) return folders;
    PinnedDirectory& parent = chain.empty() ? root_ : *chain.back();
    const std::wstring name = relative.filename().wstring();
    const fs::path shown = path_ / relative;
    // Most names hold a plain file or nothing: the file is opened (or made)
    // by its name relative to the pinned folder, never following a link, and
    // its own handle must show a plain file whose final path is its place.
    // Anything else (a link, a folder, a name taken meanwhile) takes the
    // slow way below, which says what it found.
    if (openInPlace(parent, name, access, share, create, file)) return ErrorCode::Success;
    Failure failure;
    const Probe found = probe(parent, name, shown, failure);
    if (found == Probe::Link) {
        refuse(shown);
        return ErrorCode::FileAccessDenied;
    }
    if (found == Probe::Failed) {
        report(shown, failure);
        return FileOperations::mapWin32Error(failure.code);
    }
    if (found != Probe::InPlace && !create) return ErrorCode::FileNotFound;

    // A file that was not there is made new: an entry that appeared since
    // (a dangling link among them) is refused instead of created through.
    const std::wstring expected = parent.finalPath() + L"\\" + name;
    ScopedHandle handle(CreateFileW(toExtendedLengthPath(expected).c_str(), access, share, nullptr,
                                    found == Probe::InPlace ? OPEN_EXISTING : CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return ErrorCode::FileNotFound;
        // Something took the name since the look: what it is, is unknown.
        FileOperations::logWin32Failure("CreateFile", shown, code);
        if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return ErrorCode::FileAccessDenied;
        return FileOperations::mapWin32Error(code);
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic)) {
        report(shown, Failure{"GetFileInformationByHandleEx", GetLastError()});
        return ErrorCode::FileAccessDenied;
    }
    std::wstring finalPath;
    if ((basic.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_DIRECTORY) {
        detail::handlerLog(LogLevel::Error, "A folder is in the place of a file in the cache: " + pathToUtf8(shown));
        return ErrorCode::FileAccessDenied;
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        refuse(shown);
        return ErrorCode::FileAccessDenied;
    }
    if (!finalPathOf(handle.get(), finalPath)) {
        report(shown, Failure{"GetFinalPathNameByHandle", GetLastError()});
        return ErrorCode::FileAccessDenied;
    }
    if (!samePath(finalPath, expected)) {
        refuse(shown);
        return ErrorCode::FileAccessDenied;
    }
    file = std::move(handle);
    return ErrorCode::Success;
}

bool CacheFolder::createNewFile(const fs::path& relative, uint32_t access, uint32_t share, PinnedChain& chain,
                                ScopedHandle& file) {
    file.close();
    const std::wstring name = relative.filename().wstring();
    if (name.empty() || name == L"." || name == L".." || name.find_first_of(L"\\/:") != std::wstring::npos) return false;
    if (pinFolder(relative.parent_path(), true, chain, false) != ErrorCode::Success) return false;
    const PinnedDirectory& parent = chain.empty() ? root_ : *chain.back();
    bool made = false;
    if (!openInPlace(parent, name, access, share, true, file, &made)) return false;
    // A file that held the name was only opened, never changed: let go.
    if (!made) file.close();
    return made;
}

ErrorCode CacheFolder::linkFile(HANDLE file, const fs::path& added, PinnedChain& chain) {
    // The store's folders are each used once: pinned for this link only.
    if (const ErrorCode code = pinFolder(added.parent_path(), true, chain, true, false); code != ErrorCode::Success)
        return code;
    PinnedDirectory& parent = chain.empty() ? root_ : *chain.back();
    const std::wstring name = added.filename().wstring();

    // The name is made from the held file's own handle, relative to the
    // pinned folder's handle: no path is parsed, so it names that very file
    // in that very folder. It never replaces: most names are free, and
    // whatever holds one (a stale or damaged entry, a link) goes first, as
    // itself, before the name is made again.
    uint32_t error = linkIntoFolder(file, parent.handle(), name);
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
        if (const ErrorCode code = removeFile(added); code != ErrorCode::Success) return code;
        error = linkIntoFolder(file, parent.handle(), name);
    }
    if (error != 0) return FileOperations::mapWin32Error(error);
    return ErrorCode::Success;
}

ErrorCode CacheFolder::removeFile(const fs::path& relative) {
    PinnedChain chain;
    const ErrorCode folders = pinFolder(relative.parent_path(), false, chain, false);
    if (folders == ErrorCode::FileNotFound) return ErrorCode::Success;
    if (folders != ErrorCode::Success) return folders;
    PinnedDirectory& parent = chain.empty() ? root_ : *chain.back();
    const std::wstring name = relative.filename().wstring();
    uint32_t error = 0;
    bool violation = false;
    if (parent.deleteEntry(parent.finalPath() + L"\\" + name, utf16ToUtf8Strict(name), error, violation) ||
        error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return ErrorCode::Success;
    }
    if (violation) {
        refuse(path_ / relative);
        return ErrorCode::FileAccessDenied;
    }
    FileOperations::logWin32Failure("DeleteFile", path_ / relative, error);
    return FileOperations::mapWin32Error(error);
}

bool CacheFolder::listTopFolders(std::unordered_set<std::wstring>& names) const {
    names.clear();
    if (!root_.isOpen()) return false;
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileExW(toExtendedLengthPath(root_.finalPath() + L"\\*").c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find) return false;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
        names.insert(std::move(name));
    } while (FindNextFileW(find.get(), &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

void CacheFolder::sweep(uint64_t limit, const std::wstring& skipTop) {
    if (!root_.isOpen()) return;
    held_.releaseAll();
    struct Found {
        std::wstring fullPath;
        std::wstring relativePath;
    };
    std::vector<Found> expired;
    std::vector<Found> temporaries;
    const std::wstring skipPrefix = skipTop + L"\\";
    DirectoryWalkError error;
    DirectoryWalker::walk(
        root_.finalPath(),
        [&](const DirectoryWalkEntry& entry) {
            if (entry.isDirectory() || entry.isReparsePoint()) return true;
            const std::wstring& rel = entry.relativePath;
            const bool top = rel.find(L'\\') == std::wstring::npos;
            if (top && endsWithTmp(rel)) temporaries.push_back({entry.fullPath, rel});
            const bool skipped = rel.size() > skipPrefix.size() && samePath(rel.substr(0, skipPrefix.size()), skipPrefix);
            if (!skipped && entry.lastWriteTime < limit) expired.push_back({entry.fullPath, rel});
            return true;
        },
        error);
    for (const std::vector<Found>* list : {&expired, &temporaries}) {
        for (const Found& item : *list) {
            uint32_t code = 0;
            bool violation = false;
            try {
                // By the listing's own name below the pinned root: no path
                // is opened, and each entry proves its place by its handle.
                root_.deleteListedEntry(utf16ToUtf8Strict(item.relativePath), code, violation);
            } catch (...) {
                // A name that is no valid text is left alone.
            }
        }
    }
}

}  // namespace korvel
