// What the handler trusts of the cache, the downloads and its own backups:
// only bytes that match the validated manifest reach the target, only what
// it backed up comes back, downloads are capped, duplicate entries are
// refused, stale temporaries go, and runs sharing a cache take turns.
#include <gtest/gtest.h>
#include <json/writer.h>

#include <chrono>
#include <cwctype>
#include <thread>

#include "common/UniqueResource.h"
#include "tests/support/ManifestSigning.h"
#include "tests/manifest/LoopbackServer.h"
#include "tests/manifest/ManifestHandlerTestSupport.h"

namespace korvel::test {
namespace {

class TrustTest : public HandlerTest {
protected:
    void writeTarget(const std::string& rel, const std::string& content) const {
        const fs::path p = targetDir / utf8ToPath(rel);
        fs::create_directories(p.parent_path());
        writeFile(p, content);
    }

    std::wstring publish(const std::vector<ManifestFile>& entries,
                         const std::map<std::string, std::string>& bodies) {
        Json::Value doc(Json::objectValue);
        doc["version"] = "1.0.0";
        doc["gameVersion"] = "1.0.0";
        doc["component"] = "client";
        Json::Value list(Json::arrayValue);
        for (const ManifestFile& e : entries) {
            Json::Value item(Json::objectValue);
            item["path"] = e.path;
            item["sha256"] = e.sha256;
            item["size"] = Json::UInt64(e.size);
            list.append(item);
            server.set("/cdn/files/" + e.sha256.substr(0, 8) + "/" + e.path, bodies.at(e.path));
        }
        doc["files"] = list;
        server.set("/manifest.json", signedManifestText(doc));
        return server.url("/manifest.json");
    }

    LoopbackServer server;
};

// The store can be changed by anyone between runs: bytes that are not the
// manifest's never replace a target file, whatever the store holds.
TEST_F(TrustTest, InstallRefusesBytesThatAreNotTheManifestsAndKeepsTheTarget) {
    writeTarget("a.txt", "old alpha");
    // Whole copy chunks of the manifest's bytes, then more: every byte
    // written matches, only the count tells.
    const std::string chunks(2 * FileOperations::kChunkSize, 'n');
    struct Case {
        const char* name;
        std::string content;
        std::string stored;
    } cases[] = {{"same size, other bytes", "new alpha", "bad alpha"},
                 {"longer", "new alpha", "new alpha and more"},
                 {"shorter", "new alpha", "new"},
                 {"the manifest's bytes and more", chunks, chunks + "more"}};
    for (const Case& c : cases) {
        const ManifestFile entry = makeEntry("a.txt", c.content);
        const fs::path source = scratch->path() / L"store.bin";
        writeFile(source, c.stored);
        ManifestHandler handler(L"http://cdn.invalid", cacheDir);
        StdoutCapture capture;
        EXPECT_EQ(handler.installFile(entry, source, targetDir), ErrorCode::FileHashMismatch) << c.name;
        EXPECT_EQ(readFile(targetDir / L"a.txt"), "old alpha") << c.name;
        EXPECT_TRUE(hasMessage(capture.events(), "Failed to copy file to target: a.txt", "ERROR")) << c.name;
    }
    // Nothing of the refused copies is left beside the target.
    EXPECT_EQ(std::distance(fs::directory_iterator(targetDir), fs::directory_iterator()), 1);
}

// A backup manifest edited on disk adds nothing to a rollback.
TEST_F(TrustTest, RollbackRestoresOnlyWhatWasBackedUp) {
    writeTarget("a.txt", "old alpha");
    const Manifest manifest = manifestOf({makeEntry("a.txt", "new alpha"), makeEntry("b.txt", "new bravo")});
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    ASSERT_EQ(handler.createBackup(manifest, targetDir.wstring(), id), ErrorCode::Success);
    const fs::path folder = cacheDir / L"backups" / id;

    // Planted: a copy for b.txt and an entry for it and for an outside path.
    writeFile(folder / L"b.txt", "planted bravo");
    writeFile(folder / L"c.txt", "planted charlie");
    writeFile(folder / L"backup_manifest.json",
              R"({"files":[{"relativePath":"a.txt"},{"relativePath":"b.txt"},{"relativePath":"c.txt"}]})");
    writeTarget("a.txt", "new alpha");
    StdoutCapture capture;
    ASSERT_EQ(handler.restoreBackup(id, targetDir.wstring()), ErrorCode::Success);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "old alpha");
    EXPECT_FALSE(fs::exists(targetDir / L"b.txt"));
    EXPECT_FALSE(fs::exists(targetDir / L"c.txt"));

    // A backup this handler did not make restores nothing.
    ManifestHandler other(L"http://cdn.invalid", cacheDir);
    writeTarget("a.txt", "newer alpha");
    EXPECT_EQ(other.restoreBackup(id, targetDir.wstring()), ErrorCode::FileNotFound);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "newer alpha");
}

// A backup copy is not held open while the run lasts: one changed after
// the backup is caught as the restore writes it, and the target stays.
TEST_F(TrustTest, BackupCopyChangedSinceTheBackupIsNotRestored) {
    writeTarget("a.txt", "old alpha");
    writeTarget("b.txt", "old bravo");
    const Manifest manifest = manifestOf({makeEntry("a.txt", "new alpha"), makeEntry("b.txt", "new bravo")});
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    ASSERT_EQ(handler.createBackup(manifest, targetDir.wstring(), id), ErrorCode::Success);
    writeFile(cacheDir / L"backups" / id / L"a.txt", "evil alpha");

    writeTarget("a.txt", "new alpha");
    writeTarget("b.txt", "new bravo");
    StdoutCapture capture;
    EXPECT_EQ(handler.restoreBackup(id, targetDir.wstring()), ErrorCode::FileHashMismatch);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "new alpha");
    EXPECT_EQ(readFile(targetDir / L"b.txt"), "old bravo");
    EXPECT_TRUE(hasMessage(capture.events(), "Backup copy no longer matches what was backed up: a.txt", "ERROR"));
}

// A target file that already holds its entry's bytes when it is backed up
// is not written again: the installation reads it once more through a
// handle that denies writing before it takes it as installed, so a change
// made in between is caught, and it ends as a copy would leave it.
TEST_F(TrustTest, TargetThatAlreadyMatchesIsCheckedAgainBeforeItIsKept) {
    writeTarget("a.txt", "new alpha");
    writeTarget("b.txt", "old bravo");
    const ManifestFile a = makeEntry("a.txt", "new alpha");
    const ManifestFile b = makeEntry("b.txt", "new bravo");
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    ASSERT_EQ(handler.createBackup(manifestOf({a, b}), targetDir.wstring(), id), ErrorCode::Success);

    // Another program tries to change the matching file in place.
    const fs::path target = targetDir / L"a.txt";
    {
        ScopedHandle writer(CreateFileW(target.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(writer && WriteFile(writer.get(), "plant", 5, &written, nullptr) && written == 5);
    }

    const fs::path sourceA = scratch->path() / L"store-a.bin";
    const fs::path sourceB = scratch->path() / L"store-b.bin";
    writeFile(sourceA, "new alpha");
    writeFile(sourceB, "new bravo");
    const auto stamp = fs::last_write_time(sourceA) - std::chrono::hours(50);
    fs::last_write_time(sourceA, stamp);
    StdoutCapture capture;
    ASSERT_EQ(handler.installFile(a, sourceA, targetDir), ErrorCode::Success);
    ASSERT_EQ(handler.installFile(b, sourceB, targetDir), ErrorCode::Success);
    EXPECT_EQ(readFile(target), "new alpha");
    EXPECT_EQ(fs::last_write_time(target), stamp);
    EXPECT_EQ(readFile(targetDir / L"b.txt"), "new bravo");
    EXPECT_TRUE(hasMessage(capture.events(), "Copying file: " + pathToUtf8(sourceA) + " -> " + pathToUtf8(target),
                           "DEBUG"));
}

// A target the backup found right, whose store file this run checked, is
// kept with the times that check read from the store file's own handle: the
// store file is not opened again for them. A target changed since is
// written from the store file, opened then; without that file it is left
// as it is and the installation fails.
TEST_F(TrustTest, KeptTargetTakesTheTimesItsCheckedStoreFileHad) {
    struct Case {
        const char* name;
        bool targetChangedAfterBackup;
        bool storeFileRemovedAfterCheck;
        ErrorCode result;
        const char* targetAfter;
    };
    for (const Case& c : {Case{"kept", false, false, ErrorCode::Success, "new alpha"},
                          Case{"kept, store file gone since its check", false, true, ErrorCode::Success, "new alpha"},
                          Case{"changed since the backup: copied", true, false, ErrorCode::Success, "new alpha"},
                          Case{"changed, store file gone", true, true, ErrorCode::FileNotFound, "plant alpha"}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(targetDir);
        fs::remove_all(cacheDir);
        writeTarget("a.txt", "new alpha");
        const ManifestFile a = makeEntry("a.txt", "new alpha");
        ManifestHandler handler(L"http://cdn.invalid", cacheDir);
        std::wstring id;
        ASSERT_EQ(handler.createBackup(manifestOf({a}), targetDir.wstring(), id), ErrorCode::Success);
        fs::path stored;
        handler.cachePathFor(a.sha256, stored);
        fs::create_directories(stored.parent_path());
        writeFile(stored, "new alpha");
        const auto stamp = fs::last_write_time(stored) - std::chrono::hours(50);
        fs::last_write_time(stored, stamp);
        StdoutCapture capture;
        ASSERT_EQ(handler.verifyFile(a, stored), ErrorCode::Success);
        const fs::path target = targetDir / L"a.txt";
        if (c.targetChangedAfterBackup) writeFile(target, "plant alpha");
        if (c.storeFileRemovedAfterCheck) fs::remove(stored);
        EXPECT_EQ(handler.installFile(a, stored, targetDir), c.result);
        EXPECT_EQ(readFile(target), c.targetAfter);
        if (c.result == ErrorCode::Success) {
            EXPECT_EQ(fs::last_write_time(target), stamp);
            EXPECT_TRUE(hasMessage(capture.events(), "File installed successfully: a.txt", "DEBUG"));
        } else {
            EXPECT_TRUE(hasMessage(capture.events(), "Failed to copy file to target: a.txt", "ERROR"));
        }
    }
}

// A matching target file that has another name elsewhere is replaced by a
// fresh copy: nothing of the file behind the other name changes.
TEST_F(TrustTest, MatchingTargetWithAnotherNameIsCopiedAfresh) {
    const fs::path outside = scratch->path() / L"outside.txt";
    writeFile(outside, "new alpha");
    const auto outsideTime = fs::last_write_time(outside) - std::chrono::hours(100);
    fs::last_write_time(outside, outsideTime);
    fs::create_directories(targetDir);
    const fs::path target = targetDir / L"a.txt";
    ASSERT_TRUE(CreateHardLinkW(target.c_str(), outside.c_str(), nullptr));
    const ManifestFile a = makeEntry("a.txt", "new alpha");
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    ASSERT_EQ(handler.createBackup(manifestOf({a}), targetDir.wstring(), id), ErrorCode::Success);
    const fs::path source = scratch->path() / L"store-a.bin";
    writeFile(source, "new alpha");
    StdoutCapture capture;
    ASSERT_EQ(handler.installFile(a, source, targetDir), ErrorCode::Success);
    EXPECT_EQ(readFile(target), "new alpha");
    EXPECT_EQ(fs::last_write_time(outside), outsideTime);
    EXPECT_EQ(fs::hard_link_count(outside), 1u);
}

// A rollback before the installation restores over the files found already
// installed too.
TEST_F(TrustTest, RollbackRestoresFilesFoundAlreadyInstalled) {
    writeTarget("a.txt", "new alpha");
    const ManifestFile a = makeEntry("a.txt", "new alpha");
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    std::wstring id;
    ASSERT_EQ(handler.createBackup(manifestOf({a}), targetDir.wstring(), id), ErrorCode::Success);
    StdoutCapture capture;
    EXPECT_EQ(handler.restoreBackup(id, targetDir.wstring()), ErrorCode::Success);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "new alpha");
}

TEST_F(TrustTest, DuplicateEntriesAreRefusedWith123) {
    const struct {
        const char* first;
        const char* second;
    } cases[] = {{"bin/app.dll", "bin/app.dll"}, {"bin/app.dll", "BIN/App.DLL"}, {"bin/app.dll", "bin\\app.dll"}};
    for (const auto& c : cases) {
        Manifest manifest = manifestOf({makeEntry(c.first, "one"), makeEntry(c.second, "two")});
        manifest.signature = signBytes(buildCanonicalSignedText(manifest));
        ManifestHandler handler(L"http://cdn.invalid", cacheDir);
        StdoutCapture capture;
        EXPECT_EQ(handler.validateManifest(manifest), ErrorCode::ManifestSchemaInvalid) << c.second;
        EXPECT_TRUE(hasMessage(capture.events(), std::string("Duplicate file path in manifest: ") + c.second, "ERROR"))
            << c.second;
    }
    Manifest distinct = manifestOf({makeEntry("bin/app.dll", "one"), makeEntry("bin/app2.dll", "two")});
    distinct.signature = signBytes(buildCanonicalSignedText(distinct));
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    // The signature check writes its two files into the cache folder.
    ASSERT_EQ(handler.initialize(), ErrorCode::Success);
    EXPECT_EQ(handler.validateManifest(distinct), ErrorCode::Success);
}

// A server sending more than the entry declares fills no disk: the
// download fails as too large, three times, with 161.
TEST_F(TrustTest, DownloadIsCappedAtTheDeclaredSize) {
    const ManifestFile entry = makeEntry("a.txt", "alpha");
    publish({entry}, {{"a.txt", std::string(100000, 'x')}});
    ManifestHandler handler(server.url("/cdn"), cacheDir);
    StdoutCapture capture;
    EXPECT_EQ(handler.downloadAllFiles(manifestOf({entry})), ErrorCode::DownloadFailed);
    int tooLarge = 0;
    for (const auto& e : capture.events()) {
        if (e.get("operation", "").asString() == "download" &&
            e.get("details", "").asString().rfind("File too large: ", 0) == 0) {
            ++tooLarge;
        }
    }
    EXPECT_EQ(tooLarge, 3);
    const fs::path temporary = cacheDir / L"a.txt.tmp";
    EXPECT_TRUE(!fs::exists(temporary) || fs::file_size(temporary) <= entry.size);
}

TEST_F(TrustTest, ManifestLargerThan32MiBIsRefused) {
    server.set("/big.json", std::string(33554433, ' '));
    ManifestHandler handler(server.url("/cdn"), cacheDir);
    ASSERT_EQ(handler.initialize(), ErrorCode::Success);
    Manifest manifest;
    StdoutCapture capture;
    EXPECT_EQ(handler.downloadManifest(server.url("/big.json"), manifest), ErrorCode::DownloadFailed);
}

TEST_F(TrustTest, StaleTemporariesOfTheInstalledFileAreRemoved) {
    writeTarget("a.txt", "old");
    writeTarget("a.txt.~0123abcd.tmp", "left by a killed copy");
    writeTarget("a.txt.~notours.tmp", "someone else's");
    writeTarget("b.txt.~0123abcd.tmp", "another file's");
    const ManifestFile entry = makeEntry("a.txt", "new");
    const fs::path source = scratch->path() / L"store.bin";
    writeFile(source, "new");
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    StdoutCapture capture;
    ASSERT_EQ(handler.installFile(entry, source, targetDir), ErrorCode::Success);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "new");
    EXPECT_FALSE(fs::exists(targetDir / L"a.txt.~0123abcd.tmp"));
    EXPECT_TRUE(fs::exists(targetDir / L"a.txt.~notours.tmp"));
    EXPECT_TRUE(fs::exists(targetDir / L"b.txt.~0123abcd.tmp"));
}

// Another run holding the cache's lock: this one says it waits, then
// gives up with 6 without touching the target; once the lock is free it
// goes on.
TEST_F(TrustTest, RunsSharingTheCacheTakeTurns) {
    const ManifestFile entry = makeEntry("a.txt", "alpha");
    const std::wstring url = publish({entry}, {{"a.txt", "alpha"}});
    const std::wstring name = ManifestHandler::cacheLockName(cacheDir);

    HANDLE acquired = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ScopedHandle acquiredOwner(acquired);
    ScopedHandle releaseOwner(release);
    std::thread other([&] {
        ScopedHandle mutex(CreateMutexW(nullptr, TRUE, name.c_str()));
        HeldMutex owned(mutex.get());
        SetEvent(acquired);
        WaitForSingleObject(release, INFINITE);
    });
    WaitForSingleObject(acquired, INFINITE);

    {
        ManifestHandler handler(server.url("/cdn"), cacheDir);
        handler.setCacheLockTimeout(std::chrono::milliseconds(300));
        StdoutCapture capture;
        EXPECT_EQ(handler.applyManifest(url, targetDir.wstring()), ErrorCode::Timeout);
        bool waited = false;
        for (const auto& e : capture.events()) {
            waited |= e.get("operation", "").asString() == "cache_lock" && e.get("status", "").asString() == "waiting";
        }
        EXPECT_TRUE(waited);
        EXPECT_FALSE(fs::exists(targetDir / L"a.txt"));
    }

    std::thread releaser([&] {
        Sleep(300);
        SetEvent(release);
    });
    ManifestHandler handler(server.url("/cdn"), cacheDir);
    handler.setCacheLockTimeout(std::chrono::milliseconds(60000));
    StdoutCapture capture;
    EXPECT_EQ(handler.applyManifest(url, targetDir.wstring()), ErrorCode::Success);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "alpha");
    releaser.join();
    other.join();
}

// One name for one target folder, however it is spelt, and another for
// another folder.
TEST_F(TrustTest, TheTargetLockIsNamedForTheFolder) {
    fs::create_directories(targetDir);
    const std::wstring name = ManifestHandler::targetLockName(targetDir.wstring());
    std::wstring upper = targetDir.wstring();
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    for (const std::wstring& spelling : {upper, targetDir.wstring() + L"\\", (targetDir / L"sub" / L"..").wstring()}) {
        EXPECT_EQ(ManifestHandler::targetLockName(spelling), name) << wideToUtf8(spelling);
    }
    EXPECT_NE(ManifestHandler::targetLockName((targetDir / L"missing").wstring()), name);
    EXPECT_EQ(ManifestHandler::targetLockName((targetDir / L"missing").wstring()),
              ManifestHandler::targetLockName((targetDir / L"MISSING").wstring()));
}

// Another run into the same target, whatever cache it uses: this one says
// it waits, then gives up with 6 before the backup, the target untouched.
TEST_F(TrustTest, RunsIntoOneTargetTakeTurns) {
    const ManifestFile entry = makeEntry("a.txt", "alpha");
    const std::wstring url = publish({entry}, {{"a.txt", "alpha"}});
    fs::create_directories(targetDir);
    const std::wstring name = ManifestHandler::targetLockName(targetDir.wstring());

    HANDLE acquired = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ScopedHandle acquiredOwner(acquired);
    ScopedHandle releaseOwner(release);
    std::thread other([&] {
        ScopedHandle mutex(CreateMutexW(nullptr, TRUE, name.c_str()));
        HeldMutex owned(mutex.get());
        SetEvent(acquired);
        WaitForSingleObject(release, INFINITE);
    });
    WaitForSingleObject(acquired, INFINITE);

    {
        ManifestHandler handler(server.url("/cdn"), cacheDir);
        handler.setTargetLockTimeout(std::chrono::milliseconds(300));
        StdoutCapture capture;
        EXPECT_EQ(handler.applyManifest(url, targetDir.wstring()), ErrorCode::Timeout);
        bool waited = false;
        bool backedUp = false;
        for (const auto& e : capture.events()) {
            waited |= e.get("operation", "").asString() == "target_lock" &&
                      e.get("status", "").asString() == "waiting" &&
                      e.get("details", "").asString() == wideToUtf8(targetDir.wstring());
            backedUp |= e.get("message", "").asString().rfind("Backup created with ID: ", 0) == 0;
        }
        EXPECT_TRUE(waited);
        EXPECT_FALSE(backedUp);
        EXPECT_FALSE(fs::exists(targetDir / L"a.txt"));
    }

    std::thread releaser([&] {
        Sleep(300);
        SetEvent(release);
    });
    ManifestHandler handler(server.url("/cdn"), cacheDir);
    StdoutCapture capture;
    EXPECT_EQ(handler.applyManifest(url, targetDir.wstring()), ErrorCode::Success);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "alpha");
    releaser.join();
    other.join();
}

}  // namespace
}  // namespace korvel::test
