// Containment of prepared-session paths, decided by the file system, and
// the session apply's refusal to go on without its backup.
#include <gtest/gtest.h>
#include <json/writer.h>
#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "manifest/SessionPaths.h"
#include "tests/support/ManifestSigning.h"
#include "tests/manifest/LoopbackServer.h"
#include "tests/manifest/ManifestHandlerTestSupport.h"

namespace korvel::test {
namespace {

TEST(SessionPaths, ContainmentComparesWholeElementsIgnoringCase) {
    struct Case {
        const wchar_t* candidate;
        const wchar_t* root;
        bool inside;
    };
    const Case cases[] = {
        {L"T:\\s\\root\\a.bin", L"T:\\s\\root", true},
        {L"T:\\s\\root", L"T:\\s\\root", true},            // the root itself
        {L"T:\\s\\root\\", L"T:\\s\\root", true},          // a separator at the end
        {L"t:\\S\\ROOT\\Sub\\a.bin", L"T:\\s\\root", true},  // letter case
        {L"T:/s/root/a.bin", L"T:\\s\\root", true},
        {L"T:\\s\\root2\\a.bin", L"T:\\s\\root", false},   // same text, another folder
        {L"T:\\s\\roo", L"T:\\s\\root", false},
        {L"T:\\s", L"T:\\s\\root", false},                 // fewer elements
        {L"U:\\s\\root\\a.bin", L"T:\\s\\root", false},
        {L"T:\\x\\root\\a.bin", L"T:\\s\\root", false},
        {L"\\\\srv\\share\\root\\a", L"\\\\srv\\share\\root", true},
        {L"\\\\srv\\other\\root\\a", L"\\\\srv\\share\\root", false},
        {L"T:\\a.bin", L"T:", true},                       // a volume root holds everything on it
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pathElementsWithin(c.candidate, c.root), c.inside)
            << wideToUtf8(c.candidate) << " in " << wideToUtf8(c.root);
    }
}

class SessionPathsOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        scratch = std::make_unique<ScratchDir>();
        root = scratch->path() / L"Session";
        fs::create_directories(root / L"sub");
        writeFile(root / L"sub" / L"a.bin", "a");
        fs::create_directories(scratch->path() / L"Session2");
        writeFile(scratch->path() / L"Session2" / L"a.bin", "a");
    }

    std::unique_ptr<ScratchDir> scratch;
    fs::path root;
};

TEST_F(SessionPathsOnDisk, ResolvesWhatExistsAndKeepsTheRestAsWritten) {
    std::wstring rootFinal;
    std::wstring resolved;
    uint32_t error = 0;
    ASSERT_TRUE(resolveFinalPath(root.wstring(), rootFinal, error)) << error;
    ASSERT_TRUE(resolveFinalPath((root / L"sub" / L"not-yet" / L"b.bin").wstring(), resolved, error)) << error;
    EXPECT_EQ(resolved, rootFinal + L"\\sub\\not-yet\\b.bin");
    // ".." is collapsed before anything is resolved, as Windows does it.
    ASSERT_TRUE(resolveFinalPath((root / L"sub" / L".." / L".." / L"Session2" / L"a.bin").wstring(), resolved, error));
    EXPECT_FALSE(pathElementsWithin(resolved, rootFinal));
    // A device is no file of a session.
    EXPECT_FALSE(resolveFinalPath(L"\\\\.\\pipe\\korvel-session-test", resolved, error));
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_INVALID_NAME));
}

TEST_F(SessionPathsOnDisk, InsideIsDecidedByTheFileSystemNotTheText) {
    const std::wstring upper = [&] {
        std::wstring text = (root / L"SUB" / L"A.BIN").wstring();
        for (wchar_t& c : text) c = static_cast<wchar_t>(towupper(c));
        return text;
    }();
    EXPECT_TRUE(isPathWithinRoot(upper, root));
    EXPECT_TRUE(isPathWithinRoot(root / L"sub" / L"a.bin", root));
    EXPECT_TRUE(isPathWithinRoot(root, root));
    EXPECT_FALSE(isPathWithinRoot(scratch->path() / L"Session2" / L"a.bin", root));
    EXPECT_FALSE(isPathWithinRoot(root / L".." / L"Session2" / L"a.bin", root));

    // Relative paths are taken against the current folder.
    wchar_t saved[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(scratch->path().c_str()));
    const bool relativeInside = isPathWithinRoot(L"session\\Sub\\a.bin", root);
    const bool relativeOutside = isPathWithinRoot(L"Session2\\a.bin", L"Session");
    SetCurrentDirectoryW(saved);
    EXPECT_TRUE(relativeInside);
    EXPECT_FALSE(relativeOutside);

    EXPECT_THROW(isPathWithinRoot(L"\\\\.\\pipe\\korvel-session-test", root), std::filesystem::filesystem_error);
}

class SessionApplyTest : public HandlerTest {
protected:
    std::wstring publishManifest(const std::vector<std::pair<std::string, std::string>>& files) {
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
        }
        doc["files"] = list;
        server.set("/manifest.json", signedManifestText(doc));
        return server.url("/manifest.json");
    }

    // Writes the files into the session and a descriptor naming them.
    void prepare(const std::vector<std::pair<std::string, std::string>>& files) {
        Json::Value list(Json::arrayValue);
        for (const auto& [rel, content] : files) {
            const fs::path p = sessionDir / utf8ToPath(rel);
            fs::create_directories(p.parent_path());
            writeFile(p, content);
            Json::Value item(Json::objectValue);
            item["file"] = rel;
            item["path"] = pathToUtf8(p);
            list.append(item);
        }
        Json::Value doc(Json::objectValue);
        doc["files"] = list;
        Json::StreamWriterBuilder builder;
        writeFile(descriptor, Json::writeString(builder, doc));
    }

    // One session apply with its own handler; its events in *events.
    ErrorCode applyFromSession(const std::wstring& url, std::vector<Json::Value>* events) {
        ManifestHandler handler(server.url("/cdn"), cacheDir);
        StdoutCapture capture;
        const ErrorCode result =
            handler.applyManifestFromSession(url, targetDir.wstring(), sessionDir.wstring(), descriptor.wstring());
        *events = capture.events();
        return result;
    }

    void SetUp() override {
        HandlerTest::SetUp();
        sessionDir = scratch->path() / L"session";
        descriptor = scratch->path() / L"files.json";
        fs::create_directories(sessionDir);
        fs::create_directories(targetDir);
    }

    LoopbackServer server;
    fs::path sessionDir;
    fs::path descriptor;
};

// As for a normal apply, no file is replaced without its backup.
TEST_F(SessionApplyTest, BackupThatFailsStopsTheRunWith125) {
    writeFile(targetDir / L"a.txt", "old alpha");
    writeFile(targetDir / L"b.txt", "old bravo");
    const std::wstring url = publishManifest({{"a.txt", "new alpha"}, {"b.txt", "new bravo"}});
    prepare({{"a.txt", "new alpha"}, {"b.txt", "new bravo"}});
    ScopedHandle held(
        CreateFileW((targetDir / L"b.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());

    std::vector<Json::Value> events;
    const ErrorCode result = applyFromSession(url, &events);
    held.reset();

    EXPECT_EQ(result, ErrorCode::ManifestApplyFailed);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "old alpha");
    EXPECT_EQ(readFile(targetDir / L"b.txt"), "old bravo");
    EXPECT_TRUE(hasMessagePrefix(events, "Failed to create backup, no file was changed", "ERROR"));
    EXPECT_FALSE(hasMessagePrefix(events, "Processing prepared session from: "));
}

// A descriptor is a caller document: one byte over 32 MiB is refused before
// any file is touched, though it is a valid document; one at the cap is read.
TEST_F(SessionApplyTest, DescriptorOverTheCapIsRefused) {
    writeFile(targetDir / L"a.txt", "old alpha");
    const std::wstring url = publishManifest({{"a.txt", "new alpha"}});
    prepare({{"a.txt", "new alpha"}});
    const std::string document = readFile(descriptor);
    for (const size_t size : {size_t{33554433}, size_t{33554432}}) {
        SCOPED_TRACE(size);
        writeFile(targetDir / L"a.txt", "old alpha");
        writeFile(descriptor, document + std::string(size - document.size(), ' '));
        std::vector<Json::Value> events;
        const ErrorCode result = applyFromSession(url, &events);
        if (size == 33554433) {
            EXPECT_EQ(result, ErrorCode::ManifestParseFailed);
            EXPECT_EQ(readFile(targetDir / L"a.txt"), "old alpha");
            EXPECT_TRUE(hasMessagePrefix(events, "Failed to parse files manifest JSON: larger than 33554432 bytes"));
        } else {
            EXPECT_EQ(result, ErrorCode::Success);
            EXPECT_EQ(readFile(targetDir / L"a.txt"), "new alpha");
        }
    }
}

// The same for a session apply: an exception after files were replaced and
// added leaves exactly the old tree and still reaches the command.
TEST_F(SessionApplyTest, ExceptionAfterFilesWereReplacedRestoresEveryByteThenPropagates) {
    const std::string oldA(70000, 'a');
    writeFile(targetDir / L"a.txt", oldA);
    fs::create_directories(targetDir / L"sub");
    writeFile(targetDir / L"sub" / L"b.txt", "old bravo");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a.txt", "new alpha"}, {"sub/b.txt", "new bravo"}, {"added/c.txt", "added charlie"}, {"d.txt", "new delta"}};
    const std::wstring url = publishManifest(files);
    prepare(files);
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
            handler.applyManifestFromSession(url, targetDir.wstring(), sessionDir.wstring(), descriptor.wstring());
        } catch (const std::runtime_error& e) {
            threw = std::string(e.what()) == "stopped after three files";
        }
        events = capture.events();
    }

    EXPECT_TRUE(threw);
    EXPECT_EQ(installed.size(), 3u);
    EXPECT_TRUE(hasMessage(events, "Backup restored successfully", "INFO"));
    EXPECT_EQ(readFile(targetDir / L"a.txt"), oldA);
    EXPECT_EQ(readFile(targetDir / L"sub" / L"b.txt"), "old bravo");
    EXPECT_FALSE(fs::exists(targetDir / L"added"));
    EXPECT_FALSE(fs::exists(targetDir / L"d.txt"));
}

}  // namespace
}  // namespace korvel::test
