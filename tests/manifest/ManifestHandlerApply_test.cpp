// The whole apply flow in one process, against a small HTTP server on the
// loopback address run by the test itself: the cases that need a file held
// open by the test (a backup that cannot be taken, an exception in the file
// passes), which the end-to-end tests cannot arrange from the host.
#include <gtest/gtest.h>

#include <algorithm>
#include <json/writer.h>
#include <winsock2.h>

#include <stdlib.h>

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tests/support/ManifestSigning.h"
#include "tests/manifest/ManifestHandlerTestSupport.h"
#include "tests/manifest/LoopbackServer.h"

namespace korvel::test {
namespace {

class ApplyTest : public HandlerTest {
protected:
    // Serves the files and a legacy manifest listing them; returns the
    // manifest's URL.
    std::wstring publish(const std::vector<std::pair<std::string, std::string>>& files,
                         const std::map<std::string, std::string>& servedInstead = {}) {
        Json::Value doc(Json::objectValue);
        doc["version"] = "1.0.0";
        doc["gameVersion"] = "1.0.0";
        doc["component"] = "client";
        Json::Value list(Json::arrayValue);
        for (const auto& [rel, content] : files) {
            const ManifestFile e = makeEntry(rel, content);
            Json::Value item(Json::objectValue);
            item["path"] = rel;
            item["sha256"] = e.sha256;
            item["size"] = Json::UInt64(e.size);
            list.append(item);
            auto other = servedInstead.find(rel);
            server.set("/cdn/files/" + e.sha256.substr(0, 8) + "/" + rel,
                       other != servedInstead.end() ? other->second : content);
        }
        doc["files"] = list;
        server.set("/manifest.json", signedManifestText(doc));
        return server.url("/manifest.json");
    }

    void writeTarget(const std::string& rel, const std::string& content) const {
        const fs::path p = targetDir / utf8ToPath(rel);
        fs::create_directories(p.parent_path());
        writeFile(p, content);
    }

    static std::vector<std::string> processingStatuses(const std::vector<Json::Value>& events) {
        std::vector<std::string> out;
        for (const auto& e : events) {
            if (e.get("operation", "").asString() == "manifest_processing") out.push_back(e["status"].asString());
        }
        return out;
    }

    // A target with a.txt (oldA) and sub/b.txt, and a manifest that replaces
    // both, then adds two files.
    std::wstring publishOverOldTree(const std::string& oldA) {
        writeTarget("a.txt", oldA);
        writeTarget("sub/b.txt", "old bravo");
        return publish({{"a.txt", "new alpha"},
                        {"sub/b.txt", "new bravo"},
                        {"added/c.txt", "added charlie"},
                        {"d.txt", "new delta"}});
    }

    size_t fileRequests() {
        size_t n = 0;
        for (const auto& r : server.requests()) n += r.rfind("/cdn/files/", 0) == 0 ? 1 : 0;
        return n;
    }

    LoopbackServer server;
};

TEST_F(ApplyTest, AppliesAndLeavesNoBackup) {
    const std::wstring url = publish({{"a.txt", "alpha"}, {"sub/b.txt", "bravo"}});
    ManifestHandler handler(server.url("/cdn"), cacheDir);
    StdoutCapture capture;
    ASSERT_EQ(handler.applyManifest(url, targetDir.wstring()), ErrorCode::Success);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "alpha");
    EXPECT_EQ(readFile(targetDir / L"sub" / L"b.txt"), "bravo");
    EXPECT_EQ(processingStatuses(capture.events()), (std::vector<std::string>{"starting", "completed"}));
    EXPECT_TRUE(fs::is_empty(cacheDir / L"backups"));
}

// No update goes on without its backup: a target file that cannot be
// copied stops the run before anything is fetched or replaced.
TEST_F(ApplyTest, BackupThatFailsStopsTheRunWith125) {
    writeTarget("a.txt", "old alpha");
    writeTarget("b.txt", "old bravo");
    const std::wstring url = publish({{"a.txt", "new alpha"}, {"b.txt", "new bravo"}});
    ScopedHandle held(
        CreateFileW((targetDir / L"b.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());

    ErrorCode result;
    std::vector<Json::Value> events;
    {
        ManifestHandler handler(server.url("/cdn"), cacheDir);
        StdoutCapture capture;
        result = handler.applyManifest(url, targetDir.wstring());
        events = capture.events();
    }
    held.reset();

    EXPECT_EQ(result, ErrorCode::ManifestApplyFailed);
    EXPECT_EQ(processingStatuses(events), (std::vector<std::string>{"starting", "processing_failed"}));
    EXPECT_EQ(fileRequests(), 0u);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "old alpha");
    EXPECT_EQ(readFile(targetDir / L"b.txt"), "old bravo");
    EXPECT_FALSE(hasMessage(events, "Failed to create backup, continuing without backup"));
    EXPECT_TRUE(fs::is_empty(cacheDir / L"backups"));  // the useless partial copy is gone
}

// An exception in the file passes still rolls back and reports the failed
// run before it reaches the command.
TEST_F(ApplyTest, ExceptionInTheFilePassesRollsBackThenPropagates) {
    writeTarget("a.txt", "old alpha");
    const std::wstring url = publish({{"a.txt", "new alpha"}, {"b.txt", "new bravo"}}, {{"b.txt", "bad bravo"}});
    // The download of b.txt fails its hash check, and its temporary file
    // cannot be deleted while this handle lacks delete sharing.
    const fs::path temporary = cacheDir / L"b.txt.tmp";
    fs::create_directories(cacheDir);
    ScopedHandle held(CreateFileW(temporary.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(held.valid());

    bool threw = false;
    std::vector<Json::Value> events;
    {
        ManifestHandler handler(server.url("/cdn"), cacheDir);
        StdoutCapture capture;
        try {
            handler.applyManifest(url, targetDir.wstring());
        } catch (const std::filesystem::filesystem_error&) {
            threw = true;
        }
        events = capture.events();
    }
    held.reset();

    EXPECT_TRUE(threw);
    EXPECT_EQ(processingStatuses(events), (std::vector<std::string>{"starting", "processing_failed"}));
    EXPECT_TRUE(hasMessage(events, "Attempting rollback...", "INFO"));
    EXPECT_TRUE(hasMessage(events, "Backup restored successfully", "INFO"));
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "old alpha");
}

// An exception after files were replaced and added: the rollback gives
// every replaced file its old bytes, takes the added ones away, and the
// exception still reaches the command.
TEST_F(ApplyTest, ExceptionAfterFilesWereReplacedRestoresEveryByteThenPropagates) {
    const std::string oldA(70000, 'a');
    const std::wstring url = publishOverOldTree(oldA);
    std::vector<std::string> installed;
    bool threw = false;
    std::vector<Json::Value> events;
    {
        ManifestHandler handler(server.url("/cdn"), cacheDir);
        handler.setInstallObserver([&installed](const std::string& path) {
            installed.push_back(path);
            if (installed.size() == 3) throw std::runtime_error("stopped after three files");
        });
        StdoutCapture capture;
        try {
            handler.applyManifest(url, targetDir.wstring());
        } catch (const std::runtime_error& e) {
            threw = std::string(e.what()) == "stopped after three files";
        }
        events = capture.events();
    }

    EXPECT_TRUE(threw);
    EXPECT_EQ(installed, (std::vector<std::string>{"a.txt", "sub/b.txt", "added/c.txt"}));
    EXPECT_EQ(processingStatuses(events), (std::vector<std::string>{"starting", "processing_failed"}));
    EXPECT_TRUE(hasMessage(events, "Backup restored successfully", "INFO"));
    EXPECT_EQ(readFile(targetDir / L"a.txt"), oldA);
    EXPECT_EQ(readFile(targetDir / L"sub" / L"b.txt"), "old bravo");
    EXPECT_FALSE(fs::exists(targetDir / L"added"));
    EXPECT_FALSE(fs::exists(targetDir / L"d.txt"));
}

// Whatever else ends a run after files were replaced and added (here a
// throw of no standard exception type, which the apply does not catch), the
// handler going away puts back the old tree.
TEST_F(ApplyTest, AnyOtherThrowAfterFilesWereReplacedStillLeavesTheOldTree) {
    const std::string oldA(70000, 'a');
    const std::wstring url = publishOverOldTree(oldA);
    int installed = 0;
    bool threw = false;
    std::vector<Json::Value> events;
    {
        StdoutCapture capture;
        try {
            ManifestHandler handler(server.url("/cdn"), cacheDir);
            handler.setInstallObserver([&installed](const std::string&) {
                if (++installed == 3) throw 3;
            });
            handler.applyManifest(url, targetDir.wstring());
        } catch (int) {
            threw = true;
        }
        events = capture.events();
    }

    EXPECT_TRUE(threw);
    EXPECT_EQ(installed, 3);
    EXPECT_TRUE(hasMessage(events, "Backup restored successfully", "INFO"));
    EXPECT_EQ(readFile(targetDir / L"a.txt"), oldA);
    EXPECT_EQ(readFile(targetDir / L"sub" / L"b.txt"), "old bravo");
    EXPECT_FALSE(fs::exists(targetDir / L"added"));
    EXPECT_FALSE(fs::exists(targetDir / L"d.txt"));
}

// The rollback after the installation pass has already replaced files: a
// folder stands where the last file goes, so its copy fails after the first
// two were replaced; those get their old bytes back, and the run returns the
// failing copy's own code.
TEST_F(ApplyTest, FailureAfterTargetFilesWereReplacedRestoresEveryByte) {
    const std::string oldA(70000, 'a');  // more than one copy buffer
    writeTarget("a.txt", oldA);
    writeTarget("sub/b.txt", "old bravo");
    writeTarget("keep.txt", "not the manifest's");
    fs::create_directories(targetDir / L"z.txt" / L"in the way");
    fs::create_directories(targetDir / L"sub" / L"empty");
    const std::wstring url =
        publish({{"a.txt", std::string(5000, 'A')}, {"sub/b.txt", "new bravo, longer than before"},
                 {"added.txt", "added"}, {"sub/new/deep/c.txt", "added deeper"}, {"z.txt", "new zulu"}});
    ErrorCode result;
    std::vector<Json::Value> events;
    {
        ManifestHandler handler(server.url("/cdn"), cacheDir);
        StdoutCapture capture;
        result = handler.applyManifest(url, targetDir.wstring());
        events = capture.events();
    }

    // Proof that the failure came after the replacements.
    EXPECT_TRUE(hasMessage(events, "File installed successfully: a.txt", "DEBUG"));
    EXPECT_TRUE(hasMessage(events, "File installed successfully: sub/b.txt", "DEBUG"));
    EXPECT_TRUE(hasMessage(events, "Failed to install file: z.txt", "ERROR"));
    EXPECT_EQ(result, ErrorCode::FileAccessDenied);
    EXPECT_EQ(processingStatuses(events), (std::vector<std::string>{"starting", "processing_failed"}));
    EXPECT_TRUE(hasMessage(events, "Attempting rollback...", "INFO"));
    EXPECT_TRUE(hasMessage(events, "Backup restored successfully", "INFO"));
    EXPECT_EQ(readFile(targetDir / L"a.txt"), oldA);
    EXPECT_EQ(readFile(targetDir / L"sub" / L"b.txt"), "old bravo");
    EXPECT_TRUE(hasMessage(events, "File installed successfully: sub/new/deep/c.txt", "DEBUG"));
    // What the run added is gone again, folders it made included; nothing
    // else changed.
    std::vector<std::string> entries;
    for (auto it = fs::recursive_directory_iterator(targetDir); it != fs::recursive_directory_iterator(); ++it) {
        entries.push_back(fs::relative(it->path(), targetDir).generic_string());
    }
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"a.txt", "keep.txt", "sub", "sub/b.txt", "sub/empty", "z.txt",
                                                 "z.txt/in the way"}));
    EXPECT_EQ(readFile(targetDir / L"keep.txt"), "not the manifest's");
}

// A store entry whose bytes were altered is fetched again from the server
// and replaced in the store; the run then installs the real bytes.
TEST_F(ApplyTest, AlteredStoreEntryIsDownloadedAgainAndRepaired) {
    const ManifestFile a = makeEntry("a.txt", "alpha");
    const std::wstring url = publish({{"a.txt", "alpha"}});
    putInStore(a, "alphx");  // same size, other bytes

    std::vector<Json::Value> events;
    {
        ManifestHandler handler(server.url("/cdn"), cacheDir);
        StdoutCapture capture;
        ASSERT_EQ(handler.applyManifest(url, targetDir.wstring()), ErrorCode::Success);
        events = capture.events();
    }
    EXPECT_TRUE(hasMessage(events, "Hash verification failed for: a.txt", "ERROR"));
    EXPECT_FALSE(hasMessage(events, "Using cached file: a.txt", "DEBUG"));
    EXPECT_EQ(fileRequests(), 1u);
    EXPECT_EQ(readFile(storePath(a)), "alpha");
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "alpha");
}

TEST_F(ApplyTest, UnreachableManifestReportsDownloadFailedAndTakesNoBackup) {
    ManifestHandler handler(server.url("/cdn"), cacheDir);
    StdoutCapture capture;
    EXPECT_EQ(handler.applyManifest(server.url("/missing.json"), targetDir.wstring()), ErrorCode::HttpError);
    EXPECT_EQ(processingStatuses(capture.events()), (std::vector<std::string>{"starting", "download_failed"}));
    EXPECT_FALSE(fs::exists(cacheDir / L"backups"));
    EXPECT_FALSE(fs::exists(targetDir));
}

TEST_F(ApplyTest, ManifestThatFailsToParseKeepsItsTemporaryFileUntilTheHandlerGoes) {
    server.set("/broken.json", "{ not json");
    {
        ManifestHandler handler(server.url("/cdn"), cacheDir);
        StdoutCapture capture;
        EXPECT_EQ(handler.applyManifest(server.url("/broken.json"), targetDir.wstring()),
                  ErrorCode::ManifestParseFailed);
        EXPECT_EQ(processingStatuses(capture.events()), (std::vector<std::string>{"starting", "download_failed"}));
        EXPECT_TRUE(fs::exists(cacheDir / L"manifest.json.tmp"));
    }
    EXPECT_FALSE(fs::exists(cacheDir / L"manifest.json.tmp"));
}

}  // namespace
}  // namespace korvel::test
