// The canonical signed text of legacy manifests, byte for byte, and the
// signature check with its two temporary files.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/UniqueResource.h"
#include "tests/manifest/ManifestTestHelpers.h"
#include "tests/support/ManifestSigning.h"

namespace korvel {
namespace {

using test::kHashA;
using test::kHashB;

Manifest parsedOrFail(const std::string& text) {
    test::ParseOutcome r = test::parseText(text);
    EXPECT_EQ(r.code, 0) << ::testing::PrintToString(r.errors);
    return r.manifest;
}

const std::string kBaseCanonical =
    "{\"baseUrl\":\"https://cdn.example/base/\",\"channel\":\"beta\",\"fileCount\":2,\"files\":["
    "{\"isExecutable\":true,\"permissions\":\"644\",\"relativePath\":\"client/game.exe\",\"sha256Hash\":\"" +
    kHashA +
    "\",\"size\":100},"
    "{\"permissions\":\"644\",\"relativePath\":\"client/data/pak0.bin\",\"sha256Hash\":\"" +
    kHashB +
    "\",\"size\":2048}],"
    "\"gameVersion\":\"2024.1\",\"totalSize\":2148,\"version\":\"1.2.3\"}";

TEST(CanonicalText, LegacyBaseExact) {
    EXPECT_EQ(buildCanonicalSignedText(parsedOrFail(test::kLegacyBase)), kBaseCanonical);
}

TEST(CanonicalText, OptionalFileKeysAndTheirOrder) {
    Manifest m;
    m.version = "2.0.0";
    m.gameVersion = "g";
    m.channel = "stable";
    m.totalSize = 7;
    m.fileCount = 3;
    ManifestFile all;
    all.path = "a\\b.dll";
    all.sha256 = "ABCDEF" + kHashA.substr(6);
    all.size = 5;
    all.isExecutable = true;
    all.isRequired = false;
    all.downloadUrl = "https://x/y?z=1";
    all.compressionLevel = 3;
    all.permissions = "755";
    ManifestFile none;
    none.path = "c.txt";
    none.sha256 = kHashB;
    none.size = 0;
    none.compressionLevel = -4;  // only positive levels are signed
    none.permissions = "";       // empty permissions drop the key
    ManifestFile zeroLevel;
    zeroLevel.path = "d";
    zeroLevel.sha256 = kHashB;
    zeroLevel.size = 2147483648ULL;
    zeroLevel.compressionLevel = 0;
    zeroLevel.permissions = "444";
    m.files = {all, none, zeroLevel};
    const std::string expected =
        "{\"baseUrl\":\"\",\"channel\":\"stable\",\"fileCount\":3,\"files\":["
        "{\"compressionLevel\":3,\"downloadUrl\":\"https://x/y?z=1\",\"isExecutable\":true,\"isRequired\":false,"
        "\"permissions\":\"755\",\"relativePath\":\"a\\\\b.dll\",\"sha256Hash\":\"ABCDEF" +
        kHashA.substr(6) +
        "\",\"size\":5},"
        "{\"relativePath\":\"c.txt\",\"sha256Hash\":\"" +
        kHashB +
        "\",\"size\":0},"
        "{\"permissions\":\"444\",\"relativePath\":\"d\",\"sha256Hash\":\"" +
        kHashB +
        "\",\"size\":2147483648}],"
        "\"gameVersion\":\"g\",\"totalSize\":7,\"version\":\"2.0.0\"}";
    EXPECT_EQ(buildCanonicalSignedText(m), expected);
}

TEST(CanonicalText, EmptyRecordStillHasEveryTopLevelKey) {
    Manifest m;
    m.channel = "stable";
    EXPECT_EQ(buildCanonicalSignedText(m),
              "{\"baseUrl\":\"\",\"channel\":\"stable\",\"fileCount\":0,\"files\":[],\"gameVersion\":\"\","
              "\"totalSize\":0,\"version\":\"\"}");
}

TEST(CanonicalText, NonAsciiAndControlCharactersEscaped) {
    Json::Value doc = test::legacyBase();
    doc["channel"] = "b\xC3\xA9ta";                       // é
    doc["gameVersion"] = "\xF0\x9F\x98\x80 \"q\" \\ \t\x01";  // U+1F600, quotes, backslash, tab, U+0001
    doc["baseUrl"] = "https://h/\xE6\x97\xA5/";            // 日
    doc["files"][0]["path"] = "client/caf\xC3\xA9.exe";
    const Manifest m = parsedOrFail(test::toJson(doc));
    const std::string text = buildCanonicalSignedText(m);
    EXPECT_NE(text.find("\"channel\":\"b\\u00e9ta\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"gameVersion\":\"\\ud83d\\ude00 \\\"q\\\" \\\\ \\t\\u0001\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"baseUrl\":\"https://h/\\u65e5/\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"relativePath\":\"client/caf\\u00e9.exe\""), std::string::npos) << text;
    for (unsigned char c : text) {
        EXPECT_LT(c, 0x80u);
        EXPECT_GE(c, 0x20u);
    }
}

TEST(CanonicalText, FormattingOrderAndUnsignedKeysDoNotMatter) {
    const std::string compact = test::toJson(test::legacyBase());
    const std::string reformatted = R"json(
    {
        "files" : [
            { "size" : 100, "isExecutable" : true, "sha256" : "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
              "path" : "client/game.exe", "isRequired" : true, "compressionLevel" : 0, "note" : "x" },
            { "sha256Hash" : "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
              "relativePath" : "client/data/pak0.bin", "size" : 2048, "permissions" : "644",
              "lastModified" : "2020-01-01T00:00:00" }
        ],
        "signature" : "another signature text",
        "description" : "Different description",
        "createdAt" : "2024-01-01T00:00:00Z",
        "signerCertificate" : "MIIB...",
        "previousVersion" : "1.2.2",
        "isIncremental" : true,
        "createdBy" : "someone else",
        "unknownKey" : {"nested" : [1, 2, 3]},
        "baseUrl" : "https://cdn.example/base/",
        "channel" : "beta",
        "gameVersion" : "2024.1",
        "version" : "1.2.3"
    }
    )json";
    const std::string a = buildCanonicalSignedText(parsedOrFail(compact));
    const std::string b = buildCanonicalSignedText(parsedOrFail(reformatted));
    EXPECT_EQ(a, kBaseCanonical);
    EXPECT_EQ(b, kBaseCanonical);
}

TEST(CanonicalText, TotalsAsRecomputedOrAsGiven) {
    Json::Value given = test::legacyBase();
    given["totalSize"] = 5000;
    given["fileCount"] = 9;
    const std::string text = buildCanonicalSignedText(parsedOrFail(test::toJson(given)));
    EXPECT_NE(text.find("\"fileCount\":9,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"totalSize\":5000,"), std::string::npos) << text;

    Json::Value zero = test::legacyBase();
    zero["totalSize"] = 0;
    zero["fileCount"] = 9;
    const std::string recomputed = buildCanonicalSignedText(parsedOrFail(test::toJson(zero)));
    EXPECT_EQ(recomputed, kBaseCanonical);
}

TEST(CanonicalText, ChangingASignedFieldChangesTheText) {
    const std::function<void(Json::Value&)> mutations[] = {
        [](Json::Value& d) { d["version"] = "1.2.4"; },
        [](Json::Value& d) { d["channel"] = "stable"; },
        [](Json::Value& d) { d["baseUrl"] = "https://other/"; },
        [](Json::Value& d) { d["gameVersion"] = "2024.2"; },
        [](Json::Value& d) { d["files"][0]["size"] = 101; },
        [](Json::Value& d) { d["files"][0]["sha256"] = test::kHashUpper; },
        [](Json::Value& d) { d["files"][0]["isExecutable"] = false; },
        [](Json::Value& d) { d["files"][1]["isRequired"] = false; },
        [](Json::Value& d) { d["files"][1]["url"] = "https://u"; },
        [](Json::Value& d) { d["files"][1]["compressionLevel"] = 1; },
        [](Json::Value& d) { d["files"][1]["permissions"] = "444"; },
        [](Json::Value& d) { d["files"][1]["relativePath"] = "client/data/pak1.bin"; },
    };
    for (const auto& mutate : mutations) {
        Json::Value d = test::legacyBase();
        mutate(d);
        EXPECT_NE(buildCanonicalSignedText(parsedOrFail(test::toJson(d))), kBaseCanonical);
    }
}

// ---------------------------------------------------------------------------
// Signature check
// ---------------------------------------------------------------------------

bool hasTempFiles(const std::filesystem::path& folder) {
    return std::filesystem::exists(folder / L"manifest_data.tmp") ||
           std::filesystem::exists(folder / L"manifest_sig.tmp");
}

TEST(SignatureCheck, SchemaOverrideSkipsWithoutTouchingDisk) {
    Manifest m = parsedOrFail(test::kSchemaBase);
    test::ScratchDir scratch;
    const std::filesystem::path missing = scratch.path() / L"no-such-cache";
    CryptoVerifier verifier;
    test::StdoutCapture capture;
    EXPECT_EQ(ManifestHandler::verifyManifestSignature(m, verifier, missing), ErrorCode::Success);
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
    EXPECT_TRUE(test::errorLines(capture).empty());
}

TEST(SignatureCheck, EmptySignatureRefused) {
    Manifest m = parsedOrFail(test::kLegacyBase);
    m.signature.clear();
    test::ScratchDir scratch;
    CryptoVerifier verifier;
    test::StdoutCapture capture;
    EXPECT_EQ(toInt(ManifestHandler::verifyManifestSignature(m, verifier, scratch.path())), 122);
    EXPECT_EQ(test::errorLines(capture),
              std::vector<std::string>{"No signature provided for verification (required for all manifests)"});
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
}

TEST(SignatureCheck, LegacyVerifiedAndTempFilesRemoved) {
    Manifest m = parsedOrFail(test::kLegacyBase);
    test::ScratchDir scratch;
    CryptoVerifier verifier;
    test::StdoutCapture capture;
    EXPECT_EQ(ManifestHandler::verifyManifestSignature(m, verifier, scratch.path()), ErrorCode::Success);
    EXPECT_TRUE(test::errorLines(capture).empty());
    EXPECT_EQ(test::allLines(capture).back(), "INFO Manifest signature verified successfully");
    EXPECT_FALSE(hasTempFiles(scratch.path()));
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
}

TEST(SignatureCheck, MissingCacheFolderGives140ThenRefusal) {
    Manifest m = parsedOrFail(test::kLegacyBase);
    test::ScratchDir scratch;
    const std::filesystem::path missing = scratch.path() / L"absent";
    CryptoVerifier verifier;
    {
        test::StdoutCapture capture;
        EXPECT_EQ(toInt(ManifestHandler::verifyCmsSignature("{}", "sig", verifier, missing)), 140);
        EXPECT_TRUE(test::errorLines(capture).empty());
    }
    test::StdoutCapture capture;
    EXPECT_EQ(toInt(ManifestHandler::verifyManifestSignature(m, verifier, missing)), 122);
    EXPECT_EQ(test::errorLines(capture), std::vector<std::string>{"Manifest signature verification failed"});
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(SignatureCheck, SignatureFileBlockedRemovesDataFile) {
    test::ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / L"manifest_sig.tmp");
    CryptoVerifier verifier;
    test::StdoutCapture capture;
    EXPECT_EQ(toInt(ManifestHandler::verifyCmsSignature("{\"a\":1}", "sig", verifier, scratch.path())), 140);
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / L"manifest_data.tmp"));
    EXPECT_TRUE(std::filesystem::is_directory(scratch.path() / L"manifest_sig.tmp"));
}

TEST(SignatureCheck, DataFileBlockedCreatesNothing) {
    test::ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / L"manifest_data.tmp");
    CryptoVerifier verifier;
    test::StdoutCapture capture;
    EXPECT_EQ(toInt(ManifestHandler::verifyCmsSignature("{}", "sig", verifier, scratch.path())), 140);
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / L"manifest_sig.tmp"));
    EXPECT_TRUE(std::filesystem::is_directory(scratch.path() / L"manifest_data.tmp"));
}

// Holding the temporary files open without delete sharing lets the test read
// exactly what the verifier was given, and shows that a removal failure
// leaves the check as a file-system error.
class HeldFile {
public:
    explicit HeldFile(const std::filesystem::path& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool valid() const { return handle_.valid(); }
    std::string contents() const {
        std::string result;
        SetFilePointer(handle_.get(), 0, nullptr, FILE_BEGIN);
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(handle_.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) result.append(buffer, got);
        return result;
    }

private:
    ScopedHandle handle_;
};

TEST(SignatureCheck, TempFilesHoldCanonicalTextAndSignatureBytes) {
    test::ScratchDir scratch;
    Manifest m = parsedOrFail(test::kLegacyBase);
    m.signature = std::string("line1\r\nline2\n\xC3\xA9\x01", 16);
    HeldFile data(scratch.path() / L"manifest_data.tmp");
    HeldFile sig(scratch.path() / L"manifest_sig.tmp");
    ASSERT_TRUE(data.valid());
    ASSERT_TRUE(sig.valid());
    CryptoVerifier verifier;
    test::StdoutCapture capture;
    EXPECT_THROW(ManifestHandler::verifyManifestSignature(m, verifier, scratch.path()),
                 std::filesystem::filesystem_error);
    EXPECT_EQ(data.contents(), kBaseCanonical);
    EXPECT_EQ(sig.contents(), m.signature);
}

// The schema form's canonical text comes from the same builder: its assets
// as files, the build's version as both versions, the totals computed.
TEST(CanonicalText, SchemaBaseExact) {
    const std::string expected =
        "{\"baseUrl\":\"\",\"channel\":\"nightly\",\"fileCount\":2,\"files\":["
        "{\"downloadUrl\":\"https://cdn.example/a\",\"permissions\":\"644\",\"relativePath\":\"bin/app.exe\","
        "\"sha256Hash\":\"" + kHashA + "\",\"size\":10},"
        "{\"downloadUrl\":\"https://cdn.example/b\",\"permissions\":\"644\",\"relativePath\":\"bin/lib.dll\","
        "\"sha256Hash\":\"" + kHashB + "\",\"size\":20}],"
        "\"gameVersion\":\"3.4.5\",\"totalSize\":30,\"version\":\"3.4.5\"}";
    EXPECT_EQ(buildCanonicalSignedText(parsedOrFail(test::kSchemaBase)), expected);
}

// JsonCpp's escapes, which scripts/sign-manifest.py reproduces: control
// characters, quotes and backslashes, and everything beyond ASCII as \u
// escapes (surrogate pairs beyond the first plane), '/' as it stands.
TEST(CanonicalText, EscapesAsTheWriterSpellsThem) {
    Json::Value doc = test::legacyBase();
    doc["channel"] = "\"q\" \\ / \t\n\x01\x1f \xc3\xa9\xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80";
    const std::string text = buildCanonicalSignedText(parsedOrFail(test::toJson(doc)));
    const std::string channel =
        "\"channel\":\"\\\"q\\\" \\\\ / \\t\\n\\u0001\\u001f \\u00e9\\u00a0\\u20ac\\ud83d\\ude00\"";
    EXPECT_NE(text.find(channel), std::string::npos) << text;
}

// With the key built in, both forms are checked, in memory, and only a real
// verification is reported as one.
TEST(KeyedSignatureCheck, BothFormsAreCheckedAgainstTheKey) {
    ASSERT_TRUE(builtInManifestKey().has_value());
    for (const char* base : {test::kLegacyBase, test::kSchemaBase}) {
        Manifest m = parsedOrFail(base);
        const std::string good = test::signBytes(buildCanonicalSignedText(m));
        Manifest changed = m;
        changed.files[0].size += 1;
        const struct {
            const char* why;
            const Manifest& manifest;
            std::string signature;
            ErrorCode expected;
        } cases[] = {
            {"good", m, good, ErrorCode::Success},
            {"placeholder", m, m.signature, ErrorCode::ManifestSignatureInvalid},
            {"size changed", changed, good, ErrorCode::ManifestSignatureInvalid},
            {"signature of other bytes", m, test::signBytes(buildCanonicalSignedText(changed)),
             ErrorCode::ManifestSignatureInvalid},
        };
        for (const auto& c : cases) {
            Manifest signedManifest = c.manifest;
            signedManifest.signature = c.signature;
            test::ScratchDir scratch;
            CryptoVerifier verifier(builtInManifestKey());
            EventLogger::instance().verbose = true;
            test::StdoutCapture capture;
            EXPECT_EQ(ManifestHandler::validateManifest(signedManifest, verifier, scratch.path()), c.expected)
                << base << " " << c.why;
            EventLogger::instance().verbose = false;
            const std::vector<std::string> all = test::allLines(capture);
            const bool verified =
                std::find(all.begin(), all.end(), "INFO Manifest signature verified successfully") != all.end();
            EXPECT_EQ(verified, c.expected == ErrorCode::Success) << c.why;
            for (const std::string& line : all) {
                EXPECT_EQ(line.find("schema override"), std::string::npos) << line;
                EXPECT_NE(line.rfind("WARNING", 0), 0u) << line;
            }
            if (c.expected != ErrorCode::Success) {
                EXPECT_EQ(test::errorLines(capture).back(), "Manifest signature verification failed") << c.why;
            }
            EXPECT_FALSE(hasTempFiles(scratch.path()));
        }
    }
}

TEST(KeyedSignatureCheck, AnEmptySchemaSignatureIsMissing) {
    Json::Value doc = test::schemaBase();
    doc["signatureBlock"]["signature"] = "";
    Manifest m = parsedOrFail(test::toJson(doc));
    test::ScratchDir scratch;
    CryptoVerifier verifier(builtInManifestKey());
    test::StdoutCapture capture;
    EXPECT_EQ(toInt(ManifestHandler::validateManifest(m, verifier, scratch.path())), 122);
    EXPECT_EQ(test::errorLines(capture), std::vector<std::string>{"Manifest missing signature"});
}

}  // namespace
}  // namespace korvel
