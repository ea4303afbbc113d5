#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

#include "common/FileOperations.h"
#include "common/PinnedDirectory.h"
#include "common/UniqueResource.h"
#include "tests/common/FileOperationsTesting.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;
namespace fs = std::filesystem;

std::vector<Json::Value> deleteEvents(const StdoutCapture& capture) {
    return test::eventsWithOperation(capture.events(), "file:delete");
}

std::vector<Json::Value> failedDeletes(const StdoutCapture& capture) {
    std::vector<Json::Value> out;
    for (const Json::Value& e : deleteEvents(capture)) {
        if (!e["success"].asBool()) out.push_back(e);
    }
    return out;
}

// Files and folders through the extended-length form, so that trees deeper
// than MAX_PATH can be built.
void makeFolder(const std::wstring& path) {
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        << GetLastError();
}

void makeFile(const std::wstring& path, const std::string& content) {
    const ScopedHandle h(CreateFileW((L"\\\\?\\" + path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(h.valid()) << GetLastError();
    DWORD written = 0;
    WriteFile(h.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
}

void writeNew(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    test::writeFile(path, content);
}

bool present(const std::wstring& path) {
    return GetFileAttributesW((L"\\\\?\\" + path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(DirectoryRemoval, MissingFolderIsNothingToRemove) {
    ScratchDir dir;
    for (const wchar_t* rel : {L"absent", L"absent\\deeper"}) {
        for (bool recursive : {false, true}) {
            StdoutCapture capture;
            EXPECT_EQ(FileOperations().removeDirectory(dir / rel, recursive), ErrorCode::Success);
            EXPECT_TRUE(deleteEvents(capture).empty());
        }
    }
}

TEST(DirectoryRemoval, EmptyFolderWithoutRecursion) {
    ScratchDir dir;
    fs::create_directories(dir / L"empty");
    uint32_t files = 0;
    uint32_t folders = 0;
    StdoutCapture capture;
    EXPECT_EQ(FileOperations().removeDirectory(dir / L"empty", false, &files, &folders), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(dir / L"empty"));
    EXPECT_EQ(files, 0u);
    EXPECT_EQ(folders, 1u);
    const auto events = deleteEvents(capture);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0]["success"].asBool());
    EXPECT_EQ(events[0]["file_path"].asString(), (dir / L"empty").string());
}

TEST(DirectoryRemoval, NonEmptyFolderWithoutRecursionIsKept) {
    ScratchDir dir;
    writeNew(dir / L"full\\f.txt", "kept");
    StdoutCapture capture;
    EXPECT_EQ(FileOperations().removeDirectory(dir / L"full", false), ErrorCode::DirectoryAccessDenied);
    EXPECT_EQ(test::readFile(dir / L"full\\f.txt"), "kept");
    const auto failures = failedDeletes(capture);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0]["event_type"].asString(), "error");
    EXPECT_EQ(failures[0]["system_error_code"].asUInt(), 145u);
}

TEST(DirectoryRemoval, FileIsNotAFolder) {
    ScratchDir dir;
    test::writeFile(dir / L"plain", "kept");
    for (bool recursive : {false, true}) {
        StdoutCapture capture;
        EXPECT_EQ(FileOperations().removeDirectory(dir / L"plain", recursive), ErrorCode::DirectoryAccessDenied);
        EXPECT_EQ(failedDeletes(capture).size(), 1u);
    }
    EXPECT_EQ(test::readFile(dir / L"plain"), "kept");
}

TEST(DirectoryRemoval, WholeTreeDeepestFirstWithCounters) {
    ScratchDir dir;
    const std::wstring root = (dir / L"tree").wstring();
    makeFolder(root);
    makeFolder(root + L"\\a");
    makeFolder(root + L"\\a\\b");
    makeFolder(root + L"\\a\\b\\c");
    makeFolder(root + L"\\empty");
    makeFolder(root + L"\\ro-folder");
    makeFile(root + L"\\top.txt", "1");
    makeFile(root + L"\\a\\one.bin", "2");
    makeFile(root + L"\\a\\b\\c\\deep.txt", "3");
    makeFile(root + L"\\ro-folder\\ro.txt", "4");
    makeFile(root + L"\\hidden.txt", "5");
    SetFileAttributesW((root + L"\\ro-folder\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((root + L"\\ro-folder").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
    SetFileAttributesW((root + L"\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);

    uint32_t files = 0;
    uint32_t folders = 0;
    StdoutCapture capture;
    EXPECT_EQ(FileOperations().removeDirectory(root, true, &files, &folders), ErrorCode::Success);
    EXPECT_FALSE(present(root));
    EXPECT_EQ(files, 5u);
    EXPECT_EQ(folders, 6u);
    EXPECT_TRUE(failedDeletes(capture).empty());

    // Every file event comes before the folder events, folders deepest
    // first, the root last.
    const auto events = deleteEvents(capture);
    ASSERT_EQ(events.size(), 11u);
    auto depth = [&](const Json::Value& e) {
        const std::string p = e["file_path"].asString();
        return std::count(p.begin(), p.end(), '\\');
    };
    std::vector<std::string> folderPaths;
    for (size_t i = 5; i < events.size(); ++i) folderPaths.push_back(events[i]["file_path"].asString());
    for (size_t i = 6; i < events.size(); ++i) EXPECT_LE(depth(events[i]), depth(events[i - 1]));
    EXPECT_EQ(folderPaths.back(), fs::path(root).string());
    EXPECT_EQ(folderPaths.front(), fs::path(root + L"\\a\\b\\c").string());
}

// The final path (normal form) of an existing entry, as a keep list names it.
std::wstring finalPathOf(const std::wstring& path) {
    const ScopedHandle h(CreateFileW((L"\\\\?\\" + path).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring finalPath;
    if (!h.valid() || !getFinalPathByHandle(h.get(), finalPath)) return std::wstring();
    return fromExtendedLengthPath(std::move(finalPath));
}

// Kept entries stay with the folders holding them, and only those: an
// entry whose path is the start of a kept path without a separator after
// it ("de" beside "deep", "open" beside "open.log") goes, and so does every
// entry of a tree whose keep list names nothing inside it.
TEST(DirectoryRemoval, KeptEntriesStayWithTheFoldersHoldingThem) {
    ScratchDir dir;
    const std::wstring root = (dir / L"tree").wstring();
    for (const wchar_t* folder : {L"", L"\\Logs", L"\\Logs\\deep", L"\\Logs\\deeper", L"\\Logs\\de", L"\\Logsx",
                                  L"\\cache"})
        makeFolder(root + folder);
    for (const wchar_t* file : {L"\\top.txt", L"\\Logs\\deep\\open.log", L"\\Logs\\deep\\open.log.old",
                                L"\\Logs\\deep\\open",
                                L"\\Logs\\old.log", L"\\Logs\\deeper\\x.log", L"\\Logsx\\y.txt", L"\\cache\\c.bin"})
        makeFile(root + file, "x");
    const std::wstring kept = finalPathOf(root + L"\\Logs\\deep\\open.log");
    ASSERT_FALSE(kept.empty());
    std::wstring otherCase = kept;
    for (wchar_t& c : otherCase) c = static_cast<wchar_t>(towupper(c));

    for (const std::wstring& keep : {kept, otherCase}) {
        SCOPED_TRACE(std::string(keep.begin(), keep.end()));
        uint32_t files = 0;
        uint32_t folders = 0;
        StdoutCapture capture;
        EXPECT_EQ(FileOperations().removeDirectory(root, true, &files, &folders, {keep}), ErrorCode::Success);
        EXPECT_TRUE(failedDeletes(capture).empty());
        EXPECT_TRUE(present(root + L"\\Logs\\deep\\open.log"));
        std::vector<std::wstring> left;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            left.push_back(fs::relative(entry.path(), root).wstring());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::wstring>{L"Logs", L"Logs\\deep", L"Logs\\deep\\open.log"}));
        if (keep == kept) {
            EXPECT_EQ(files, 7u);    // top, open.log.old, open, old.log, x.log, y.txt, c.bin
            EXPECT_EQ(folders, 4u);  // deeper, de, Logsx, cache; not the root
        } else {
            EXPECT_EQ(files + folders, 0u);  // nothing else was left
        }
    }

    // A keep list naming nothing inside: the whole tree goes, root included.
    uint32_t files = 0;
    uint32_t folders = 0;
    StdoutCapture capture;
    EXPECT_EQ(FileOperations().removeDirectory(root, true, &files, &folders, {(dir / L"elsewhere.log").wstring()}),
              ErrorCode::Success);
    EXPECT_FALSE(present(root));
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(folders, 3u);
}

TEST(DirectoryRemoval, TreeDeeperThanMaxPath) {
    ScratchDir dir;
    std::wstring path = (dir / L"long").wstring();
    const std::wstring root = path;
    makeFolder(path);
    const std::wstring segment(60, L'x');
    for (int i = 0; i < 6; ++i) {
        path += L"\\" + segment + std::to_wstring(i);
        makeFolder(path);
    }
    ASSERT_GT(path.size(), 300u);
    makeFile(path + L"\\leaf.txt", "deep");
    uint32_t files = 0;
    uint32_t folders = 0;
    EXPECT_EQ(FileOperations().removeDirectory(root, true, &files, &folders), ErrorCode::Success);
    EXPECT_FALSE(present(root));
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(folders, 7u);
}

// An entry that cannot be deleted stops the removal with 147; what was
// deleted before stays counted, and the entry survives.
TEST(DirectoryRemoval, EntryHeldOpenStopsTheRemoval) {
    ScratchDir dir;
    writeNew(dir / L"tree\\held.txt", "held");
    fs::create_directories(dir / L"tree\\sub");
    uint32_t files = 0;
    uint32_t folders = 0;
    StdoutCapture capture;
    {
        test::HeldFile holder(dir / L"tree\\held.txt", GENERIC_READ, FILE_SHARE_READ);
        EXPECT_EQ(FileOperations().removeDirectory(dir / L"tree", true, &files, &folders),
                  ErrorCode::DirectoryAccessDenied);
    }
    EXPECT_EQ(test::readFile(dir / L"tree\\held.txt"), "held");
    EXPECT_EQ(files, 0u);
    EXPECT_EQ(folders, 0u);
    const auto failures = failedDeletes(capture);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0]["file_path"].asString(), (dir / L"tree\\held.txt").string());
    // Once released, the same call removes everything.
    EXPECT_EQ(FileOperations().removeDirectory(dir / L"tree", true), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(dir / L"tree"));
}

// A read-only flag cleared so that the delete could go ahead is put back
// when the delete then fails.
TEST(DirectoryRemoval, ReadOnlyFlagComesBackWhenTheDeleteFails) {
    ScratchDir dir;
    writeNew(dir / L"tree\\ro.txt", "ro");
    SetFileAttributesW((dir / L"tree\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    {
        test::HeldFile holder(dir / L"tree\\ro.txt", GENERIC_READ, FILE_SHARE_READ);
        EXPECT_EQ(FileOperations().removeDirectory(dir / L"tree", true), ErrorCode::DirectoryAccessDenied);
    }
    const DWORD attributes = GetFileAttributesW((dir / L"tree\\ro.txt").c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_READONLY);
}

// A whole volume is never emptied, however its root is spelled; the
// scratch drive's content must survive.
TEST(DirectoryRemoval, VolumeRootsAreRefused) {
    ScratchDir dir;
    test::writeFile(dir / L"sentinel.txt", "still here");
    // A dotted spelling is refused earlier, as a name the extended-length
    // form does not resolve; it is refused all the same.
    const struct {
        std::wstring path;
        bool recursive;
        bool namedAsRoot;
    } cases[] = {
        {L"T:\\", true, true},         {L"T:/", true, true},  {L"\\\\?\\T:\\", true, true},
        {L"T:\\unit\\..", true, false}, {L"C:\\", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fs::path(c.path).string());
        uint32_t files = 0;
        uint32_t folders = 0;
        StdoutCapture capture;
        EXPECT_EQ(FileOperations().removeDirectory(c.path, c.recursive, &files, &folders),
                  ErrorCode::DirectoryAccessDenied);
        EXPECT_EQ(files, 0u);
        EXPECT_EQ(folders, 0u);
        const auto failures = failedDeletes(capture);
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0]["event_type"].asString(), "error");
        EXPECT_EQ(deleteEvents(capture).size(), 1u);
        if (c.namedAsRoot) {
            EXPECT_EQ(failures[0]["system_error_code"].asUInt(), 16u);
            EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "ERROR"),
                                        "Refusing to remove a volume root: "))
                << failures[0].toStyledString();
        }
        EXPECT_EQ(test::readFile(dir / L"sentinel.txt"), "still here");
    }
}

// Names that only the extended-length form can create (a trailing dot or
// blank, a device name) come from the folder's own listing: each is deleted
// as itself, and the whole tree goes.
TEST(DirectoryRemoval, NamesOutsideThePathRuleAreRemovedAsThemselves) {
    ScratchDir dir;
    const std::wstring root = (dir / L"tree").wstring();
    const std::wstring ext = L"\\\\?\\" + root;
    makeFolder(root);
    makeFile(root + L"\\good.txt", "good");
    const std::vector<std::wstring> folders{L"\\nul", L"\\nul\\com1"};
    const std::vector<std::wstring> files{L"\\bad.", L"\\aux.txt", L"\\save. ", L"\\con", L"\\nul\\com1\\prn.log."};
    // The scratch clean-up works with plain paths, which cannot name these.
    struct Remover {
        std::vector<std::wstring> files, folders;
        ~Remover() {
            for (const auto& f : files) DeleteFileW(f.c_str());
            for (auto it = folders.rbegin(); it != folders.rend(); ++it) RemoveDirectoryW(it->c_str());
        }
    } remover;
    for (const auto& f : folders) {
        if (!CreateDirectoryW((ext + f).c_str(), nullptr)) GTEST_SKIP() << "this file system cannot hold " << f;
        remover.folders.push_back(ext + f);
    }
    for (const auto& f : files) {
        ScopedHandle h(CreateFileW((ext + f).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        if (!h) GTEST_SKIP() << "this file system cannot hold " << f;
        remover.files.push_back(ext + f);
    }
    uint32_t filesRemoved = 0;
    uint32_t foldersRemoved = 0;
    StdoutCapture capture;
    EXPECT_EQ(FileOperations().removeDirectory(root, true, &filesRemoved, &foldersRemoved), ErrorCode::Success);
    EXPECT_EQ(GetFileAttributesW(ext.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(filesRemoved, files.size() + 1);
    EXPECT_EQ(foldersRemoved, folders.size() + 1);
    for (const auto& failure : failedDeletes(capture)) ADD_FAILURE() << failure.toStyledString();
}

}  // namespace
}  // namespace korvel
