// Removes a folder tree the safe way and reports each entry, so that tests
// can plant links from the host side and watch what is refused:
//
//   pinned_remove <folder> [--keep-going] [--root]
//     --keep-going   go on after a refused or failed entry (default: stop)
//     --root         also delete the folder itself at the end
//
// The folder is pinned (DELETE | FILE_READ_ATTRIBUTES), walked by handle,
// and its files, then its folders deepest first, are deleted through the
// pinned directory. One tab-separated line per outcome on standard output:
//   deleted <relative>      violation <relative> <code>   failed <relative> <code>
//   pin-failed <code>       walk-failed <code> <path>     root-deleted / root-failed <code>
// Exit code: 0 all removed, 1 a containment violation, 2 another failure,
// 3 the folder could not be pinned, 4 the walk failed, 5 bad arguments.
#include "common/ConsoleOutput.h"
#include "common/DirectoryWalker.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace korvel;

int wmain(int argc, wchar_t** argv) {
    std::wstring folder;
    bool keepGoing = false;
    bool removeRoot = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--keep-going") {
            keepGoing = true;
        } else if (arg == L"--root") {
            removeRoot = true;
        } else if (folder.empty()) {
            folder = arg;
        } else {
            writeStderrLine(L"usage: pinned_remove <folder> [--keep-going] [--root]");
            return 5;
        }
    }
    if (folder.empty()) {
        writeStderrLine(L"usage: pinned_remove <folder> [--keep-going] [--root]");
        return 5;
    }

    PinnedDirectory pinned;
    uint32_t error = 0;
    if (!openDirectoryNoReparse(folder, pinned, error, DELETE | FILE_READ_ATTRIBUTES)) {
        writeStdoutLine(L"pin-failed\t" + std::to_wstring(error));
        return 3;
    }

    std::vector<RemovalEntry> files;
    std::vector<RemovalEntry> folders;
    DirectoryWalkError walkError;
    bool badName = false;
    const bool walked = DirectoryWalker::walk(
        folder,
        [&](const DirectoryWalkEntry& e) {
            RemovalEntry entry;
            entry.fullPath = e.fullPath;
            try {
                entry.relativePath = utf16ToUtf8Strict(e.relativePath);
            } catch (...) {
                badName = true;
                writeStdoutLine(L"failed\t" + e.relativePath + L"\t123");
                return keepGoing;
            }
            entry.isDirectory = e.isDirectory();
            (entry.isDirectory ? folders : files).push_back(std::move(entry));
            return true;
        },
        walkError);
    if (!walked) {
        writeStdoutLine(L"walk-failed\t" + std::to_wstring(walkError.win32Error) + L"\t" + walkError.path);
        return 4;
    }
    std::stable_sort(folders.begin(), folders.end(), removalOrderLess);

    bool violations = false;
    bool failures = badName;
    for (const auto* list : {&files, &folders}) {
        for (const RemovalEntry& entry : *list) {
            if ((violations || failures) && !keepGoing) break;
            bool violation = false;
            const std::wstring rel = utf8ToUtf16(entry.relativePath);
            if (pinned.deleteEntry(entry.fullPath, entry.relativePath, error, violation)) {
                writeStdoutLine(L"deleted\t" + rel);
            } else if (violation) {
                violations = true;
                writeStdoutLine(L"violation\t" + rel + L"\t" + std::to_wstring(error));
            } else {
                failures = true;
                writeStdoutLine(L"failed\t" + rel + L"\t" + std::to_wstring(error));
            }
        }
    }

    if (removeRoot && !(violations || failures)) {
        if (pinned.deleteRoot(error)) {
            writeStdoutLine(L"root-deleted");
        } else {
            failures = true;
            writeStdoutLine(L"root-failed\t" + std::to_wstring(error));
        }
    }
    pinned.reset();
    if (violations) return 1;
    return failures ? 2 : 0;
}
