#include "orphan/OrphanCleanup.h"

#include "common/ErrorCodes.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "common/Win32Util.h"
#include "tests/support/TestSupport.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace korvel {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;
using test::StdoutCapture;

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    test::writeFile(path, bytes);
}

std::vector<std::string> keysOf(const std::vector<InventoryEntry>& entries) {
    std::vector<std::string> out;
    for (const InventoryEntry& e : entries) out.push_back(e.key);
    return out;
}

InventoryEntry entry(const std::string& key, bool directory, uint64_t size = 0, bool link = false) {
    InventoryEntry e;
    e.key = key;
    e.isDirectory = directory;
    e.size = size;
    e.isReparsePoint = link;
    return e;
}

// Diagnostic lines of a capture at the given level, as "message|component".
std::vector<std::string> linesAt(const StdoutCapture& capture, const std::string& level) {
    std::vector<std::string> out;
    for (const Json::Value& ev : capture.events()) {
        if (ev["event_type"].asString() == "diagnostic" && ev["level"].asString() == level)
            out.push_back(ev["message"].asString() + "|" + ev["component"].asString());
    }
    return out;
}

TEST(OrphanKeys, KeyRuleUnifiesSeparatorsTrimsAndLowersAsciiOnly) {
    EXPECT_EQ(makeOrphanKey("Bin\\App.DLL"), "bin/app.dll");
    EXPECT_EQ(makeOrphanKey("/a/B/"), "a/b");
    EXPECT_EQ(makeOrphanKey("\\\\x\\\\"), "x");
    EXPECT_EQ(makeOrphanKey("\xC3\x84pfel.TXT"), "\xC3\x84pfel.txt");  // Ä keeps its case
    EXPECT_EQ(trimPathSeparators("//a\\b\\/"), "a\\b");
    EXPECT_EQ(trimPathSeparators("/\\"), "");
}

// Wine cannot make files with reparse tags other than links, so the
// classifier that decides "link or ordinary file" is tested on its own.
TEST(OrphanKeys, OnlyNameSurrogateReparseTagsMakeALink) {
    struct Case {
        uint32_t attributes;
        uint32_t tag;
        bool link;
        const char* what;
    } cases[] = {
        {FILE_ATTRIBUTE_NORMAL, 0, false, "plain file"},
        {FILE_ATTRIBUTE_DIRECTORY, 0, false, "plain folder"},
        {FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK, true, "symbolic link"},
        {FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_MOUNT_POINT, true, "junction"},
        {FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_SYMLINK, true, "folder link"},
        {FILE_ATTRIBUTE_REPARSE_POINT, 0x80000017u /* WOF: compressed system file */, false, "wof"},
        {FILE_ATTRIBUTE_REPARSE_POINT, 0x80000013u /* deduplicated */, false, "dedup"},
        {FILE_ATTRIBUTE_REPARSE_POINT, 0x9000601Au /* cloud placeholder */, false, "cloud"},
        {FILE_ATTRIBUTE_REPARSE_POINT, 0xC0000004u /* HSM */, false, "hsm"},
        {FILE_ATTRIBUTE_REPARSE_POINT, 0xA000001Du /* WSL symlink: a name surrogate */, true, "lx symlink"},
        {FILE_ATTRIBUTE_REPARSE_POINT, 0, true, "tag unknown: taken as a link"},
        {FILE_ATTRIBUTE_NORMAL, IO_REPARSE_TAG_SYMLINK, false, "tag without the attribute"},
    };
    for (const Case& c : cases) EXPECT_EQ(isLinkEntry(c.attributes, c.tag), c.link) << c.what;
}

TEST(OrphanKeys, AnExpectedFileWithAnotherReparseTagIsKeptALinkIsNot) {
    OrphanCleanup cleanup;
    InventoryEntry wof = entry("bin/app.dll", false, 4096);
    wof.isReparsePoint = isLinkEntry(FILE_ATTRIBUTE_REPARSE_POINT, 0x80000017u);
    InventoryEntry link = entry("bin/run.dll", false, 0);
    link.isReparsePoint = isLinkEntry(FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK);
    std::vector<InventoryEntry> files, dirs;
    StdoutCapture capture;
    cleanup.computeOrphans({entry("bin", true), wof, link}, {"bin/app.dll", "bin/run.dll"}, {}, files, dirs);
    EXPECT_EQ(keysOf(files), std::vector<std::string>{"bin/run.dll"});
    EXPECT_TRUE(dirs.empty());
}

std::string padded(std::string text, size_t size) {
    text.resize(size, ' ');
    return text;
}

TEST(OrphanExpected, ManifestReadingTable) {
    struct Case {
        const char* name;
        std::string text;  // empty: no file at all
        int code;
        std::vector<std::string> keys;
        std::string warning;
    } cases[] = {
        {"case and separator variants collapse",
         R"({"files":[{"file":"Bin\\App.DLL","path":"x"},{"file":"bin/app.dll"},{"file":"Data/x.bin"}]})", 0,
         {"bin/app.dll", "data/x.bin"}, ""},
        {"elements without a usable file are passed over",
         R"({"files":[null,{"path":"p"},{"file":""},{"file":7},{"file":"a.txt"}]})", 0, {"a.txt"}, ""},
        {"all elements without file give an empty set", R"({"files":[{"path":"p"},{"file":""}]})", 0, {}, ""},
        {"leading separator is unsafe", R"({"files":[{"file":"/bin/app.dll"}]})", 1, {},
         "Files manifest contains an unsafe relative path|orphan_cleanup"},
        {"trailing separator is unsafe", R"({"files":[{"file":"bin/app.dll/"}]})", 1, {},
         "Files manifest contains an unsafe relative path|orphan_cleanup"},
        {"one climbing entry fails the whole read", R"({"files":[{"file":"ok.txt"},{"file":"../x"}]})", 1, {},
         "Files manifest contains an unsafe relative path|orphan_cleanup"},
        {"escaped NUL", R"({"files":[{"file":"a\u0000b"}]})", 1, {},
         "Files manifest contains an escaped embedded NUL|orphan_cleanup"},
        {"no files array", R"({"file":[]})", 1, {}, "Files manifest missing 'files' array|orphan_cleanup"},
        {"files not an array", R"({"files":{}})", 1, {}, "Files manifest missing 'files' array|orphan_cleanup"},
        {"array at the root throws inside the library", R"([{"file":"a"}])", 4, {}, "Error reading manifest: "},
        {"element of another kind throws", R"({"files":["a.txt"]})", 4, {}, "Error reading manifest: "},
        {"not JSON", "{\"files\": [", 121, {}, "Failed to parse files manifest: "},
        {"missing file", "", 141, {}, "Failed to open files manifest|orphan_cleanup"},
        // A valid descriptor at the cap is read; one byte more is refused.
        {"33,554,432 bytes", padded(R"({"files":[{"file":"a.txt"}]})", 33554432), 0, {"a.txt"}, ""},
        {"33,554,433 bytes", padded(R"({"files":[{"file":"a.txt"}]})", 33554433), 121, {},
         "Failed to parse files manifest: larger than 33554432 bytes|orphan_cleanup"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const fs::path path = dir / L"files.json";
        if (!c.text.empty()) writeFile(path, c.text);
        OrphanCleanup cleanup;
        KeySet expected{"left/over"};
        StdoutCapture capture;
        const int code = cleanup.readExpectedFiles(path.wstring(), expected);
        EXPECT_EQ(code, c.code);
        if (c.code == 0) {
            EXPECT_EQ(std::vector<std::string>(expected.begin(), expected.end()), c.keys);
            EXPECT_TRUE(linesAt(capture, "WARNING").empty());
            EXPECT_EQ(linesAt(capture, "INFO").back(),
                      "Read " + std::to_string(c.keys.size()) + " expected files from manifest|");
        } else {
            EXPECT_EQ(expected, KeySet{"left/over"}) << "a failed read leaves the set alone";
            const std::vector<std::string> warnings = linesAt(capture, "WARNING");
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0].rfind(c.warning, 0), 0u) << warnings[0];
        }
    }
}

TEST(OrphanExpected, AFolderGivenAsTheManifestCannotBeRead) {
    ScratchDir dir;
    OrphanCleanup cleanup;
    KeySet expected;
    StdoutCapture capture;
    EXPECT_EQ(cleanup.readExpectedFiles(dir.path().wstring(), expected), 141);
    EXPECT_EQ(linesAt(capture, "WARNING"), std::vector<std::string>{"Failed to open files manifest|orphan_cleanup"});
}

// An apply of the target earlier in the plan: its manifest's files join the
// expected set, and the descriptor it read (the same path) comes from memory.
TEST(OrphanExpected, AnEarlierApplyOfTheTarget) {
    ScratchDir dir;
    const fs::path descriptor = dir / L"files.json";
    const fs::path other = dir / L"other.json";
    // On disk now: rewritten since the apply read it.
    writeFile(descriptor, R"({"files":[{"file":"rewritten.txt","path":"p"}]})");
    writeFile(other, R"({"files":[{"file":"Other/One.txt","path":"p"}]})");
    AppliedRelease applied;
    applied.manifestFiles = {"App.exe", "bin\\Core.dll", "data/unchanged.pak"};
    applied.readDescriptor = true;
    // The same file, named in another case and form.
    applied.descriptorPath = (dir / L"FILES.json").wstring();
    applied.descriptorNames = {"App.exe", "extra/Named.cfg"};
    AppliedRelease plain = applied;  // an apply that read no descriptor
    plain.readDescriptor = false;
    plain.descriptorPath.clear();
    plain.descriptorNames.clear();
    AppliedRelease unsafe = applied;
    unsafe.manifestFiles.push_back("../outside.txt");
    struct Case {
        const char* name;
        const AppliedRelease* earlier;
        fs::path manifest;
        int code;
        std::vector<std::string> keys;
    } cases[] = {
        {"same descriptor: the apply's reading, not the file", &applied, descriptor, 0,
         {"app.exe", "bin/core.dll", "data/unchanged.pak", "extra/named.cfg"}},
        {"another descriptor is read from disk", &applied, other, 0,
         {"app.exe", "bin/core.dll", "data/unchanged.pak", "other/one.txt"}},
        {"an apply without a descriptor", &plain, descriptor, 0,
         {"app.exe", "bin/core.dll", "data/unchanged.pak", "rewritten.txt"}},
        {"no earlier apply keeps to the descriptor", nullptr, descriptor, 0, {"rewritten.txt"}},
        {"an unsafe name from memory fails the read", &unsafe, descriptor, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OrphanCleanup cleanup;
        KeySet expected{"left/over"};
        StdoutCapture capture;
        EXPECT_EQ(cleanup.readExpectedFiles(c.manifest.wstring(), expected, c.earlier), c.code);
        const std::vector<std::string> info = linesAt(capture, "INFO");
        ASSERT_FALSE(info.empty());
        EXPECT_EQ(info.front(), "Reading expected files from: " + wideToUtf8(c.manifest.wstring()) + "|");
        if (c.code == 0) {
            EXPECT_EQ(std::vector<std::string>(expected.begin(), expected.end()), c.keys);
            EXPECT_EQ(info.back(), "Read " + std::to_string(c.keys.size()) + " expected files from manifest|");
            EXPECT_TRUE(linesAt(capture, "WARNING").empty());
        } else {
            EXPECT_EQ(expected, KeySet{"left/over"});
            EXPECT_EQ(linesAt(capture, "WARNING"),
                      std::vector<std::string>{"Files manifest contains an unsafe relative path|orphan_cleanup"});
        }
    }
}

TEST(OrphanSet, AllowlistOnlyForTheLauncherAndMatchedThreeWays) {
    OrphanCleanup cleanup;
    StdoutCapture capture;
    EXPECT_TRUE(cleanup.buildAllowlist(OrphanComponent::Client).empty());
    const KeySet launcher = cleanup.buildAllowlist(OrphanComponent::Launcher);
    EXPECT_EQ(launcher, (KeySet{"korvelelevated.exe", "korvelelevatedlauncher.exe", "korveluninstall.exe"}));
    EXPECT_EQ(linesAt(capture, "INFO"), (std::vector<std::string>{"Built allowlist with 0 entries for client|",
                                                                  "Built allowlist with 3 entries for launcher|"}));
    EXPECT_TRUE(OrphanCleanup::isAllowlisted("korvelelevated.exe", launcher));
    EXPECT_TRUE(OrphanCleanup::isAllowlisted("KorvelUninstall.EXE", launcher));
    EXPECT_TRUE(OrphanCleanup::isAllowlisted("tools/korvelelevated.exe", launcher));
    EXPECT_TRUE(OrphanCleanup::isAllowlisted("korvelelevated.exe/inner.txt", launcher));
    EXPECT_FALSE(OrphanCleanup::isAllowlisted("korvelelevated.exe.bak", launcher));
    EXPECT_FALSE(OrphanCleanup::isAllowlisted("tools", launcher));
    EXPECT_FALSE(OrphanCleanup::isAllowlisted("korvelelevated.exe", KeySet{}));
    EXPECT_STREQ(orphanComponentText(static_cast<OrphanComponent>(7)), "unknown");
}

TEST(OrphanSet, ExpectedDirectoriesArePrefixesBeforeEachSlash) {
    EXPECT_EQ(OrphanCleanup::expectedDirectories({"a/b/c.txt", "top.txt", "a/x.txt"}), (KeySet{"a", "a/b"}));
}

TEST(OrphanSet, OrphansOfATree) {
    OrphanCleanup cleanup;
    const std::vector<InventoryEntry> inventory = {
        entry("a", true),
        entry("a/b", true),
        entry("a/d", true),
        entry("a/b/c.txt", false, 3),
        entry("a/b/x.tmp", false, 5),
        entry("App.DLL", false, 9),                  // manifest says app.dll
        entry("\xC3\x84pfel.txt", false, 2),         // manifest says äpfel.txt
        entry("k", true),                            // manifest says k is a file
        entry("data", true, 0, true),                // a junction, though data/file.bin is listed
        entry("korvelelevated.exe", false, 0, true), // a link of an allowlisted name
        entry("tools", true),
        entry("tools/korvelelevated.exe", false, 4),
        entry("a/d/e", true),
        entry("a/d/e/f", true),
    };
    const KeySet expected = {"a/b/c.txt", "app.dll", "\xC3\xA4pfel.txt", "k", "data/file.bin"};
    const KeySet allowlist = {"korvelelevated.exe", "korvelelevatedlauncher.exe", "korveluninstall.exe"};
    std::vector<InventoryEntry> files, dirs;
    StdoutCapture capture;
    EXPECT_EQ(cleanup.computeOrphans(inventory, expected, allowlist, files, dirs), 0);
    EXPECT_EQ(keysOf(files), (std::vector<std::string>{"a/b/x.tmp", "korvelelevated.exe"}));
    EXPECT_EQ(files[0].size, 5u);
    EXPECT_EQ(keysOf(dirs), (std::vector<std::string>{"a/d/e/f", "a/d/e", "a/d", "k", "data", "tools"}));
    EXPECT_EQ(linesAt(capture, "INFO").front(),
              "Computing orphans from 14 observed items against 5 expected files|");
    EXPECT_EQ(linesAt(capture, "INFO").back(), "Found 2 orphan files and 6 orphan directories|");
}

TEST(OrphanSet, CaseInsensitiveSetCollapsesCaseAndSeparators) {
    const CaseInsensitivePathSet set = makeCaseInsensitivePathSet({"A\\B.txt", "a/b.TXT", "c"});
    EXPECT_EQ(set.size(), 2u);
    EXPECT_EQ(set.count(L"a/B.Txt"), 1u);
    EXPECT_TRUE(pathLessIgnoreCase(L"a", L"B"));
    EXPECT_FALSE(pathLessIgnoreCase(L"b", L"A"));
}

TEST(OrphanInventory, WalksTheTreeIntoKeysSizesAndKinds) {
    ScratchDir dir;
    const fs::path target = dir / L"Target";
    writeFile(target / L"Bin" / L"App.DLL", "12345");
    writeFile(target / L"readme.txt", "r");
    fs::create_directories(target / L"Empty");
    writeFile(target / L"Bin" / L"Deep" / L"x.bin", std::string(1000, 'x'));
    OrphanCleanup cleanup;
    std::vector<InventoryEntry> inventory;
    StdoutCapture capture;
    ASSERT_EQ(cleanup.buildLocalInventory(target.wstring(), inventory), 0);
    std::vector<std::string> seen;
    for (const InventoryEntry& e : inventory) {
        seen.push_back(e.key + (e.isDirectory ? "/" : "") + ":" + std::to_string(e.size));
        EXPECT_FALSE(e.isReparsePoint);
        std::wstring relative = utf8ToUtf16(e.key);
        std::replace(relative.begin(), relative.end(), L'/', L'\\');
        EXPECT_TRUE(samePath(e.fullPath, target.wstring() + L"\\" + relative)) << wideToUtf8(e.fullPath);
    }
    // Depth first: a folder, then its contents, then its next sibling.
    EXPECT_EQ(seen, (std::vector<std::string>{"bin/:0", "bin/app.dll:5", "bin/deep/:0", "bin/deep/x.bin:1000",
                                              "empty/:0", "readme.txt:1"}));
    EXPECT_EQ(linesAt(capture, "INFO").back(), "Found 6 items in local inventory|");
}

TEST(OrphanInventory, NestedTreeIsWalkedDepthFirstInListingOrder) {
    ScratchDir dir;
    const fs::path target = dir / L"Target";
    for (const wchar_t* file : {L"a\\a1\\deep.txt", L"a\\a2.txt", L"a\\a3\\x\\y.txt", L"b.txt", L"c\\c1.txt"})
        writeFile(target / file, "x");
    fs::create_directories(target / L"a" / L"a0");
    // The order of one folder's entries is the listing's.
    std::vector<std::string> listed;
    for (const auto& e : fs::directory_iterator(target / L"a")) listed.push_back(wideToUtf8(e.path().filename()));
    ASSERT_EQ(listed, (std::vector<std::string>{"a0", "a1", "a2.txt", "a3"})) << "the listing order this test expects";
    OrphanCleanup cleanup;
    std::vector<InventoryEntry> inventory;
    StdoutCapture capture;
    ASSERT_EQ(cleanup.buildLocalInventory(target.wstring(), inventory), 0);
    EXPECT_EQ(keysOf(inventory), (std::vector<std::string>{"a", "a/a0", "a/a1", "a/a1/deep.txt", "a/a2.txt", "a/a3",
                                                           "a/a3/x", "a/a3/x/y.txt", "b.txt", "c", "c/c1.txt"}));
}

// Wine neither enforces nor reads back ACLs, so a folder that denies access
// cannot be made there: a folder held open without any sharing (which the
// walk then cannot open) stands in for one, its error reported as the
// system reports a denial.
TEST(OrphanInventory, AFolderThatDeniesAccessIsSkippedAndTheWalkGoesOn) {
    ScratchDir dir;
    const fs::path target = dir / L"Target";
    for (const wchar_t* file : {L"a\\a.txt", L"b\\b.txt", L"b\\inner\\i.txt", L"c\\c.txt"})
        writeFile(target / file, "x");
    ScopedHandle hold(CreateFileW((target / L"b").c_str(), FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(hold);
    struct Case {
        const char* name;
        uint32_t reported;  // what the walk's failure on "b" is reported as
        bool refused;
        std::vector<std::string> keys;
        std::vector<std::string> warnings;
    } cases[] = {
        {"access denied: skipped, the rest is walked", ERROR_ACCESS_DENIED, false,
         {"a", "a/a.txt", "b", "c", "c/c.txt"}, {}},
        {"another error ends the walk", ERROR_SHARING_VIOLATION, false, {"a", "a/a.txt", "b"},
         {"Directory inventory entry failed: " + wideToUtf8(formatWin32Error(ERROR_SHARING_VIOLATION)) + "|"}},
        {"the walk's own refusal (not a folder, a link) ends the walk", ERROR_ACCESS_DENIED, true,
         {"a", "a/a.txt", "b"},
         {"Directory inventory entry failed: " + wideToUtf8(formatWin32Error(ERROR_SHARING_VIOLATION)) + "|"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OrphanCleanup cleanup;
        int failures = 0;
        cleanup.inventoryWalk = [&](const std::wstring& root, const DirectoryWalker::Visitor& visit,
                                    const DirectoryWalker::FolderErrorHandler& onFolderError,
                                    DirectoryWalkError& error) {
            return DirectoryWalker::walk(
                root, visit,
                [&](const DirectoryWalkError& failure) {
                    ++failures;
                    EXPECT_EQ(failure.win32Error, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
                    DirectoryWalkError reported = failure;
                    reported.win32Error = c.reported;
                    reported.refused = c.refused;
                    return onFolderError(reported);
                },
                error, WalkOrder::DepthFirst);
        };
        std::vector<InventoryEntry> inventory;
        StdoutCapture capture;
        EXPECT_EQ(cleanup.buildLocalInventory(target.wstring(), inventory), 0);
        EXPECT_EQ(failures, 1);
        EXPECT_EQ(keysOf(inventory), c.keys);
        EXPECT_EQ(linesAt(capture, "WARNING"), c.warnings);
        EXPECT_EQ(linesAt(capture, "INFO").back(),
                  "Found " + std::to_string(c.keys.size()) + " items in local inventory|");
    }
}

TEST(OrphanInventory, MissingTargetGivesAnEmptyInventory) {
    ScratchDir dir;
    OrphanCleanup cleanup;
    std::vector<InventoryEntry> inventory = {entry("stale", false)};
    StdoutCapture capture;
    EXPECT_EQ(cleanup.buildLocalInventory((dir / L"none").wstring(), inventory), 0);
    EXPECT_TRUE(inventory.empty());
    EXPECT_EQ(linesAt(capture, "WARNING"),
              std::vector<std::string>{"Target path does not exist: " + wideToUtf8((dir / L"none").wstring()) + "|"});
}

TEST(OrphanInventory, ATargetThatIsAFileCannotBeScanned) {
    ScratchDir dir;
    writeFile(dir / L"file", "x");
    OrphanCleanup cleanup;
    std::vector<InventoryEntry> inventory;
    StdoutCapture capture;
    EXPECT_EQ(cleanup.buildLocalInventory((dir / L"file").wstring(), inventory), 4);
    const std::vector<std::string> warnings = linesAt(capture, "WARNING");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind("Failed to start directory scan: ", 0), 0u) << warnings[0];
}

}  // namespace
}  // namespace korvel
