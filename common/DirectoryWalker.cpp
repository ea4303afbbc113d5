#include "common/DirectoryWalker.h"

#include "common/PinnedDirectory.h"
#include "common/Win32Util.h"

#include <windows.h>

#include <climits>
#include <vector>

namespace korvel {
namespace {

constexpr DWORD kListAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kNoReparseFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr size_t kListBufferBytes = 64 * 1024;

std::wstring join(const std::wstring& base, const std::wstring& name) {
    if (base.empty()) return name;
    if (base.back() == L'\\') return base + name;
    return base + L"\\" + name;
}

// Opens a folder for listing and proves it is a real folder (no link) whose
// final path is the expected one (empty expected: only the attribute check).
bool openFolder(const std::wstring& path, const std::wstring& expectedFinal, std::wstring& finalOut, HANDLE& out,
                uint32_t& error, bool& refused) {
    refused = false;
    const std::wstring extended = toExtendedLengthPath(path);
    HANDLE h = CreateFileW(extended.c_str(), kListAccess, kShareAll, nullptr, OPEN_EXISTING, kNoReparseFlags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = lastErrorOr(ERROR_INVALID_FUNCTION);
        return false;
    }
    ScopedHandle owner(h);
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof(basic))) {
        error = lastErrorOr(ERROR_INVALID_FUNCTION);
        return false;
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = ERROR_ACCESS_DENIED;
        refused = true;
        return false;
    }
    std::wstring raw;
    if (!getFinalPathByHandle(h, raw)) {
        error = lastErrorOr(ERROR_INVALID_FUNCTION);
        return false;
    }
    finalOut = fromExtendedLengthPath(std::move(raw));
    if (!expectedFinal.empty() && !samePath(finalOut, expectedFinal)) {
        error = ERROR_ACCESS_DENIED;
        refused = true;
        return false;
    }
    out = owner.release();
    return true;
}

struct Listed {
    std::wstring name;
    uint32_t attributes;
    uint32_t reparseTag;
    uint64_t size;
    uint64_t lastWriteTime;
};

bool listFolder(HANDLE folder, std::vector<Listed>& out, uint32_t& error) {
    std::vector<unsigned long long> buffer(kListBufferBytes / sizeof(unsigned long long));
    bool first = true;
    while (true) {
        const FILE_INFO_BY_HANDLE_CLASS infoClass = first ? FileFullDirectoryRestartInfo : FileFullDirectoryInfo;
        first = false;
        if (!GetFileInformationByHandleEx(folder, infoClass, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * sizeof(buffer[0])))) {
            const DWORD code = GetLastError();
            if (code == ERROR_NO_MORE_FILES) return true;
            error = code != 0 ? code : ERROR_INVALID_FUNCTION;
            return false;
        }
        const unsigned char* base = reinterpret_cast<const unsigned char*>(buffer.data());
        size_t offset = 0;
        while (true) {
            const auto* info = reinterpret_cast<const FILE_FULL_DIR_INFO*>(base + offset);
            std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                const bool reparse = (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
                out.push_back(Listed{std::move(name), static_cast<uint32_t>(info->FileAttributes),
                                     reparse ? static_cast<uint32_t>(info->EaSize) : 0u,
                                     static_cast<uint64_t>(info->EndOfFile.QuadPart),
                                     static_cast<uint64_t>(info->LastWriteTime.QuadPart)});
            }
            if (info->NextEntryOffset == 0) break;
            offset += info->NextEntryOffset;
            if (offset >= buffer.size() * sizeof(buffer[0])) break;
        }
    }
}

}  // namespace

bool DirectoryWalker::walk(const std::wstring& root, const Visitor& visit, DirectoryWalkError& error) noexcept {
    return walk(root, visit, FolderErrorHandler(), error);
}

bool DirectoryWalker::walk(const std::wstring& root, const Visitor& visit, const FolderErrorHandler& onFolderError,
                           DirectoryWalkError& error) noexcept {
    return walk(root, visit, onFolderError, error, WalkOrder::FoldersFirst);
}

bool DirectoryWalker::walk(const std::wstring& root, const Visitor& visit, const FolderErrorHandler& onFolderError,
                           DirectoryWalkError& error, WalkOrder order) noexcept {
    error = DirectoryWalkError();
    std::wstring currentPath = root;
    try {
        // Root text without trailing separators, so entries read root + "\" + name;
        // a drive root keeps its separator for opening.
        std::wstring rootText = root;
        for (wchar_t& c : rootText) {
            if (c == L'/') c = L'\\';
        }
        while (rootText.size() > 1 && rootText.back() == L'\\') rootText.pop_back();
        const std::wstring rootOpen = (rootText.size() == 2 && rootText[1] == L':') ? rootText + L"\\" : rootText;

        std::wstring rootFinal;
        // Opens and lists one folder ("" is the root). Result: 1 listed, 0 a
        // subfolder the caller passes over, -1 the walk fails.
        const auto list = [&](const std::wstring& relative, std::vector<Listed>& listed) -> int {
            currentPath = relative.empty() ? rootOpen : join(rootText, relative);
            HANDLE h = INVALID_HANDLE_VALUE;
            std::wstring finalPath;
            uint32_t code = 0;
            bool refused = false;
            const std::wstring expected = relative.empty() ? std::wstring() : join(rootFinal, relative);
            // A subfolder the caller chooses to pass over is skipped whole.
            const auto failed = [&](uint32_t failure, bool ownRefusal) {
                error.win32Error = failure;
                error.path = currentPath;
                error.refused = ownRefusal;
                if (relative.empty() || !onFolderError || !onFolderError(error)) return -1;
                error = DirectoryWalkError();
                return 0;
            };
            if (!openFolder(currentPath, expected, finalPath, h, code, refused)) return failed(code, refused);
            if (relative.empty()) rootFinal = finalPath;
            ScopedHandle folder(h);
            if (!listFolder(folder.get(), listed, code)) return failed(code, false);
            return 1;
        };
        const auto entryOf = [&](const std::wstring& relative, const Listed& item) {
            DirectoryWalkEntry entry;
            entry.relativePath = join(relative, item.name);
            entry.fullPath = join(rootText, entry.relativePath);
            entry.attributes = item.attributes;
            entry.reparseTag = item.reparseTag;
            entry.size = item.size;
            entry.lastWriteTime = item.lastWriteTime;
            return entry;
        };
        const auto descends = [](const DirectoryWalkEntry& entry) {
            return entry.isDirectory() && !entry.isReparsePoint();
        };

        if (order == WalkOrder::DepthFirst) {
            // One listing per folder on the way down, each read whole and its
            // handle closed before the walk goes on.
            struct Frame {
                std::wstring relative;
                std::vector<Listed> listed;
                size_t next = 0;
            };
            std::vector<Frame> stack(1);
            if (list(std::wstring(), stack.back().listed) < 0) return false;
            while (!stack.empty()) {
                Frame& top = stack.back();
                if (top.next == top.listed.size()) {
                    stack.pop_back();
                    continue;
                }
                const DirectoryWalkEntry entry = entryOf(top.relative, top.listed[top.next++]);
                if (!visit(entry)) return true;
                if (!descends(entry)) continue;
                Frame below;
                below.relative = entry.relativePath;
                const int listed = list(below.relative, below.listed);
                if (listed < 0) return false;
                if (listed > 0) stack.push_back(std::move(below));
            }
            return true;
        }

        std::vector<std::wstring> pending;  // relative paths of folders still to list; "" is the root
        pending.emplace_back();
        while (!pending.empty()) {
            const std::wstring relative = std::move(pending.back());
            pending.pop_back();
            std::vector<Listed> listed;
            const int result = list(relative, listed);
            if (result < 0) return false;
            if (result == 0) continue;

            std::vector<std::wstring> subfolders;
            for (Listed& item : listed) {
                const DirectoryWalkEntry entry = entryOf(relative, item);
                if (!visit(entry)) return true;
                if (descends(entry)) subfolders.push_back(entry.relativePath);
            }
            for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) pending.push_back(std::move(*it));
        }
        return true;
    } catch (...) {
        error.win32Error = ERROR_INVALID_NAME;
        error.path = currentPath;
        return false;
    }
}

}  // namespace korvel
