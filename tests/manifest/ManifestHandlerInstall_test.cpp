// Verification of stored files and their installation into the target:
// sizes and hashes, folders, permissions, read-only targets, signature
// checks of executables, and the three passes run from a filled store.
#include <gtest/gtest.h>

#include <map>

#include "manifest/ManifestInternal.h"
#include "tests/manifest/ManifestHandlerTestSupport.h"

namespace korvel::test {
namespace {

class InstallTest : public HandlerTest {};

TEST_F(InstallTest, VerifyFileChecksPresenceSizeAndHash) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    const ManifestFile entry = makeEntry("a.txt", "hello");
    const fs::path file = scratch->path() / L"a.txt";

    StdoutCapture capture;
    EXPECT_EQ(handler.verifyFile(entry, file), ErrorCode::FileNotFound);
    EXPECT_TRUE(hasMessage(capture.events(), "File not found: " + pathToUtf8(file), "ERROR"));

    fs::create_directories(file);
    EXPECT_EQ(handler.verifyFile(entry, file), ErrorCode::FileNotFound);
    fs::remove(file);

    writeFile(file, "hell");
    EXPECT_EQ(handler.verifyFile(entry, file), ErrorCode::FileHashMismatch);
    EXPECT_TRUE(hasMessage(capture.events(), "File size mismatch for a.txt. Expected: 5, Actual: 4", "ERROR"));
    EXPECT_FALSE(hasMessagePrefix(capture.events(), "Hash verification failed for"));

    writeFile(file, "jello");
    EXPECT_EQ(handler.verifyFile(entry, file), ErrorCode::FileHashMismatch);
    EXPECT_TRUE(hasMessage(capture.events(), "Hash verification failed for: a.txt", "ERROR"));

    writeFile(file, "hello");
    EXPECT_EQ(handler.verifyFile(entry, file), ErrorCode::Success);
}

TEST_F(InstallTest, HashComparisonIgnoresLetterCase) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    ManifestFile entry = makeEntry("a.txt", "hello");
    for (char& c : entry.sha256) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    const fs::path file = scratch->path() / L"a.txt";
    writeFile(file, "hello");
    EXPECT_EQ(handler.verifyFile(entry, file), ErrorCode::Success);
}

TEST_F(InstallTest, VerifyAllReportsARequiredFileMissingFromTheStore) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    const ManifestFile a = makeEntry("a.txt", "alpha");
    const ManifestFile b = makeEntry("b.txt", "bravo");
    ManifestFile optional = makeEntry("c.txt", "charlie");
    optional.isRequired = false;
    putInStore(a, "alpha");

    StdoutCapture capture;
    EXPECT_EQ(handler.verifyAllFiles(manifestOf({a, optional, b})), ErrorCode::FileNotFound);
    const auto events = capture.events();
    EXPECT_TRUE(hasMessage(events, "File not found in cache: b.txt", "ERROR"));
    EXPECT_FALSE(hasMessagePrefix(events, "Verifying file: c.txt"));

    putInStore(b, "bravx");
    EXPECT_EQ(handler.verifyAllFiles(manifestOf({a, optional, b})), ErrorCode::FileHashMismatch);
    EXPECT_TRUE(hasMessage(capture.events(), "File verification failed: b.txt", "ERROR"));
}

TEST_F(InstallTest, InstallCreatesFoldersAndReportsTheCopy) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    const ManifestFile entry = makeEntry("bin/sub/app.txt", "payload");
    const fs::path source = scratch->path() / L"source.bin";
    writeFile(source, "payload");

    StdoutCapture capture;
    ASSERT_EQ(handler.installFile(entry, source, targetDir), ErrorCode::Success);
    EXPECT_EQ(readFile(targetDir / L"bin" / L"sub" / L"app.txt"), "payload");
    bool sawCopy = false;
    for (const auto& e : capture.events()) {
        if (e.get("operation", "").asString() == "file:copy" && e.get("status", "").asString() == "completed" &&
            e.get("details", "").asString() == "bin/sub/app.txt")
            sawCopy = true;
    }
    EXPECT_TRUE(sawCopy);
}

TEST_F(InstallTest, UnsafePathsAreNeverWritten) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    const fs::path source = scratch->path() / L"source.bin";
    writeFile(source, "payload");
    for (const char* path : {"../escape.txt", "sub/../../escape.txt", "C:/escape.txt", "/escape.txt", "a/con.txt",
                             "a\\..\\..\\escape.txt"}) {
        ManifestFile entry = makeEntry(path, "payload");
        StdoutCapture capture;
        EXPECT_EQ(handler.installFile(entry, source, targetDir), ErrorCode::InvalidArguments) << path;
        EXPECT_TRUE(hasMessage(capture.events(), "Refusing unsafe install path", "ERROR")) << path;
    }
    EXPECT_FALSE(fs::exists(targetDir));
    EXPECT_FALSE(fs::exists(scratch->path() / L"escape.txt"));
}

TEST_F(InstallTest, PermissionStringsSetOrClearReadOnly) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    const fs::path source = scratch->path() / L"source.bin";
    writeFile(source, "payload");
    struct Case {
        const char* permissions;
        bool startReadOnly;
        bool expectReadOnly;
    };
    const Case cases[] = {{"444", false, true}, {"755", true, false}, {"644", true, false}, {"", false, false}};
    int n = 0;
    for (const auto& c : cases) {
        ManifestFile entry = makeEntry("p" + std::to_string(n++) + ".txt", "payload");
        entry.permissions = c.permissions;
        const fs::path target = targetDir / utf8ToPath(entry.path);
        if (c.startReadOnly) {
            fs::create_directories(targetDir);
            writeFile(target, "old");
            setReadOnlyFlag(target, true);
        }
        ASSERT_EQ(handler.installFile(entry, source, targetDir), ErrorCode::Success) << c.permissions;
        EXPECT_EQ(readFile(target), "payload") << c.permissions;
        EXPECT_EQ(isReadOnly(target), c.expectReadOnly) << c.permissions;
    }
}

TEST_F(InstallTest, OtherPermissionTextChangesNothingAndIsNoError) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    const fs::path file = scratch->path() / L"f.txt";
    writeFile(file, "x");
    setReadOnlyFlag(file, true);
    EXPECT_EQ(handler.setFilePermissions(file, "700"), ErrorCode::Success);
    EXPECT_TRUE(isReadOnly(file));
    setReadOnlyFlag(file, false);
    EXPECT_EQ(handler.setFilePermissions(file, "700"), ErrorCode::Success);
    EXPECT_FALSE(isReadOnly(file));
}

// A file installed earlier with "444" must still be replaceable by a later
// update, for files copied in one call and for those copied in chunks.
TEST_F(InstallTest, ReadOnlyTargetIsReplaced) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    for (size_t size : {size_t(7), size_t(FileOperations::kSystemCopyLimit + 1)}) {
        const std::string content(size, 'n');
        ManifestFile entry = makeEntry("ro/file" + std::to_string(size) + ".bin", content);
        entry.permissions = "700";  // leaves the attribute as the copy made it
        const fs::path source = scratch->path() / L"new.bin";
        writeFile(source, content);
        const fs::path target = targetDir / utf8ToPath(entry.path);
        fs::create_directories(target.parent_path());
        writeFile(target, "old read-only content");
        setReadOnlyFlag(target, true);

        ASSERT_EQ(handler.installFile(entry, source, targetDir), ErrorCode::Success) << size;
        EXPECT_EQ(readFile(target), content) << size;
        EXPECT_FALSE(isReadOnly(target)) << size;
    }
}

// Wine lets a read-only file be replaced; Windows does not. So the step that
// makes a target replaceable is checked on the attribute itself.
TEST_F(InstallTest, ReplacingClearsTheReadOnlyFlagFirst) {
    const fs::path file = scratch->path() / L"ro.txt";
    writeFile(file, "x");
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(detail::makeReplaceable(file), ErrorCode::Success);
    const DWORD attributes = GetFileAttributesW(file.c_str());
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);

    EXPECT_EQ(detail::makeReplaceable(scratch->path() / L"missing.txt"), ErrorCode::Success);
    EXPECT_EQ(detail::makeReplaceable(scratch->path()), ErrorCode::Success);
}

TEST_F(InstallTest, ExecutableExtensionsMatchInAnyCase) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    const fs::path source = scratch->path() / L"unsigned.bin";
    writeFile(source, "MZ not really a program");
    struct Case {
        const char* path;
        bool executable;
        bool expectCheck;
    };
    const Case cases[] = {{"a.exe", true, true},  {"b.DLL", true, true},  {"c.Exe", true, true},
                          {"d.txt", true, false}, {"e.exe", false, false}, {"f.exe.bak", true, false}};
    for (const auto& c : cases) {
        ManifestFile entry = makeEntry(c.path, "MZ not really a program");
        entry.isExecutable = c.executable;
        StdoutCapture capture;
        ASSERT_EQ(handler.installFile(entry, source, targetDir), ErrorCode::Success) << c.path;
        const auto events = capture.events();
        EXPECT_EQ(hasMessagePrefix(events, "Verifying file signature: "), c.expectCheck) << c.path;
        EXPECT_EQ(hasMessage(events, std::string("Executable signature verification failed: ") + c.path, "WARNING"),
                  c.expectCheck)
            << c.path;
    }
}

TEST_F(InstallTest, InstallAllSkipsOptionalEntriesAndReportsEachFile) {
    const ManifestFile a = makeEntry("a.txt", "alpha");
    const ManifestFile empty = makeEntry("empty.txt", "");
    ManifestFile optional = makeEntry("opt.txt", "optional");
    optional.isRequired = false;
    putInStore(a, "alpha");
    putInStore(empty, "");
    putInStore(optional, "optional");

    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    StdoutCapture capture;
    ASSERT_EQ(handler.installAllFiles(manifestOf({a, optional, empty}), targetDir), ErrorCode::Success);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "alpha");
    EXPECT_TRUE(fs::exists(targetDir / L"empty.txt"));
    EXPECT_FALSE(fs::exists(targetDir / L"opt.txt"));

    std::map<std::string, int> progress;
    for (const auto& e : capture.events()) {
        const std::string op = e.get("operation", "").asString();
        if (e.get("event_type", "").asString() == "progress" && op.rfind("download:", 0) == 0)
            progress[op] = e.get("progress", -1).asInt();
    }
    EXPECT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress["download:a.txt"], 100);
    EXPECT_EQ(progress["download:empty.txt"], 0);
    EXPECT_TRUE(hasMessage(capture.events(), "All files installed successfully: 2 files", "INFO"));
}

TEST_F(InstallTest, InstallStopsAtTheFirstFailureAndKeepsEarlierFiles) {
    const ManifestFile a = makeEntry("a.txt", "alpha");
    const ManifestFile b = makeEntry("b.txt", "bravo");
    const ManifestFile c = makeEntry("c.txt", "charlie");
    putInStore(a, "alpha");
    putInStore(b, "bravo");
    putInStore(c, "charlie");
    fs::create_directories(targetDir / L"b.txt" / L"in the way");

    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    StdoutCapture capture;
    EXPECT_EQ(handler.installAllFiles(manifestOf({a, b, c}), targetDir), ErrorCode::FileAccessDenied);
    EXPECT_TRUE(hasMessage(capture.events(), "Failed to install file: b.txt", "ERROR"));
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "alpha");
    EXPECT_FALSE(fs::exists(targetDir / L"c.txt"));
}

TEST_F(InstallTest, ProcessFilesFromAFilledStoreNeedsNoNetwork) {
    const ManifestFile a = makeEntry("a.txt", "alpha");
    const ManifestFile b = makeEntry("deep/er/b.txt", "bravo");
    putInStore(a, "alpha");
    putInStore(b, "bravo");

    ManifestHandler handler(L"http://127.0.0.1:1/", cacheDir);
    StdoutCapture capture;
    ASSERT_EQ(handler.processManifestFiles(manifestOf({a, b}), targetDir.wstring()), ErrorCode::Success);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "alpha");
    EXPECT_EQ(readFile(targetDir / L"deep" / L"er" / L"b.txt"), "bravo");
    const auto events = capture.events();
    EXPECT_TRUE(hasMessage(events, "Processing 2 files from manifest", "INFO"));
    EXPECT_TRUE(hasMessage(events, "All manifest files processed successfully", "INFO"));
}

}  // namespace
}  // namespace korvel::test
