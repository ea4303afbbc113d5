// The cache's set of held folders: bounded whatever the number of folders
// used, let go before anything below is removed, and a folder that was let
// go is proven afresh when it is taken again.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <unordered_set>

#include "common/FileOperations.h"
#include "manifest/CacheFolder.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

namespace fs = std::filesystem;

class HeldFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        scratch = std::make_unique<ScratchDir>();
        fs::create_directories(scratch->path() / L"tmp");
        root = scratch->path() / L"tmp" / L"KorvelCache";
        ASSERT_EQ(cache.open(root), ErrorCode::Success);
    }

    // Whether something still holds the empty folder open: removing it
    // then leaves it in place (or pending) until the last handle goes. A
    // folder that is gone is made again.
    static bool held(const fs::path& folder) {
        RemoveDirectoryW(folder.c_str());
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        const bool gone = attributes == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
        if (gone) {
            EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        }
        return !gone;
    }

    // Pins relative (made when missing) and lets the chain go: only the set
    // holds it afterwards.
    ErrorCode take(const fs::path& relative) {
        PinnedChain chain;
        return cache.pinFolder(relative, true, chain, false);
    }

    std::unique_ptr<ScratchDir> scratch;
    fs::path root;
    CacheFolder cache;
};

TEST_F(HeldFolderTest, StaysWithinItsBoundAndLetsTheOldestGo) {
    const size_t capacity = cache.heldCapacity();
    ASSERT_GT(capacity, 0u);
    ASSERT_EQ(take(L"first"), ErrorCode::Success);
    EXPECT_TRUE(held(root / L"first")) << "a folder taken is not held";
    // Three times the bound of folders, one level and two levels deep.
    for (size_t i = 0; i < 3 * capacity; ++i) {
        ASSERT_EQ(take(fs::path(L"pack" + std::to_wstring(i % 7)) / (L"f" + std::to_wstring(i))), ErrorCode::Success);
        EXPECT_LE(cache.heldCount(), capacity);
    }
    EXPECT_EQ(cache.heldCount(), capacity);
    // The first folder went out of the set, and its handle with it.
    EXPECT_FALSE(held(root / L"first"));
    // A folder taken again and again stays held while others come and go.
    ASSERT_EQ(take(L"first"), ErrorCode::Success);
    for (size_t i = 0; i < 2 * capacity; ++i) {
        ASSERT_EQ(take(L"first"), ErrorCode::Success);
        ASSERT_EQ(take(L"other" + std::to_wstring(i % (capacity - 1))), ErrorCode::Success);
    }
    EXPECT_TRUE(held(root / L"first"));
}

TEST_F(HeldFolderTest, EverythingIsLetGoBeforeARemovalOrTheSweep) {
    const fs::path backup = fs::path(L"backups") / L"20260101_000000";
    for (int i = 0; i < 5; ++i) ASSERT_EQ(take(backup / (L"pack0" + std::to_wstring(i))), ErrorCode::Success);
    writeFile(root / backup / L"pack01" / L"old.bin", "old");
    FileOperations files;
    // Held, the folder cannot go; let go, it can.
    EXPECT_NE(files.removeDirectory(root / backup, true), ErrorCode::Success);
    EXPECT_TRUE(fs::exists(root / backup / L"pack01"));
    cache.releaseHeld();
    EXPECT_EQ(cache.heldCount(), 0u);
    EXPECT_EQ(files.removeDirectory(root / backup, true), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root / backup));

    // The sweep lets go of the set first as well.
    ASSERT_EQ(take(L"pack09"), ErrorCode::Success);
    ASSERT_GT(cache.heldCount(), 0u);
    cache.sweep(0, L"backups");
    EXPECT_EQ(cache.heldCount(), 0u);
    EXPECT_FALSE(held(root / L"pack09"));
}

TEST_F(HeldFolderTest, AFolderSwappedWhileLetGoIsProvenAgainWhenTaken) {
    ASSERT_EQ(take(L"sub"), ErrorCode::Success);
    cache.releaseHeld();
    // Let go, the folder can be swapped: for a file in its place, taking it
    // again is refused rather than served from a stale handle.
    const fs::path sub = root / L"sub";
    ASSERT_TRUE(MoveFileW(sub.c_str(), (root / L"sub.old").c_str()));
    writeFile(sub, "not a folder");
    PinnedChain chain;
    EXPECT_EQ(cache.pinFolder(L"sub", true, chain, false), ErrorCode::DirectoryAccessDenied);
    EXPECT_TRUE(chain.empty());
    EXPECT_EQ(readFile(sub), "not a folder");

    // For another folder: the one taken is the new one, and a file opened
    // through the set lands in it.
    ASSERT_TRUE(DeleteFileW(sub.c_str()));
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    ScopedHandle file;
    ASSERT_EQ(cache.openFile(fs::path(L"sub") / L"new.bin", GENERIC_WRITE, FILE_SHARE_READ, true, chain, file, false),
              ErrorCode::Success);
    file.close();
    chain.clear();
    EXPECT_TRUE(fs::exists(sub / L"new.bin"));
    EXPECT_FALSE(fs::exists(root / L"sub.old" / L"new.bin"));
}

TEST_F(HeldFolderTest, TheTopListingNamesFoldersOnlyInUpperCase) {
    ASSERT_EQ(take(L"abcd0123"), ErrorCode::Success);
    ASSERT_EQ(take(fs::path(L"Pack07") / L"inner"), ErrorCode::Success);
    writeFile(root / L"manifest.json.tmp", "not a folder");
    std::unordered_set<std::wstring> names;
    ASSERT_TRUE(cache.listTopFolders(names));
    EXPECT_EQ(names, (std::unordered_set<std::wstring>{L"ABCD0123", L"PACK07"}));
}

TEST_F(HeldFolderTest, AFileToBeMadeThatIsThereIsOpenedAsItIs) {
    // Made new where the name is free; where a file holds it, that file is
    // opened with its content, never truncated or replaced.
    ScopedHandle file;
    PinnedChain chain;
    fs::create_directories(root / L"pack01");
    writeFile(root / L"pack01" / L"kept.bin", "kept");
    ASSERT_EQ(cache.openFile(fs::path(L"pack01") / L"kept.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, true,
                             chain, file, false),
              ErrorCode::Success);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(file.get(), &size));
    EXPECT_EQ(size.QuadPart, 4);
    file.close();
    EXPECT_EQ(readFile(root / L"pack01" / L"kept.bin"), "kept");
    ASSERT_EQ(cache.openFile(fs::path(L"pack01") / L"new.bin", GENERIC_WRITE, FILE_SHARE_READ, true, chain, file,
                             false),
              ErrorCode::Success);
    file.close();
    EXPECT_EQ(readFile(root / L"pack01" / L"new.bin"), "");
    // A folder in the name's place is no file.
    ASSERT_TRUE(CreateDirectoryW((root / L"pack01" / L"dir.bin").c_str(), nullptr));
    EXPECT_NE(cache.openFile(fs::path(L"pack01") / L"dir.bin", GENERIC_WRITE, FILE_SHARE_READ, true, chain, file,
                             false),
              ErrorCode::Success);
    EXPECT_FALSE(file);
}

}  // namespace
}  // namespace korvel::test
