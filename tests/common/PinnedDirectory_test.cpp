#include "common/PinnedDirectory.h"

#include "common/DirectoryWalker.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "tests/support/TestSupport.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvel {
namespace {

using test::ScratchDir;

constexpr uint32_t kPinAccess = DELETE | FILE_READ_ATTRIBUTES;

std::wstring ext(const std::wstring& p) { return toExtendedLengthPath(p); }

bool exists(const std::wstring& p) { return GetFileAttributesW(ext(p).c_str()) != INVALID_FILE_ATTRIBUTES; }

DWORD attributesOf(const std::wstring& p) { return GetFileAttributesW(ext(p).c_str()); }

void makeDir(const std::wstring& p) {
    ASSERT_TRUE(CreateDirectoryW(ext(p).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        << wideToUtf8(p) << " error " << GetLastError();
}

void makeFile(const std::wstring& p, const std::string& bytes = "data") {
    const ScopedHandle h(
        CreateFileW(ext(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(h.valid()) << wideToUtf8(p) << " error " << GetLastError();
    DWORD written = 0;
    WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string readAll(const std::wstring& p) {
    const ScopedHandle h(
        CreateFileW(ext(p).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h.valid()) return "<missing>";
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h.get(), buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    return out;
}

std::wstring scratchPath(const ScratchDir& dir) { return dir.path().wstring(); }

// Everything below root, collected by the handle-based walker and deleted
// files first, then folders deepest first, the way callers remove a tree.
struct RemovalRun {
    std::vector<std::string> deleted;
    std::vector<std::string> violations;
    std::vector<std::pair<std::string, uint32_t>> failures;
};

RemovalRun removeTreeThrough(PinnedDirectory& pinned, const std::wstring& root) {
    std::vector<RemovalEntry> files;
    std::vector<RemovalEntry> folders;
    DirectoryWalkError walkError;
    const bool walked = DirectoryWalker::walk(
        root,
        [&](const DirectoryWalkEntry& e) {
            RemovalEntry r{e.fullPath, utf16ToUtf8Strict(e.relativePath), e.isDirectory()};
            (e.isDirectory() ? folders : files).push_back(r);
            return true;
        },
        walkError);
    EXPECT_TRUE(walked) << "walk failed at " << wideToUtf8(walkError.path) << " with " << walkError.win32Error;
    std::stable_sort(folders.begin(), folders.end(), removalOrderLess);
    RemovalRun run;
    for (const auto* list : {&files, &folders}) {
        for (const RemovalEntry& e : *list) {
            uint32_t error = 0;
            bool violation = false;
            if (pinned.deleteEntry(e.fullPath, e.relativePath, error, violation)) {
                run.deleted.push_back(e.relativePath);
            } else if (violation) {
                run.violations.push_back(e.relativePath);
            } else {
                run.failures.emplace_back(e.relativePath, error);
            }
        }
    }
    return run;
}

// ---- extended-length forms --------------------------------------------------------

struct ExtCase {
    const char* name;
    std::wstring in;
    std::wstring extended;
};

class ExtendedLengthTest : public ::testing::TestWithParam<ExtCase> {};

TEST_P(ExtendedLengthTest, ToExtended) { EXPECT_EQ(toExtendedLengthPath(GetParam().in), GetParam().extended); }

INSTANTIATE_TEST_SUITE_P(
    Table, ExtendedLengthTest,
    ::testing::Values(ExtCase{"drive_slashes", L"C:/a/b", L"\\\\?\\C:\\a\\b"},
                      ExtCase{"drive", L"C:\\a", L"\\\\?\\C:\\a"}, ExtCase{"drive_root", L"C:\\", L"\\\\?\\C:\\"},
                      ExtCase{"unc", L"\\\\srv\\share\\x", L"\\\\?\\UNC\\srv\\share\\x"},
                      ExtCase{"unc_slashes", L"//srv/share", L"\\\\?\\UNC\\srv\\share"},
                      ExtCase{"extended_kept", L"\\\\?\\C:\\a", L"\\\\?\\C:\\a"},
                      ExtCase{"nt_kept", L"\\??\\C:\\a", L"\\??\\C:\\a"},
                      ExtCase{"device_kept", L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
                      ExtCase{"extended_unc_kept", L"\\\\?\\UNC\\s\\h", L"\\\\?\\UNC\\s\\h"},
                      ExtCase{"extended_slashes", L"//?/C:/a", L"\\\\?\\C:\\a"},
                      ExtCase{"relative", L"relative\\path", L"relative\\path"},
                      ExtCase{"relative_slashes", L"rel/path", L"rel\\path"},
                      ExtCase{"drive_relative", L"C:rel", L"C:rel"}, ExtCase{"rooted", L"\\a\\b", L"\\a\\b"},
                      ExtCase{"drive_only", L"C:", L"C:"}, ExtCase{"empty", L"", L""},
                      ExtCase{"two_slashes", L"\\\\", L"\\\\?\\UNC\\"}),
    [](const ::testing::TestParamInfo<ExtCase>& info) { return std::string(info.param.name); });

struct FromCase {
    const char* name;
    std::wstring in;
    std::wstring normal;
};

class FromExtendedTest : public ::testing::TestWithParam<FromCase> {};

TEST_P(FromExtendedTest, FromExtended) { EXPECT_EQ(fromExtendedLengthPath(GetParam().in), GetParam().normal); }

INSTANTIATE_TEST_SUITE_P(
    Table, FromExtendedTest,
    ::testing::Values(FromCase{"drive", L"\\\\?\\C:\\a\\b", L"C:\\a\\b"},
                      FromCase{"trailing", L"\\\\?\\C:\\a\\", L"C:\\a"},
                      FromCase{"drive_root", L"\\\\?\\C:\\", L"C:"},
                      FromCase{"unc", L"\\\\?\\UNC\\srv\\share\\x", L"\\\\srv\\share\\x"},
                      FromCase{"nt_unc", L"\\??\\UNC\\srv\\share", L"\\\\srv\\share"},
                      FromCase{"nt", L"\\??\\C:\\a", L"C:\\a"},
                      FromCase{"slashes", L"//?/C:/a/", L"C:\\a"},
                      FromCase{"normal_kept", L"C:\\a", L"C:\\a"},
                      FromCase{"many_trailing", L"C:\\a\\\\//", L"C:\\a"},
                      FromCase{"single_separator", L"\\", L"\\"},
                      FromCase{"device_kept", L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
                      FromCase{"relative", L"a/b", L"a\\b"}, FromCase{"empty", L"", L""}),
    [](const ::testing::TestParamInfo<FromCase>& info) { return std::string(info.param.name); });

TEST(ExtendedLength, RoundTripsAndRefusesNul) {
    for (const std::wstring p : {L"C:\\a\\b", L"\\\\srv\\share\\x", L"T:\\unit"}) {
        EXPECT_EQ(fromExtendedLengthPath(toExtendedLengthPath(p)), p);
    }
    try {
        toExtendedLengthPath(std::wstring(L"C:\\a\0b", 6));
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Path contains an embedded NUL");
    }
}

struct RootCase {
    const char* name;
    std::wstring path;
    bool root;
};

class VolumeRootTest : public ::testing::TestWithParam<RootCase> {};

TEST_P(VolumeRootTest, Detects) { EXPECT_EQ(isVolumeRootPath(GetParam().path), GetParam().root); }

INSTANTIATE_TEST_SUITE_P(
    Table, VolumeRootTest,
    ::testing::Values(RootCase{"drive", L"C:", true}, RootCase{"drive_sep", L"C:\\", true},
                      RootCase{"drive_lower", L"t:/", true}, RootCase{"share", L"\\\\srv\\share", true},
                      RootCase{"share_sep", L"\\\\srv\\share\\", true}, RootCase{"server", L"\\\\srv", true},
                      RootCase{"volume_name", L"Volume{0b1c2d3e-0000-0000-0000-100000000000}", true},
                      RootCase{"bare_root", L"\\", true}, RootCase{"folder", L"C:\\Program Files", false},
                      RootCase{"share_folder", L"\\\\srv\\share\\dir", false},
                      RootCase{"deep", L"T:\\unit\\x\\y", false}, RootCase{"empty", L"", false}),
    [](const ::testing::TestParamInfo<RootCase>& info) { return std::string(info.param.name); });

TEST(RemovalOrder, DeepestFirstWithBothSeparators) {
    std::vector<RemovalEntry> entries = {
        {L"", "a", true}, {L"", "a/b/c", true}, {L"", "a\\b", true}, {L"", "x/y\\z/w", true}, {L"", "q", true}};
    std::stable_sort(entries.begin(), entries.end(), removalOrderLess);
    EXPECT_EQ(entries[0].relativePath, "x/y\\z/w");
    EXPECT_EQ(entries[1].relativePath, "a/b/c");
    EXPECT_EQ(entries[2].relativePath, "a\\b");
    EXPECT_FALSE(removalOrderLess(entries[3], entries[4]));
    EXPECT_FALSE(removalOrderLess(entries[4], entries[3]));
    EXPECT_TRUE(removalOrderLess(RemovalEntry{L"", "a\\b", false}, RemovalEntry{L"", "a", false}));
    EXPECT_FALSE(removalOrderLess(RemovalEntry{L"", "a", false}, RemovalEntry{L"", "a\\b", false}));
}

// ---- full and final paths ------------------------------------------------------------

TEST(FullPath, NormalFormAndErrors) {
    std::wstring full;
    uint32_t error = 99;
    ASSERT_TRUE(getFullPathName(L"T:\\unit\\a\\b.txt", full, error));
    EXPECT_EQ(full, L"T:\\unit\\a\\b.txt");
    EXPECT_EQ(error, 0u);
    ASSERT_TRUE(getFullPathName(L"T:/unit/a/", full, error));
    EXPECT_EQ(full, L"T:\\unit\\a");
    EXPECT_FALSE(getFullPathName(std::wstring(L"T:\\a\0b", 6), full, error));
    EXPECT_EQ(error, 123u);
}

TEST(FinalPath, OfAnOpenFolderIsExtendedForm) {
    ScratchDir dir;
    ScopedHandle h(CreateFileW(ext(scratchPath(dir)).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(h.valid());
    std::wstring finalPath;
    EXPECT_TRUE(getFinalPathByHandle(h.get(), finalPath));
    h.reset();
    EXPECT_EQ(finalPath.compare(0, 4, L"\\\\?\\"), 0) << wideToUtf8(finalPath);
    EXPECT_EQ(CompareStringOrdinal(fromExtendedLengthPath(finalPath).c_str(), -1, scratchPath(dir).c_str(), -1, TRUE),
              CSTR_EQUAL)
        << wideToUtf8(finalPath);
}

// ---- pinning ---------------------------------------------------------------------------

TEST(Pinning, PinsARealFolder) {
    ScratchDir dir;
    const std::wstring root = scratchPath(dir) + L"\\tree";
    makeDir(root);
    PinnedDirectory pinned;
    uint32_t error = 99;
    ASSERT_TRUE(openDirectoryNoReparse(root, pinned, error, kPinAccess));
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(pinned.isOpen());
    EXPECT_EQ(CompareStringOrdinal(pinned.finalPath().c_str(), -1, root.c_str(), -1, TRUE), CSTR_EQUAL);
    EXPECT_EQ(pinned.openPath(), ext(root));

    // Forward slashes and a trailing separator name the same folder.
    std::wstring slashed = root + L"/";
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    PinnedDirectory second;
    ASSERT_TRUE(openDirectoryNoReparse(slashed, second, error, FILE_READ_ATTRIBUTES));
    EXPECT_EQ(CompareStringOrdinal(second.finalPath().c_str(), -1, root.c_str(), -1, TRUE), CSTR_EQUAL);
}

TEST(Pinning, PinnedFolderCannotBeRenamedOrDeletedByOthers) {
    ScratchDir dir;
    const std::wstring root = scratchPath(dir) + L"\\tree";
    makeDir(root);
    PinnedDirectory pinned;
    uint32_t error = 0;
    ASSERT_TRUE(openDirectoryNoReparse(root, pinned, error, kPinAccess));
    EXPECT_FALSE(MoveFileW(root.c_str(), (scratchPath(dir) + L"\\moved").c_str()));
    EXPECT_FALSE(RemoveDirectoryW(root.c_str()));
    EXPECT_TRUE(exists(root));
}

TEST(Pinning, RefusesWhatIsNotAFolder) {
    ScratchDir dir;
    const std::wstring base = scratchPath(dir);
    makeFile(base + L"\\file.txt");
    makeDir(base + L"\\keep");

    PinnedDirectory pinned;
    uint32_t error = 0;
    ASSERT_TRUE(openDirectoryNoReparse(base + L"\\keep", pinned, error, kPinAccess));
    const std::wstring before = pinned.finalPath();

    EXPECT_FALSE(openDirectoryNoReparse(base + L"\\file.txt", pinned, error, kPinAccess));
    EXPECT_EQ(error, 5u);
    EXPECT_EQ(pinned.finalPath(), before);  // left as it was
    EXPECT_TRUE(pinned.isOpen());

    EXPECT_FALSE(openDirectoryNoReparse(base + L"\\missing", pinned, error, kPinAccess));
    EXPECT_TRUE(error == 2u || error == 3u) << error;
    EXPECT_FALSE(openDirectoryNoReparse(base + L"\\missing\\deeper", pinned, error, kPinAccess));
    EXPECT_TRUE(error == 2u || error == 3u) << error;
    EXPECT_FALSE(openDirectoryNoReparse(std::wstring(L"T:\\unit\0x", 9), pinned, error, kPinAccess));
    EXPECT_EQ(error, 123u);
    EXPECT_EQ(pinned.finalPath(), before);
}

TEST(Pinning, RefusesAVolumeRoot) {
    for (const std::wstring root : {L"T:\\", L"T:", L"T:/", L"K:\\"}) {
        PinnedDirectory pinned;
        uint32_t error = 0;
        EXPECT_FALSE(openDirectoryNoReparse(root, pinned, error, kPinAccess)) << wideToUtf8(root);
        if (root != L"T:") {
            EXPECT_EQ(error, kVolumeRootRefusedError) << wideToUtf8(root);
        }
        EXPECT_FALSE(pinned.isOpen());
    }
}

TEST(Pinning, RefusesAPathThroughAnotherName) {
    ScratchDir dir;
    const std::wstring root = scratchPath(dir) + L"\\tree";
    makeDir(root);
    makeDir(root + L"\\sub");
    PinnedDirectory pinned;
    uint32_t error = 0;
    // "." and ".." are not resolved in extended-length form: no alias gets through.
    EXPECT_FALSE(openDirectoryNoReparse(root + L"\\sub\\..", pinned, error, kPinAccess));
    EXPECT_FALSE(pinned.isOpen());
    EXPECT_NE(error, 0u);
}

// ---- deleting entries --------------------------------------------------------------------

class PinnedTree : public ::testing::Test {
protected:
    void SetUp() override {
        root = scratchPath(dir) + L"\\root";
        makeDir(root);
    }
    void pin(uint32_t access = kPinAccess) {
        uint32_t error = 0;
        ASSERT_TRUE(openDirectoryNoReparse(root, pinned, error, access)) << error;
    }
    ScratchDir dir;
    std::wstring root;
    PinnedDirectory pinned;
};

TEST_F(PinnedTree, RemovesATreeDeepestFirst) {
    makeDir(root + L"\\a");
    makeDir(root + L"\\a\\b");
    makeDir(root + L"\\a\\b\\c");
    makeDir(root + L"\\empty");
    makeFile(root + L"\\top.txt");
    makeFile(root + L"\\a\\one.txt");
    makeFile(root + L"\\a\\b\\c\\deep.bin", std::string(70000, 'x'));
    makeFile(root + L"\\caf\u00E9 \u4E2D.txt");
    pin();

    const RemovalRun run = removeTreeThrough(pinned, root);
    EXPECT_TRUE(run.violations.empty());
    EXPECT_TRUE(run.failures.empty());
    const std::set<std::string> deleted(run.deleted.begin(), run.deleted.end());
    EXPECT_EQ(deleted, (std::set<std::string>{"top.txt", "a\\one.txt", "a\\b\\c\\deep.bin",
                                              "caf\xC3\xA9 \xE4\xB8\xAD.txt", "a", "a\\b", "a\\b\\c", "empty"}));
    // Folders went deepest first.
    const auto pos = [&](const std::string& name) {
        return std::find(run.deleted.begin(), run.deleted.end(), name) - run.deleted.begin();
    };
    EXPECT_LT(pos("a\\b\\c"), pos("a\\b"));
    EXPECT_LT(pos("a\\b"), pos("a"));

    uint32_t error = 99;
    ASSERT_TRUE(pinned.deleteRoot(error));
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(exists(root));  // goes when the handle closes
    pinned.reset();
    EXPECT_FALSE(exists(root));
}

TEST_F(PinnedTree, NonEmptyFolderGives145WithoutViolation) {
    makeDir(root + L"\\full");
    makeFile(root + L"\\full\\x.txt");
    pin();
    uint32_t error = 0;
    bool violation = true;
    EXPECT_FALSE(pinned.deleteEntry(root + L"\\full", "full", error, violation));
    EXPECT_EQ(error, 145u);
    EXPECT_FALSE(violation);
    EXPECT_TRUE(exists(root + L"\\full\\x.txt"));

    EXPECT_FALSE(pinned.deleteRoot(error));
    EXPECT_EQ(error, 145u);
    pinned.reset();
    EXPECT_TRUE(exists(root));
}

TEST_F(PinnedTree, EntryOutsideTheTreeIsAViolationAndSurvives) {
    const std::wstring outside = scratchPath(dir) + L"\\outside";
    makeDir(outside);
    makeFile(outside + L"\\victim.txt", "keep me");
    makeDir(outside + L"\\victimdir");
    makeFile(root + L"\\victim.txt", "inside");
    pin();

    struct Attempt {
        std::wstring full;
        std::string relative;
    };
    const Attempt attempts[] = {
        {outside + L"\\victim.txt", "victim.txt"},     // full path elsewhere, relative path inside
        {outside + L"\\victimdir", "victimdir"},       // a folder elsewhere
        {root + L"\\..\\outside\\victim.txt", "victim.txt"},
        {root + L"\\victim.txt", "other.txt"},         // names disagree inside the tree
        {root + L"\\victim.txt", "sub\\victim.txt"},
    };
    for (const Attempt& a : attempts) {
        uint32_t error = 0;
        bool violation = false;
        EXPECT_FALSE(pinned.deleteEntry(a.full, a.relative, error, violation)) << wideToUtf8(a.full);
        if (error != 2u && error != 3u && error != 123u) {
            EXPECT_TRUE(violation) << wideToUtf8(a.full);
            EXPECT_EQ(error, 5u) << wideToUtf8(a.full);
        }
    }
    EXPECT_EQ(readAll(outside + L"\\victim.txt"), "keep me");
    EXPECT_TRUE(exists(outside + L"\\victimdir"));
    EXPECT_EQ(readAll(root + L"\\victim.txt"), "inside");
}

TEST_F(PinnedTree, UnsafeRelativePathsAreRefusedBeforeAnythingOpens) {
    makeFile(root + L"\\f.txt");
    pin();
    const std::string unsafe[] = {"", "..\\f.txt", "a/../f.txt", "C:\\f.txt", "\\f.txt", "f.txt:stream", "con",
                                  "f.txt.", std::string("f\0.txt", 6), "\xFF"};
    for (const std::string& rel : unsafe) {
        uint32_t error = 0;
        bool violation = false;
        EXPECT_FALSE(pinned.deleteEntry(root + L"\\f.txt", rel, error, violation)) << rel;
        EXPECT_EQ(error, 123u) << rel;
        EXPECT_TRUE(violation) << rel;
    }
    EXPECT_TRUE(exists(root + L"\\f.txt"));
}

TEST_F(PinnedTree, NoHandle) {
    makeFile(root + L"\\f.txt");
    uint32_t error = 0;
    bool violation = false;
    EXPECT_FALSE(pinned.deleteEntry(root + L"\\f.txt", "f.txt", error, violation));
    EXPECT_EQ(error, 5u);
    EXPECT_TRUE(violation);
    EXPECT_FALSE(pinned.deleteRoot(error));
    EXPECT_EQ(error, 6u);
    EXPECT_TRUE(exists(root + L"\\f.txt"));
}

TEST_F(PinnedTree, MissingEntryIsNotAViolation) {
    pin();
    uint32_t error = 0;
    bool violation = true;
    EXPECT_FALSE(pinned.deleteEntry(root + L"\\gone.txt", "gone.txt", error, violation));
    EXPECT_EQ(error, 2u);
    EXPECT_FALSE(violation);
    EXPECT_FALSE(pinned.deleteEntry(root + L"\\nodir\\gone.txt", "nodir\\gone.txt", error, violation));
    EXPECT_EQ(error, 3u);
    EXPECT_FALSE(violation);
}

TEST_F(PinnedTree, ReadOnlyEntriesAreDeleted) {
    makeFile(root + L"\\ro.txt");
    makeFile(root + L"\\ro_hidden.txt");
    ASSERT_TRUE(SetFileAttributesW(ext(root + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(ext(root + L"\\ro_hidden.txt").c_str(),
                                   FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_NE(attributesOf(root + L"\\ro.txt") & FILE_ATTRIBUTE_READONLY, 0u);
    pin();
    for (const char* name : {"ro.txt", "ro_hidden.txt"}) {
        uint32_t error = 0;
        bool violation = false;
        EXPECT_TRUE(pinned.deleteEntry(root + L"\\" + utf8ToUtf16(name), name, error, violation)) << name << error;
        EXPECT_EQ(error, 0u);
        EXPECT_FALSE(violation);
        EXPECT_FALSE(exists(root + L"\\" + utf8ToUtf16(name)));
    }
}

TEST_F(PinnedTree, ReadOnlyFlagIsPutBackWhenTheDeleteFails) {
    makeDir(root + L"\\rodir");
    makeFile(root + L"\\rodir\\child.txt");
    const std::wstring rodir = root + L"\\rodir";
    ASSERT_TRUE(SetFileAttributesW(ext(rodir).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
    const DWORD before = attributesOf(rodir);
    if ((before & FILE_ATTRIBUTE_READONLY) == 0) GTEST_SKIP() << "read-only folders are not kept here";
    pin();
    uint32_t error = 0;
    bool violation = false;
    EXPECT_FALSE(pinned.deleteEntry(rodir, "rodir", error, violation));
    EXPECT_EQ(error, 145u);
    EXPECT_FALSE(violation);
    EXPECT_EQ(attributesOf(rodir), before);
    EXPECT_TRUE(exists(rodir + L"\\child.txt"));
}

TEST_F(PinnedTree, ReadOnlyFileFlagIsPutBackWhenTheDeleteFails) {
    // A file with a mapped view cannot be marked for deletion, but opens for it.
    const std::wstring mapped = root + L"\\mapped.bin";
    makeFile(mapped, "mapped bytes");
    ASSERT_TRUE(SetFileAttributesW(ext(mapped).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    const DWORD before = attributesOf(mapped);
    ASSERT_NE(before & FILE_ATTRIBUTE_READONLY, 0u);
    ScopedHandle file(CreateFileW(ext(mapped).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(file.valid());
    ScopedHandle section(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    ASSERT_TRUE(section.valid());
    void* view = MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    pin();
    uint32_t error = 0;
    bool violation = false;
    const bool deleted = pinned.deleteEntry(mapped, "mapped.bin", error, violation);
    UnmapViewOfFile(view);
    section.reset();
    file.reset();
    if (deleted) GTEST_SKIP() << "a mapped file can be deleted here";
    EXPECT_NE(error, 0u);
    EXPECT_FALSE(violation);
    EXPECT_EQ(attributesOf(mapped), before);
    EXPECT_EQ(readAll(mapped), "mapped bytes");
    SetFileAttributesW(ext(mapped).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(PinnedTree, ReadOnlyRootFlagIsPutBackWhenTheDeleteFails) {
    makeFile(root + L"\\child.txt");
    ASSERT_TRUE(SetFileAttributesW(ext(root).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
    const DWORD before = attributesOf(root);
    if ((before & FILE_ATTRIBUTE_READONLY) == 0) GTEST_SKIP() << "read-only folders are not kept here";
    pin();
    uint32_t error = 0;
    EXPECT_FALSE(pinned.deleteRoot(error));
    EXPECT_EQ(error, 145u);
    EXPECT_EQ(attributesOf(root), before);
    pinned.reset();
    EXPECT_TRUE(exists(root));
    SetFileAttributesW(ext(root).c_str(), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(PinnedTree, ReadOnlyEmptyRootIsDeleted) {
    ASSERT_TRUE(SetFileAttributesW(ext(root).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
    pin();
    uint32_t error = 0;
    EXPECT_TRUE(pinned.deleteRoot(error)) << error;
    pinned.reset();
    EXPECT_FALSE(exists(root));
}

TEST_F(PinnedTree, FileHeldOpenWithoutSharingSurvives) {
    const std::wstring locked = root + L"\\locked.txt";
    makeFile(locked, "busy");
    ScopedHandle holder(CreateFileW(ext(locked).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    pin();
    uint32_t error = 0;
    bool violation = true;
    EXPECT_FALSE(pinned.deleteEntry(locked, "locked.txt", error, violation));
    EXPECT_EQ(error, 32u);
    EXPECT_FALSE(violation);
    holder.reset();
    EXPECT_EQ(readAll(locked), "busy");

    // Held open with read and write sharing but no delete sharing: still refused.
    holder.reset(CreateFileW(ext(locked).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    EXPECT_FALSE(pinned.deleteEntry(locked, "locked.txt", error, violation));
    EXPECT_EQ(error, 32u);
    holder.reset();
    EXPECT_TRUE(exists(locked));

    EXPECT_TRUE(pinned.deleteEntry(locked, "locked.txt", error, violation)) << error;
    EXPECT_FALSE(exists(locked));
}

TEST_F(PinnedTree, ReadOnlyFileHeldOpenKeepsItsFlag) {
    const std::wstring locked = root + L"\\ro_locked.txt";
    makeFile(locked);
    ASSERT_TRUE(SetFileAttributesW(ext(locked).c_str(), FILE_ATTRIBUTE_READONLY));
    ScopedHandle holder(
        CreateFileW(ext(locked).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    pin();
    uint32_t error = 0;
    bool violation = false;
    EXPECT_FALSE(pinned.deleteEntry(locked, "ro_locked.txt", error, violation));
    holder.reset();
    EXPECT_NE(attributesOf(locked) & FILE_ATTRIBUTE_READONLY, 0u);
    SetFileAttributesW(ext(locked).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(PinnedTree, RootPinnedWithoutDeleteAccessIsNotDeleted) {
    pin(FILE_READ_ATTRIBUTES);
    uint32_t error = 0;
    EXPECT_FALSE(pinned.deleteRoot(error));
    EXPECT_NE(error, 0u);
    pinned.reset();
    EXPECT_TRUE(exists(root));
}

TEST_F(PinnedTree, MovedTreeIsAViolation) {
    const std::wstring parent = scratchPath(dir) + L"\\parent";
    makeDir(parent);
    const std::wstring inner = parent + L"\\inner";
    makeDir(inner);
    makeFile(inner + L"\\f.txt");
    PinnedDirectory p;
    uint32_t error = 0;
    ASSERT_TRUE(openDirectoryNoReparse(inner, p, error, kPinAccess));
    const std::wstring renamed = scratchPath(dir) + L"\\renamed";
    if (!MoveFileW(parent.c_str(), renamed.c_str())) GTEST_SKIP() << "the parent of a pinned folder cannot move here";
    makeDir(parent);
    makeDir(inner);
    makeFile(inner + L"\\f.txt", "impostor");
    bool violation = false;
    EXPECT_FALSE(p.deleteEntry(inner + L"\\f.txt", "f.txt", error, violation));
    EXPECT_TRUE(violation);
    EXPECT_EQ(error, 5u);
    EXPECT_EQ(readAll(inner + L"\\f.txt"), "impostor");
    EXPECT_TRUE(exists(renamed + L"\\inner\\f.txt"));
    // By the listing's name below the handle, the entry is the pinned
    // folder's own wherever that folder went (Windows refuses it, its place
    // being no longer the pinned one; Wine keeps the old name): the file at
    // the old place is never reached.
    violation = false;
    p.deleteListedEntry("f.txt", error, violation);
    EXPECT_EQ(readAll(inner + L"\\f.txt"), "impostor");
}

TEST_F(PinnedTree, LongPathsBeyondMaxPath) {
    std::wstring deep = root;
    std::vector<std::wstring> levels;
    for (int i = 0; deep.size() < 400; ++i) {
        deep += L"\\level_" + std::to_wstring(i) + L"_abcdefghijklmnopqrstuvwxyz";
        makeDir(deep);
        levels.push_back(deep);
    }
    const std::wstring leaf = deep + L"\\leaf_file_with_a_long_name.txt";
    makeFile(leaf, "deep");
    ASSERT_GT(leaf.size(), 300u);
    ASSERT_EQ(readAll(leaf), "deep");

    // Pinning a folder deeper than MAX_PATH works too.
    PinnedDirectory deepPin;
    uint32_t error = 0;
    ASSERT_TRUE(openDirectoryNoReparse(levels[levels.size() - 2], deepPin, error, kPinAccess)) << error;
    deepPin.reset();

    pin();
    const RemovalRun run = removeTreeThrough(pinned, root);
    EXPECT_TRUE(run.violations.empty());
    EXPECT_TRUE(run.failures.empty());
    EXPECT_EQ(run.deleted.size(), levels.size() + 1);
    EXPECT_FALSE(exists(leaf));
    EXPECT_FALSE(exists(levels.front()));
    ASSERT_TRUE(pinned.deleteRoot(error)) << error;
    pinned.reset();
    EXPECT_FALSE(exists(root));
}

TEST_F(PinnedTree, MoveKeepsOwnership) {
    pin();
    PinnedDirectory moved(std::move(pinned));
    EXPECT_FALSE(pinned.isOpen());
    EXPECT_TRUE(moved.isOpen());
    PinnedDirectory target;
    target = std::move(moved);
    EXPECT_TRUE(target.isOpen());
    EXPECT_FALSE(moved.isOpen());
    uint32_t error = 0;
    EXPECT_TRUE(target.deleteRoot(error));
    target.reset();
    EXPECT_FALSE(exists(root));
}

// ---- walking -------------------------------------------------------------------------------

TEST_F(PinnedTree, WalkerListsAPinnedTreeByHandle) {
    makeDir(root + L"\\d1");
    makeDir(root + L"\\d1\\d2");
    makeFile(root + L"\\d1\\d2\\f3.txt", "12345");
    makeFile(root + L"\\f1.txt");
    for (int i = 0; i < 600; ++i) makeFile(root + L"\\d1\\many_" + std::to_wstring(i) + L"_padding_name.dat", "");
    pin();  // without delete sharing: listing must still work
    std::vector<DirectoryWalkEntry> seen;
    DirectoryWalkError error;
    ASSERT_TRUE(DirectoryWalker::walk(root + L"\\", [&](const DirectoryWalkEntry& e) {
        seen.push_back(e);
        return true;
    }, error)) << error.win32Error;
    EXPECT_EQ(seen.size(), 604u);
    const auto find = [&](const std::wstring& rel) -> const DirectoryWalkEntry* {
        for (const auto& e : seen) {
            if (e.relativePath == rel) return &e;
        }
        return nullptr;
    };
    const DirectoryWalkEntry* f3 = find(L"d1\\d2\\f3.txt");
    ASSERT_NE(f3, nullptr);
    EXPECT_EQ(f3->fullPath, root + L"\\d1\\d2\\f3.txt");
    EXPECT_EQ(f3->size, 5u);
    EXPECT_FALSE(f3->isDirectory());
    ASSERT_NE(find(L"d1"), nullptr);
    EXPECT_TRUE(find(L"d1")->isDirectory());
    EXPECT_FALSE(find(L"d1")->isReparsePoint());
    EXPECT_NE(find(L"d1\\many_599_padding_name.dat"), nullptr);
    for (const auto& e : seen) EXPECT_NE(e.relativePath.find_first_of(L"/"), 0u);

    // Stopping early.
    int visits = 0;
    ASSERT_TRUE(DirectoryWalker::walk(root, [&](const DirectoryWalkEntry&) { return ++visits < 3; }, error));
    EXPECT_EQ(visits, 3);
}

TEST_F(PinnedTree, WalkerOrdersAndPassesOverFoldersItCannotOpen) {
    makeDir(root + L"\\a");
    makeDir(root + L"\\a\\inner");
    makeFile(root + L"\\a\\inner\\deep.txt");
    makeFile(root + L"\\a\\z.txt");
    makeDir(root + L"\\b");
    makeFile(root + L"\\b\\b.txt");
    makeFile(root + L"\\c.txt");
    const auto walkIn = [&](WalkOrder order, const DirectoryWalker::FolderErrorHandler& onError,
                            std::vector<std::wstring>& seen, DirectoryWalkError& error) {
        seen.clear();
        return DirectoryWalker::walk(root, [&](const DirectoryWalkEntry& e) {
            seen.push_back(e.relativePath);
            return true;
        }, onError, error, order);
    };
    std::vector<std::wstring> seen;
    DirectoryWalkError error;
    ASSERT_TRUE(walkIn(WalkOrder::DepthFirst, nullptr, seen, error));
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"a", L"a\\inner", L"a\\inner\\deep.txt", L"a\\z.txt", L"b",
                                               L"b\\b.txt", L"c.txt"}));
    // The other callers' order: a folder's entries before its subfolders'.
    ASSERT_TRUE(walkIn(WalkOrder::FoldersFirst, nullptr, seen, error));
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"a", L"b", L"c.txt", L"a\\inner", L"a\\z.txt", L"a\\inner\\deep.txt",
                                               L"b\\b.txt"}));

    // A folder held without sharing cannot be opened by the walk.
    ScopedHandle hold(CreateFileW(ext(root + L"\\a\\inner").c_str(), FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(hold);
    for (WalkOrder order : {WalkOrder::DepthFirst, WalkOrder::FoldersFirst}) {
        SCOPED_TRACE(order == WalkOrder::DepthFirst ? "depth first" : "folders first");
        std::vector<DirectoryWalkError> failures;
        const auto passOver = [&](const DirectoryWalkError& e) {
            failures.push_back(e);
            return true;
        };
        ASSERT_TRUE(walkIn(order, passOver, seen, error));
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].win32Error, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(failures[0].path, root + L"\\a\\inner");
        EXPECT_FALSE(failures[0].refused);
        EXPECT_EQ(seen.size(), 6u) << "everything but the folder's contents";
        EXPECT_EQ(std::count(seen.begin(), seen.end(), L"a\\inner\\deep.txt"), 0);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), L"b\\b.txt"), 1);
        // Without a handler, or one that says no, the walk fails there.
        EXPECT_FALSE(walkIn(order, [](const DirectoryWalkError&) { return false; }, seen, error));
        EXPECT_EQ(error.win32Error, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(error.path, root + L"\\a\\inner");
        EXPECT_FALSE(walkIn(order, nullptr, seen, error));
        EXPECT_EQ(error.win32Error, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
    }
}

TEST_F(PinnedTree, NameEndingInADotIsListedAndRefused) {
    // Only the extended-length form can make such a name; the rule refuses it.
    const std::wstring bad = root + L"\\bad.";
    makeFile(bad, "x");
    makeFile(root + L"\\good.txt");
    pin();
    std::vector<std::wstring> names;
    DirectoryWalkError walkError;
    ASSERT_TRUE(DirectoryWalker::walk(root, [&](const DirectoryWalkEntry& e) {
        names.push_back(e.relativePath);
        return true;
    }, walkError));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"bad.", L"good.txt"}));
    uint32_t error = 0;
    bool violation = false;
    EXPECT_FALSE(pinned.deleteEntry(bad, "bad.", error, violation));
    EXPECT_EQ(error, 123u);
    EXPECT_TRUE(violation);
    EXPECT_TRUE(exists(bad));
    // Cleared here: the scratch folder's own cleanup cannot name it.
    EXPECT_TRUE(DeleteFileW(ext(bad).c_str()));
}

TEST(Walker, MissingRootAndFileRoot) {
    ScratchDir dir;
    DirectoryWalkError error;
    EXPECT_FALSE(DirectoryWalker::walk(scratchPath(dir) + L"\\missing", [](const DirectoryWalkEntry&) { return true; },
                                       error));
    EXPECT_TRUE(error.win32Error == 2u || error.win32Error == 3u) << error.win32Error;
    makeFile(scratchPath(dir) + L"\\file");
    EXPECT_FALSE(DirectoryWalker::walk(scratchPath(dir) + L"\\file", [](const DirectoryWalkEntry&) { return true; },
                                       error));
    EXPECT_NE(error.win32Error, 0u);
}

TEST(Walker, VisitorExceptionIsAFailure) {
    ScratchDir dir;
    makeFile(scratchPath(dir) + L"\\x");
    DirectoryWalkError error;
    EXPECT_FALSE(DirectoryWalker::walk(scratchPath(dir), [](const DirectoryWalkEntry&) -> bool {
        throw std::runtime_error("boom");
    }, error));
    EXPECT_EQ(error.win32Error, 123u);
}

}  // namespace
}  // namespace korvel
