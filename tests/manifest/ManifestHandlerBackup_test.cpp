// Backups of the target before an update and the rollback from them: the
// backup manifest as written on disk, which files are kept, purging of
// older backups, restoring (also past a failing file) and clean-up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <set>

#include "common/UniqueResource.h"
#include "tests/manifest/ManifestHandlerTestSupport.h"

namespace korvel::test {
namespace {

class BackupTest : public HandlerTest {
protected:
    fs::path backupDir(const std::wstring& id) const { return cacheDir / L"backups" / id; }

    void writeTarget(const std::string& rel, const std::string& content) const {
        const fs::path p = targetDir / utf8ToPath(rel);
        fs::create_directories(p.parent_path());
        writeFile(p, content);
    }
};

// An exclusive handle: nobody else can open the file while it is held.
class HeldOpen {
public:
    explicit HeldOpen(const fs::path& path)
        : h_(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    bool valid() const { return h_.valid(); }

private:
    ScopedHandle h_;
};

TEST_F(BackupTest, BackupManifestIsWrittenExactlyAsTheJsonWriterFormatsIt) {
    ManifestFile a;
    a.path = "bin/app.dll";
    a.sha256 = std::string(64, 'a');
    a.size = 5;
    ManifestFile b;
    b.path = "data/caf\xC3\xA9.pak";
    b.sha256 = std::string(64, 'B');
    b.size = 2147483648ULL;
    b.isRequired = false;
    Manifest manifest = manifestOf({a, b});
    manifest.version = "1.2.3";
    manifest.gameVersion = "";

    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    const fs::path folder = scratch->path() / L"bk";
    fs::create_directories(folder);
    ASSERT_EQ(handler.writeBackupManifest(manifest, folder), ErrorCode::Success);

    std::string text = readFile(folder / L"backup_manifest.json");
    const std::regex timeValue("\"backupTime\" : \"([0-9]+)\"");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text, match, timeValue)) << text;
    const long long written = std::stoll(match[1].str());
    EXPECT_LE(std::llabs(written - static_cast<long long>(std::time(nullptr))), 5);
    text = std::regex_replace(text, timeValue, "\"backupTime\" : \"T\"");

    const std::string expected =
        "{\r\n"
        "  \"backupTime\" : \"T\",\r\n"
        "  \"files\" : \r\n"
        "  [\r\n"
        "    {\r\n"
        "      \"relativePath\" : \"bin/app.dll\",\r\n"
        "      \"sha256Hash\" : \"" + std::string(64, 'a') + "\",\r\n"
        "      \"size\" : 5\r\n"
        "    },\r\n"
        "    {\r\n"
        "      \"relativePath\" : \"data/caf\\u00e9.pak\",\r\n"
        "      \"sha256Hash\" : \"" + std::string(64, 'B') + "\",\r\n"
        "      \"size\" : 2147483648\r\n"
        "    }\r\n"
        "  ],\r\n"
        "  \"gameVersion\" : \"\",\r\n"
        "  \"version\" : \"1.2.3\"\r\n"
        "}";
    EXPECT_EQ(text, expected);
}

TEST_F(BackupTest, BackupManifestThatCannotBeOpenedGives140) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    const fs::path folder = scratch->path() / L"bk";
    fs::create_directories(folder / L"backup_manifest.json");
    EXPECT_EQ(handler.writeBackupManifest(manifestOf({makeEntry("a", "a")}), folder), ErrorCode::FileAccessDenied);
}

TEST_F(BackupTest, BackupKeepsExistingTargetFilesOnlyAndListsEveryEntry) {
    writeTarget("a.txt", "old alpha");
    writeTarget("sub/b.txt", "old bravo");
    fs::create_directories(targetDir / L"dir.txt");  // a folder is not backed up
    const Manifest manifest = manifestOf({makeEntry("a.txt", "new alpha"), makeEntry("sub/b.txt", "new bravo"),
                                          makeEntry("added.txt", "new"), makeEntry("dir.txt", "x")});

    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    StdoutCapture capture;
    ASSERT_EQ(handler.createBackup(manifest, targetDir.wstring(), id), ErrorCode::Success);
    EXPECT_TRUE(std::regex_match(wideToUtf8(id), std::regex("[0-9]{8}_[0-9]{6}"))) << wideToUtf8(id);
    EXPECT_TRUE(hasMessage(capture.events(), "Backup created with ID: " + wideToUtf8(id) + " (backed up 2 files)",
                           "INFO"));
    EXPECT_EQ(readFile(backupDir(id) / L"a.txt"), "old alpha");
    EXPECT_EQ(readFile(backupDir(id) / L"sub" / L"b.txt"), "old bravo");
    EXPECT_FALSE(fs::exists(backupDir(id) / L"added.txt"));
    EXPECT_FALSE(fs::exists(backupDir(id) / L"dir.txt"));

    const Json::Value written = parseJsonFile(backupDir(id) / L"backup_manifest.json");
    ASSERT_EQ(written["files"].size(), 4u);
    EXPECT_EQ(written["files"][2]["relativePath"].asString(), "added.txt");
    EXPECT_EQ(written["files"][0]["sha256Hash"].asString(), manifest.files[0].sha256);
}

TEST_F(BackupTest, EmptyTargetBacksUpNothing) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    StdoutCapture capture;
    ASSERT_EQ(handler.createBackup(manifestOf({makeEntry("a.txt", "a")}), targetDir.wstring(), id),
              ErrorCode::Success);
    EXPECT_TRUE(hasMessage(capture.events(), "Backup created with ID: " + wideToUtf8(id) + " (backed up 0 files)"));
    EXPECT_TRUE(fs::exists(backupDir(id) / L"backup_manifest.json"));
}

TEST_F(BackupTest, SessionFilterCountsSkippedEntries) {
    std::vector<ManifestFile> files;
    for (int i = 0; i < 5; ++i) {
        const std::string rel = "f" + std::to_string(i) + ".txt";
        writeTarget(rel, "old");
        files.push_back(makeEntry(rel, "new"));
    }
    const std::set<std::string> session = {"f1.txt", "f3.txt"};
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    StdoutCapture capture;
    ASSERT_EQ(handler.createBackup(manifestOf(files), targetDir.wstring(), id, &session), ErrorCode::Success);
    EXPECT_TRUE(hasMessage(capture.events(), "Backup created with ID: " + wideToUtf8(id) +
                                                 " (backed up 2 files, skipped 3 unchanged)"));
    EXPECT_TRUE(fs::exists(backupDir(id) / L"f1.txt"));
    EXPECT_FALSE(fs::exists(backupDir(id) / L"f0.txt"));
}

TEST_F(BackupTest, UnsafePathRefusesTheBackupBeforeAnythingIsTouched) {
    fs::create_directories(backupDir(L"20200101_000000"));
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    StdoutCapture capture;
    EXPECT_EQ(handler.createBackup(manifestOf({makeEntry("ok.txt", "a"), makeEntry("../x.txt", "b")}),
                                   targetDir.wstring(), id),
              ErrorCode::InvalidArguments);
    EXPECT_TRUE(id.empty());
    EXPECT_TRUE(hasMessage(capture.events(), "Refusing unsafe backup path", "ERROR"));
    EXPECT_TRUE(fs::exists(backupDir(L"20200101_000000")));  // not even purged
}

TEST_F(BackupTest, FailingCopyFailsTheBackup) {
    writeTarget("a.txt", "old alpha");
    writeTarget("b.txt", "old bravo");
    HeldOpen held(targetDir / L"b.txt");
    ASSERT_TRUE(held.valid());
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    StdoutCapture capture;
    EXPECT_NE(handler.createBackup(manifestOf({makeEntry("a.txt", "a"), makeEntry("b.txt", "b")}),
                                   targetDir.wstring(), id),
              ErrorCode::Success);
    EXPECT_TRUE(hasMessage(capture.events(), "Failed to back up file: b.txt", "ERROR"));
    EXPECT_FALSE(hasMessagePrefix(capture.events(), "Backup created with ID"));
}

TEST_F(BackupTest, NewBackupPurgesOlderOnesButNotLooseFiles) {
    const fs::path older = backupDir(L"20200101_000000");
    fs::create_directories(older / L"sub");
    writeFile(older / L"sub" / L"x.txt", "kept from an old failed run");
    setReadOnlyFlag(older / L"sub" / L"x.txt", true);
    const fs::path loose = cacheDir / L"backups" / L"note.txt";
    writeFile(loose, "not a backup");

    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    StdoutCapture capture;
    ASSERT_EQ(handler.createBackup(manifestOf({makeEntry("a.txt", "a")}), targetDir.wstring(), id),
              ErrorCode::Success);
    EXPECT_FALSE(fs::exists(older));
    EXPECT_TRUE(fs::exists(loose));
    EXPECT_TRUE(fs::exists(backupDir(id)));
    EXPECT_TRUE(hasMessage(capture.events(), "Purged 1 stale backup(s)", "INFO"));
    EXPECT_TRUE(hasMessage(capture.events(), "Purged stale backup: 20200101_000000", "DEBUG"));
}

TEST_F(BackupTest, RestorePutsOldContentBackAndLeavesAddedFiles) {
    writeTarget("a.txt", "old alpha");
    writeTarget("sub/b.txt", "old bravo");
    const Manifest manifest = manifestOf({makeEntry("a.txt", "new alpha"), makeEntry("sub/b.txt", "new bravo"),
                                          makeEntry("added.txt", "new")});
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    ASSERT_EQ(handler.createBackup(manifest, targetDir.wstring(), id), ErrorCode::Success);

    writeTarget("a.txt", "new alpha");
    writeTarget("sub/b.txt", "new bravo, now read-only");
    setReadOnlyFlag(targetDir / L"sub" / L"b.txt", true);
    writeTarget("added.txt", "new");

    StdoutCapture capture;
    ASSERT_EQ(handler.restoreBackup(id, targetDir.wstring()), ErrorCode::Success);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "old alpha");
    EXPECT_EQ(readFile(targetDir / L"sub" / L"b.txt"), "old bravo");
    EXPECT_EQ(readFile(targetDir / L"added.txt"), "new");
    EXPECT_TRUE(hasMessage(capture.events(), "Backup restored successfully", "INFO"));
    EXPECT_TRUE(fs::exists(backupDir(id) / L"a.txt"));  // the backup stays
}

TEST_F(BackupTest, RestoreGoesOnPastAFailingFileButReportsFailure) {
    writeTarget("a.txt", "old alpha");
    writeTarget("b.txt", "old bravo");
    writeTarget("c.txt", "old charlie");
    const Manifest manifest =
        manifestOf({makeEntry("a.txt", "1"), makeEntry("b.txt", "2"), makeEntry("c.txt", "3")});
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    ASSERT_EQ(handler.createBackup(manifest, targetDir.wstring(), id), ErrorCode::Success);

    writeTarget("a.txt", "1");
    writeTarget("b.txt", "2");
    writeTarget("c.txt", "3");
    HeldOpen held(targetDir / L"b.txt");
    ASSERT_TRUE(held.valid());

    StdoutCapture capture;
    EXPECT_EQ(handler.restoreBackup(id, targetDir.wstring()), ErrorCode::FileAccessDenied);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "old alpha");
    EXPECT_EQ(readFile(targetDir / L"c.txt"), "old charlie");
    EXPECT_TRUE(hasMessage(capture.events(), "Failed to restore file: b.txt", "ERROR"));
    EXPECT_FALSE(hasMessage(capture.events(), "Backup restored successfully"));
}

TEST_F(BackupTest, RestoreRefusesBadIdsAndMissingFolders) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    StdoutCapture capture;
    for (const wchar_t* id : {L"..\\outside", L"../outside", L"", L"C:\\x", L"a/../../b"}) {
        EXPECT_EQ(handler.restoreBackup(id, targetDir.wstring()), ErrorCode::InvalidArguments);
        EXPECT_EQ(handler.cleanupBackup(id), ErrorCode::InvalidArguments);
    }
    EXPECT_TRUE(hasMessage(capture.events(), "Invalid backup ID", "ERROR"));
    EXPECT_EQ(handler.restoreBackup(L"20200101_000000", targetDir.wstring()), ErrorCode::FileNotFound);
    EXPECT_TRUE(hasMessagePrefix(capture.events(), "Backup directory not found: ", "ERROR"));
    EXPECT_EQ(handler.cleanupBackup(L"20200101_000000"), ErrorCode::Success);
}

TEST_F(BackupTest, RestoreFromHostileBackupManifests) {
    // Only what the handler backed up can come back; b.txt was planted.
    writeTarget("a.txt", "from backup");
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    ASSERT_EQ(handler.createBackup(manifestOf({makeEntry("a.txt", "new")}), targetDir.wstring(), id),
              ErrorCode::Success);
    writeTarget("a.txt", "current");
    const fs::path folder = backupDir(id);
    writeFile(folder / L"b.txt", "from backup b");
    const fs::path file = folder / L"backup_manifest.json";

    // An embedded NUL anywhere stops everything.
    writeFile(file, R"({"files":[{"relativePath":"a.txt"},{"relativePath":"x\u0000y"}]})");
    EXPECT_EQ(handler.restoreFromBackupManifest(file, targetDir.wstring()), ErrorCode::InvalidArguments);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "current");

    // An unsafe path stops at its element; earlier ones are back.
    writeFile(file, R"({"files":[{"relativePath":"a.txt"},{"relativePath":"../b.txt"},{"relativePath":"b.txt"}]})");
    StdoutCapture capture;
    EXPECT_EQ(handler.restoreFromBackupManifest(file, targetDir.wstring()), ErrorCode::InvalidArguments);
    EXPECT_TRUE(hasMessage(capture.events(), "Backup manifest contains an unsafe path", "ERROR"));
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "from backup");
    EXPECT_FALSE(fs::exists(targetDir / L"b.txt"));
    EXPECT_FALSE(fs::exists(scratch->path() / L"b.txt"));

    // No "files" array: nothing to do.
    writeFile(file, R"({"version":"1.0.0"})");
    EXPECT_EQ(handler.restoreFromBackupManifest(file, targetDir.wstring()), ErrorCode::Success);

    // Not JSON: the error carries the parser's text.
    writeFile(file, "{ not json");
    EXPECT_THROW(handler.restoreFromBackupManifest(file, targetDir.wstring()), std::runtime_error);

    EXPECT_EQ(handler.restoreFromBackupManifest(folder / L"missing.json", targetDir.wstring()),
              ErrorCode::FileAccessDenied);
}

TEST_F(BackupTest, CleanupRemovesTheBackupEvenWithReadOnlyCopies) {
    writeTarget("ro.txt", "old");
    setReadOnlyFlag(targetDir / L"ro.txt", true);
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    ASSERT_EQ(handler.createBackup(manifestOf({makeEntry("ro.txt", "new")}), targetDir.wstring(), id),
              ErrorCode::Success);
    ASSERT_TRUE(fs::exists(backupDir(id) / L"ro.txt"));
    EXPECT_EQ(handler.cleanupBackup(id), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(backupDir(id)));
    EXPECT_TRUE(isReadOnly(targetDir / L"ro.txt"));  // the target is not touched
}

}  // namespace
}  // namespace korvel::test
