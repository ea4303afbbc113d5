// The download cache: file URLs, the store layout, cache hits, retries of
// a failing download and the trimming done when a handler goes away.
#include <gtest/gtest.h>

#include "tests/manifest/ManifestHandlerTestSupport.h"

namespace korvel::test {
namespace {

const std::string kHash = "3f2a9c01aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";

// Nothing listens on port 1 of the loopback address: every request fails
// at once with a connection error.
const wchar_t* const kDeadCdn = L"http://127.0.0.1:1/cdn";

class CacheTest : public HandlerTest {};

struct UrlCase {
    const char* name;
    std::string base;
    std::string path;
    std::string downloadUrl;
    std::string hash;
    std::string expected;
};

TEST_F(CacheTest, BuildsFileUrlsFromBaseHashPrefixAndEncodedPath) {
    const std::string upper = "ABCDEF01" + kHash.substr(8);
    const std::vector<UrlCase> cases = {
        {"base without slash", "http://h/c", "bin/app.dll", "", kHash, "http://h/c/files/3f2a9c01/bin/app.dll"},
        {"base with slash", "http://h/c/", "bin/app.dll", "", kHash, "http://h/c/files/3f2a9c01/bin/app.dll"},
        {"empty base", "", "a.txt", "", kHash, "files/3f2a9c01/a.txt"},
        {"hash case kept", "http://h", "a.txt", "", upper, "http://h/files/ABCDEF01/a.txt"},
        {"download url wins", "http://h", "a b.txt", "http://other/x?y=1#z", kHash, "http://other/x?y=1#z"},
        {"backslash becomes slash", "http://h", "bin\\sub\\app.dll", "", kHash,
         "http://h/files/3f2a9c01/bin/sub/app.dll"},
        {"space", "http://h", "my file.txt", "", kHash, "http://h/files/3f2a9c01/my%20file.txt"},
        {"percent", "http://h", "100%.txt", "", kHash, "http://h/files/3f2a9c01/100%25.txt"},
        {"hash sign", "http://h", "a#b.txt", "", kHash, "http://h/files/3f2a9c01/a%23b.txt"},
        {"question mark", "http://h", "a?b", "", kHash, "http://h/files/3f2a9c01/a%3Fb"},
        {"control and delete", "http://h", std::string("a\x01") + "b\x7f", "", kHash,
         "http://h/files/3f2a9c01/a%01b%7F"},
        {"non-ASCII as UTF-8 bytes", "http://h", "caf\xC3\xA9/\xE2\x82\xAC.txt", "", kHash,
         "http://h/files/3f2a9c01/caf%C3%A9/%E2%82%AC.txt"},
        {"other characters kept", "http://h", "a+b&c=d;e'(f)!~,$@[x].txt", "", kHash,
         "http://h/files/3f2a9c01/a+b&c=d;e'(f)!~,$@[x].txt"},
    };
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    for (const auto& c : cases) {
        ManifestFile entry;
        entry.path = c.path;
        entry.sha256 = c.hash;
        entry.downloadUrl = c.downloadUrl;
        std::wstring url;
        EXPECT_EQ(handler.buildFileUrl(entry, c.base, url), ErrorCode::Success) << c.name;
        EXPECT_EQ(wideToUtf8(url), c.expected) << c.name;
    }
}

// The process's temporary folder pointed elsewhere for one scope.
class ScopedTemporaryFolder {
public:
    explicit ScopedTemporaryFolder(const fs::path& folder) {
        for (const wchar_t* name : {L"TMP", L"TEMP"}) {
            wchar_t buffer[32768];
            const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
            saved.emplace_back(name, n > 0 && n < 32768 ? std::wstring(buffer, n) : std::wstring());
            SetEnvironmentVariableW(name, folder.c_str());
        }
    }
    ~ScopedTemporaryFolder() {
        for (const auto& [name, value] : saved) SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
    }

private:
    std::vector<std::pair<const wchar_t*, std::wstring>> saved;
};

// A handler uses the cache folder it is given, and only without one the
// KorvelCache folder of the temporary folder.
TEST_F(CacheTest, CacheFolderIsTheOneGivenElseKorvelCacheInTheTemporaryFolder) {
    const fs::path temporary = scratch->path() / L"temporary";
    const fs::path given = scratch->path() / L"given";
    fs::create_directories(temporary);
    ScopedTemporaryFolder redirected(temporary);
    struct Case {
        const char* name;
        bool giveFolder;
        fs::path expected;
        fs::path untouched;
    };
    for (const Case& c : {Case{"given", true, given, temporary / L"KorvelCache"},
                          Case{"default", false, temporary / L"KorvelCache", given}}) {
        {
            std::unique_ptr<ManifestHandler> handler =
                c.giveFolder ? std::make_unique<ManifestHandler>(L"http://cdn.invalid", given)
                             : std::make_unique<ManifestHandler>(L"http://cdn.invalid");
            ASSERT_EQ(handler->initialize(), ErrorCode::Success) << c.name;
            fs::path stored;
            handler->cachePathFor(kHash, stored);
            EXPECT_EQ(stored, c.expected / L"3f2a9c01" / utf8ToPath(kHash)) << c.name;
            ManifestFile entry = makeEntry("a.txt", "alpha");
            const fs::path source = scratch->path() / L"a.txt";
            writeFile(source, "alpha");
            ASSERT_EQ(handler->storeInCache(source, entry.sha256), ErrorCode::Success) << c.name;
            EXPECT_EQ(readFile(c.expected / utf8ToPath(entry.sha256.substr(0, 8)) / utf8ToPath(entry.sha256)), "alpha")
                << c.name;
        }
        EXPECT_TRUE(fs::is_directory(c.expected)) << c.name;
        EXPECT_FALSE(fs::exists(c.untouched)) << c.name;
        fs::remove_all(c.expected);
    }
}

TEST_F(CacheTest, StorePathIsPrefixFolderAndFullHashBelowTheTemporaryFolder) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    fs::path path;
    EXPECT_EQ(handler.cachePathFor(kHash, path), ErrorCode::FileNotFound);
    EXPECT_EQ(path, cacheDir / L"3f2a9c01" / utf8ToPath(kHash));

    // A folder of that name is no stored file.
    fs::create_directories(path);
    EXPECT_EQ(handler.cachePathFor(kHash, path), ErrorCode::FileNotFound);
    fs::remove(path);

    writeFile(path, "x");
    EXPECT_EQ(handler.cachePathFor(kHash, path), ErrorCode::Success);
}

TEST_F(CacheTest, EmbeddedNulInTheHashPrefixThrows) {
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    fs::path path;
    EXPECT_THROW(handler.cachePathFor(std::string("abc\0defgh", 9), path), std::invalid_argument);
}

TEST_F(CacheTest, StoreCopiesTheDownloadAndKeepsTheSource) {
    const std::string content = "stored content";
    const ManifestFile entry = makeEntry("dir/file.bin", content);
    ManifestHandler handler(L"http://cdn.invalid", cacheDir);
    const fs::path source = cacheDir / L"dir" / L"file.bin.tmp";
    fs::create_directories(source.parent_path());
    writeFile(source, content);

    ASSERT_EQ(handler.storeInCache(source, entry.sha256), ErrorCode::Success);
    EXPECT_EQ(readFile(storePath(entry)), content);
    EXPECT_EQ(readFile(source), content);
    EXPECT_EQ(storePath(entry).parent_path().filename().wstring(), utf8ToUtf16(entry.sha256.substr(0, 8)));
}

TEST_F(CacheTest, RequiredFilesInTheStoreAreNotDownloaded) {
    const ManifestFile a = makeEntry("a.txt", "alpha");
    const ManifestFile b = makeEntry("sub/b.txt", "bravo");
    ManifestFile optional = makeEntry("opt.txt", "optional");
    optional.isRequired = false;
    putInStore(a, "alpha");
    putInStore(b, "bravo");

    // The CDN is unreachable: any download attempt would fail the pass.
    ManifestHandler handler(kDeadCdn, cacheDir);
    StdoutCapture capture;
    EXPECT_EQ(handler.downloadAllFiles(manifestOf({a, optional, b})), ErrorCode::Success);
    const auto events = capture.events();
    EXPECT_TRUE(hasMessage(events, "Using cached file: a.txt", "DEBUG"));
    EXPECT_TRUE(hasMessage(events, "Using cached file: sub/b.txt", "DEBUG"));
    EXPECT_TRUE(hasMessage(events, "Skipping optional file: opt.txt", "DEBUG"));
    EXPECT_FALSE(hasMessagePrefix(events, "Download attempt"));
    EXPECT_TRUE(hasMessage(events, "All files downloaded successfully", "INFO"));
}

TEST_F(CacheTest, AlteredStoreEntryIsFetchedAgainThreeTimesThen161) {
    const ManifestFile a = makeEntry("a.txt", "alpha");
    putInStore(a, "alphx");  // same size, other bytes

    ManifestHandler handler(kDeadCdn, cacheDir);
    StdoutCapture capture;
    EXPECT_EQ(handler.downloadAllFiles(manifestOf({a})), ErrorCode::DownloadFailed);
    const auto events = capture.events();
    EXPECT_TRUE(hasMessage(events, "Hash verification failed for: a.txt", "ERROR"));
    EXPECT_EQ(countMessagePrefix(events, "Download attempt "), 3);
    EXPECT_TRUE(hasMessage(events, "Download attempt 1 for: http://127.0.0.1:1/cdn/files/" +
                                       a.sha256.substr(0, 8) + "/a.txt", "DEBUG"));
    EXPECT_TRUE(hasMessage(events, "Download failed after 3 attempts", "ERROR"));
    EXPECT_TRUE(hasMessage(events, "Failed to download file: a.txt", "ERROR"));
}

TEST_F(CacheTest, FirstAttemptDiscardsATemporaryFileLeftByAnEarlierRun) {
    const ManifestFile a = makeEntry("sub/a.txt", "alpha");
    const fs::path leftover = cacheDir / L"sub" / L"a.txt.tmp";
    fs::create_directories(leftover.parent_path());
    writeFile(leftover, "stale bytes of an earlier run");

    ManifestHandler handler(kDeadCdn, cacheDir);
    StdoutCapture capture;
    EXPECT_EQ(handler.downloadAllFiles(manifestOf({a})), ErrorCode::DownloadFailed);
    // Attempts 2 and 3 would otherwise have asked for a range after it.
    EXPECT_FALSE(fs::exists(leftover));
}

TEST_F(CacheTest, DownloadUrlIsUsedAsGivenAndCdnRootWhenNoBaseUrl) {
    ManifestFile a = makeEntry("a.txt", "alpha");
    ManifestFile b = makeEntry("b.txt", "bravo");
    b.downloadUrl = "http://127.0.0.1:1/explicit/b";

    ManifestHandler handler(kDeadCdn, cacheDir);
    StdoutCapture capture;
    handler.downloadFile(a, cacheDir / L"a.txt.tmp", "");
    handler.downloadFile(b, cacheDir / L"b.txt.tmp", "http://127.0.0.1:1/base");
    const auto events = capture.events();
    EXPECT_TRUE(hasMessage(events, "Download attempt 1 for: http://127.0.0.1:1/cdn/files/" +
                                       a.sha256.substr(0, 8) + "/a.txt", "DEBUG"));
    EXPECT_TRUE(hasMessage(events, "Download attempt 1 for: http://127.0.0.1:1/explicit/b", "DEBUG"));
}

TEST_F(CacheTest, DestructionTrimsOldFilesAndTopLevelTemporariesButNeverBackups) {
    const fs::path oldStored = cacheDir / L"aaaaaaaa" / L"old";
    const fs::path freshStored = cacheDir / L"bbbbbbbb" / L"fresh";
    const fs::path topTemp = cacheDir / L"manifest.json.tmp";
    const fs::path subTemp = cacheDir / L"sub" / L"file.bin.tmp";
    const fs::path oldSubTemp = cacheDir / L"sub" / L"old.bin.tmp";
    const fs::path backupFile = cacheDir / L"backups" / L"20200101_000000" / L"bin" / L"old.dll";
    const fs::path backupManifest = cacheDir / L"backups" / L"20200101_000000" / L"backup_manifest.json";
    for (const auto& p : {oldStored, freshStored, topTemp, subTemp, oldSubTemp, backupFile, backupManifest}) {
        fs::create_directories(p.parent_path());
        writeFile(p, "x");
    }
    ageFile(oldStored, 25);
    ageFile(oldSubTemp, 25);
    ageFile(backupFile, 24 * 400);
    ageFile(backupManifest, 25);

    { ManifestHandler handler(L"http://cdn.invalid", cacheDir); }

    EXPECT_FALSE(fs::exists(oldStored));
    EXPECT_TRUE(fs::exists(oldStored.parent_path()));  // folders stay
    EXPECT_TRUE(fs::exists(freshStored));
    EXPECT_FALSE(fs::exists(topTemp));
    EXPECT_TRUE(fs::exists(subTemp));
    EXPECT_FALSE(fs::exists(oldSubTemp));
    EXPECT_TRUE(fs::exists(backupFile));
    EXPECT_TRUE(fs::exists(backupManifest));
}

TEST_F(CacheTest, DestructionWithoutACacheFolderDoesNothing) {
    { ManifestHandler handler(L"http://cdn.invalid", cacheDir); }
    EXPECT_FALSE(fs::exists(cacheDir));
}

}  // namespace
}  // namespace korvel::test
