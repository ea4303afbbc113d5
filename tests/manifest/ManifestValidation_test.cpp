// The raw check on the JSON document, the semantic check on the parsed
// record (hostile paths included), the version pattern and the client /
// launcher classification.
#include <gtest/gtest.h>

#include <functional>

#include "tests/manifest/ManifestTestHelpers.h"

namespace korvel {
namespace {

using test::kHashA;
using test::kHashB;
using test::kHashUpper;

// ---------------------------------------------------------------------------
// Raw check
// ---------------------------------------------------------------------------

struct RawCase {
    const char* name;
    bool schema;
    std::function<void(Json::Value&)> mutate;
    const char* message;  // nullptr: passes
};

class RawCheck : public ::testing::TestWithParam<RawCase> {};

TEST_P(RawCheck, FirstFailingRuleDecides) {
    const RawCase& c = GetParam();
    Json::Value doc = c.schema ? test::schemaBase() : test::legacyBase();
    c.mutate(doc);
    test::StdoutCapture capture;
    const ErrorCode result = ManifestHandler::validateManifestSchema(doc);
    const std::vector<std::string> errors = test::errorLines(capture);
    if (c.message == nullptr) {
        EXPECT_EQ(result, ErrorCode::Success) << ::testing::PrintToString(errors);
        EXPECT_TRUE(errors.empty());
    } else {
        EXPECT_EQ(toInt(result), 123);
        EXPECT_EQ(errors, std::vector<std::string>{c.message});
    }
}

Json::Value assetWithPath(const std::string& path) {
    Json::Value a(Json::objectValue);
    a["path"] = path;
    a["size"] = 1;
    a["hash"] = kHashA;
    a["fullReference"]["url"] = "u";
    return a;
}

Json::Value legacyFile(const std::string& path) {
    Json::Value f(Json::objectValue);
    f["path"] = path;
    f["sha256"] = kHashA;
    f["size"] = 1;
    return f;
}

const std::string kPath260 = std::string(256, 'p') + ".bin";
const std::string kPath261 = std::string(257, 'p') + ".bin";
// 130 two-byte characters and one more byte: 131 characters, 261 bytes.
std::string multiBytePath261() {
    std::string p;
    for (int i = 0; i < 130; ++i) p += "\xC3\xA9";
    return p + "x";
}

const RawCase kRawCases[] = {
    {"SchemaBasePasses", true, [](Json::Value&) {}, nullptr},
    {"SchemaMissingSchemaVersion", true, [](Json::Value& d) { d.removeMember("schemaVersion"); },
     "Required field missing: schemaVersion"},
    {"SchemaMissingManifestId", true, [](Json::Value& d) { d.removeMember("manifestId"); },
     "Required field missing: manifestId"},
    {"SchemaMissingCreatedUtc", true, [](Json::Value& d) { d.removeMember("createdUtc"); },
     "Required field missing: createdUtc"},
    {"SchemaMissingBuildMetadata", true, [](Json::Value& d) { d.removeMember("buildMetadata"); },
     "Required field missing: buildMetadata"},
    {"SchemaMissingAssetsWithStringVersion", true, [](Json::Value& d) { d.removeMember("assets"); },
     "Required field missing: assets"},
    {"SchemaMissingSignatureBlock", true, [](Json::Value& d) { d.removeMember("signatureBlock"); },
     "Required field missing: signatureBlock"},
    {"SchemaFirstMissingKeyReported", true,
     [](Json::Value& d) {
         d.removeMember("signatureBlock");
         d.removeMember("createdUtc");
     },
     "Required field missing: createdUtc"},
    {"SchemaCreatedUtcAnyTypePasses", true, [](Json::Value& d) { d["createdUtc"] = Json::Value(); }, nullptr},
    {"SchemaManifestIdAnyTypePasses", true, [](Json::Value& d) { d["manifestId"] = 7; }, nullptr},
    {"SchemaBuildMetadataNotObject", true, [](Json::Value& d) { d["buildMetadata"] = "3.4.5"; },
     "buildMetadata must be an object"},
    {"SchemaBuildVersionMissing", true, [](Json::Value& d) { d["buildMetadata"].removeMember("version"); },
     "Required field missing: buildMetadata.version"},
    {"SchemaBuildVersionNotString", true, [](Json::Value& d) { d["buildMetadata"]["version"] = 3; },
     "Required field missing: buildMetadata.version"},
    {"SchemaBuildMetadataBeforeAssets", true,
     [](Json::Value& d) {
         d["buildMetadata"] = 1;
         d["assets"] = Json::Value(Json::arrayValue);
     },
     "buildMetadata must be an object"},
    {"SchemaAssetsEmpty", true, [](Json::Value& d) { d["assets"] = Json::Value(Json::arrayValue); },
     "Manifest assets array is missing or empty"},
    {"SchemaAssetsNotArray", true, [](Json::Value& d) { d["assets"] = Json::Value(Json::objectValue); },
     "Manifest assets array is missing or empty"},
    {"SchemaAssets10000Pass", true,
     [](Json::Value& d) {
         Json::Value assets(Json::arrayValue);
         for (int i = 0; i < 10000; ++i) assets.append(assetWithPath("f" + std::to_string(i)));
         d["assets"] = assets;
     },
     nullptr},
    {"SchemaAssets10001Fail", true,
     [](Json::Value& d) {
         Json::Value assets(Json::arrayValue);
         for (int i = 0; i < 10001; ++i) assets.append(assetWithPath("f" + std::to_string(i)));
         d["assets"] = assets;
     },
     "Manifest exceeds maximum file count"},
    {"SchemaCountBeforeEntries", true,
     [](Json::Value& d) {
         Json::Value assets(Json::arrayValue);
         for (int i = 0; i < 10001; ++i) assets.append(5);
         d["assets"] = assets;
     },
     "Manifest exceeds maximum file count"},
    {"SchemaAssetNumber", true, [](Json::Value& d) { d["assets"][1] = 5; }, "Asset entry must be an object"},
    {"SchemaAssetNull", true, [](Json::Value& d) { d["assets"][0] = Json::Value(); },
     "Asset entry must be an object"},
    {"SchemaAssetArray", true, [](Json::Value& d) { d["assets"][0] = Json::Value(Json::arrayValue); },
     "Asset entry must be an object"},
    {"SchemaAssetMissingPath", true, [](Json::Value& d) { d["assets"][0].removeMember("path"); },
     "Required field missing: assets.path"},
    {"SchemaAssetMissingSize", true, [](Json::Value& d) { d["assets"][0].removeMember("size"); },
     "Required field missing: assets.size"},
    {"SchemaAssetMissingHash", true, [](Json::Value& d) { d["assets"][0].removeMember("hash"); },
     "Required field missing: assets.hash"},
    {"SchemaAssetMissingSizeBeforeHash", true,
     [](Json::Value& d) {
         d["assets"][0].removeMember("hash");
         d["assets"][0].removeMember("size");
     },
     "Required field missing: assets.size"},
    {"SchemaAssetPathNotString", true, [](Json::Value& d) { d["assets"][0]["path"] = 1; },
     "Asset path must be a string"},
    {"SchemaAssetHashNotString", true, [](Json::Value& d) { d["assets"][0]["hash"] = Json::Value(); },
     "Asset hash must be a string"},
    {"SchemaAssetPathTypeBeforeHashType", true,
     [](Json::Value& d) {
         d["assets"][0]["path"] = 1;
         d["assets"][0]["hash"] = 2;
     },
     "Asset path must be a string"},
    {"SchemaAssetSizeText", true, [](Json::Value& d) { d["assets"][0]["size"] = "10"; }, "Asset size must be numeric"},
    {"SchemaAssetSizeBool", true, [](Json::Value& d) { d["assets"][0]["size"] = true; }, "Asset size must be numeric"},
    {"SchemaAssetSizeNull", true, [](Json::Value& d) { d["assets"][0]["size"] = Json::Value(); },
     "Asset size must be numeric"},
    {"SchemaAssetSizeReal", true, [](Json::Value& d) { d["assets"][0]["size"] = 10.5; }, nullptr},
    {"SchemaAssetPath260", true, [](Json::Value& d) { d["assets"][0]["path"] = kPath260; }, nullptr},
    {"SchemaAssetPath261", true, [](Json::Value& d) { d["assets"][0]["path"] = kPath261; },
     "Asset path too long: ppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp"
     "pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp"
     "pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp.bin"},
    {"SchemaAssetPathTooLongBeforeHash", true,
     [](Json::Value& d) {
         d["assets"][0]["path"] = kPath261;
         d["assets"][0]["hash"] = "zz";
     },
     "Asset path too long: ppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp"
     "pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp"
     "pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp.bin"},
    {"SchemaAssetHashShort", true, [](Json::Value& d) { d["assets"][1]["hash"] = kHashA.substr(1); },
     "Invalid asset hash format: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
    {"SchemaAssetHashNonHex", true, [](Json::Value& d) { d["assets"][0]["hash"] = "g" + kHashA.substr(1); },
     "Invalid asset hash format: gaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
    {"SchemaAssetHashUpperPasses", true, [](Json::Value& d) { d["assets"][0]["hash"] = kHashUpper; }, nullptr},
    {"SchemaAssetHashBeforeSize", true,
     [](Json::Value& d) {
         d["assets"][0]["hash"] = "abc";
         d["assets"][0]["size"] = Json::UInt64(2147483649ULL);
     },
     "Invalid asset hash format: abc"},
    {"SchemaAssetSizeAtLimit", true, [](Json::Value& d) { d["assets"][0]["size"] = Json::UInt64(2147483648ULL); },
     nullptr},
    {"SchemaAssetSizeOverLimit", true, [](Json::Value& d) { d["assets"][0]["size"] = Json::UInt64(2147483649ULL); },
     "Asset too large: bin/app.exe"},
    {"SchemaAssetSizeBeforeReference", true,
     [](Json::Value& d) {
         d["assets"][0]["size"] = Json::UInt64(2147483649ULL);
         d["assets"][0].removeMember("fullReference");
     },
     "Asset too large: bin/app.exe"},
    {"SchemaAssetNoReference", true, [](Json::Value& d) { d["assets"][0].removeMember("fullReference"); },
     "Required field missing: assets.fullReference"},
    {"SchemaAssetReferenceNotObject", true, [](Json::Value& d) { d["assets"][0]["fullReference"] = "https://x"; },
     "Required field missing: assets.fullReference"},
    {"SchemaAssetReferenceNoUrl", true, [](Json::Value& d) { d["assets"][0]["fullReference"].removeMember("url"); },
     "Required field missing: assets.fullReference.url"},
    {"SchemaAssetReferenceUrlNumber", true, [](Json::Value& d) { d["assets"][0]["fullReference"]["url"] = 5; },
     "Required field missing: assets.fullReference.url"},
    {"SchemaAssetErrorBeforeSignatureBlock", true,
     [](Json::Value& d) {
         d["assets"][1].removeMember("hash");
         d["signatureBlock"] = 1;
     },
     "Required field missing: assets.hash"},
    {"SchemaSignatureBlockNotObject", true, [](Json::Value& d) { d["signatureBlock"] = "sig"; },
     "signatureBlock must be an object"},
    {"SchemaSignatureMissing", true, [](Json::Value& d) { d["signatureBlock"].removeMember("signature"); },
     "Required field missing: signatureBlock.signature"},
    {"SchemaSignatureNotString", true, [](Json::Value& d) { d["signatureBlock"]["signature"] = 5; },
     "Required field missing: signatureBlock.signature"},
    {"SchemaSignatureEmptyPasses", true, [](Json::Value& d) { d["signatureBlock"]["signature"] = ""; }, nullptr},
    {"SchemaNonStringVersionWithAssetsArray", true, [](Json::Value& d) { d["schemaVersion"] = 2; }, nullptr},

    {"LegacyBasePasses", false, [](Json::Value&) {}, nullptr},
    {"LegacyMissingVersion", false, [](Json::Value& d) { d.removeMember("version"); },
     "Required field missing: version"},
    {"LegacyMissingFiles", false, [](Json::Value& d) { d.removeMember("files"); }, "Required field missing: files"},
    {"LegacyMissingVersionBeforeFiles", false,
     [](Json::Value& d) {
         d.removeMember("files");
         d.removeMember("version");
     },
     "Required field missing: version"},
    {"LegacyMissingFilesBeforeGameVersion", false,
     [](Json::Value& d) {
         d.removeMember("files");
         d.removeMember("gameVersion");
     },
     "Required field missing: files"},
    {"LegacyMissingGameVersion", false, [](Json::Value& d) { d.removeMember("gameVersion"); },
     "Required field missing: gameVersion"},
    {"LegacyMissingGameVersionLauncherComponent", false,
     [](Json::Value& d) {
         d.removeMember("gameVersion");
         d["component"] = "LAUNCHER";
     },
     nullptr},
    {"LegacyMissingGameVersionComponentNotString", false,
     [](Json::Value& d) {
         d.removeMember("gameVersion");
         d["component"] = 1;
     },
     "Required field missing: gameVersion"},
    {"LegacyMissingGameVersionHeuristicLauncher", false,
     [](Json::Value& d) {
         d.removeMember("gameVersion");
         d["files"][0]["path"] = "launcher/a.exe";
     },
     nullptr},
    {"LegacyMissingGameVersionHeuristicOneOfThree", false,
     [](Json::Value& d) {
         d.removeMember("gameVersion");
         d["files"][0]["path"] = "launcher/a.exe";
         d["files"].append(legacyFile("client/c.bin"));
     },
     "Required field missing: gameVersion"},
    {"LegacyMissingGameVersionBackslashNotLauncher", false,
     [](Json::Value& d) {
         d.removeMember("gameVersion");
         d["files"][0]["path"] = "launcher\\a.exe";
         d["files"][1]["relativePath"] = "launcher\\b.exe";
     },
     "Required field missing: gameVersion"},
    {"LegacyMissingGameVersionBeforeSignature", false,
     [](Json::Value& d) {
         d.removeMember("gameVersion");
         d.removeMember("signature");
     },
     "Required field missing: gameVersion"},
    {"LegacyMissingSignature", false, [](Json::Value& d) { d.removeMember("signature"); },
     "Required field missing: signature"},
    {"LegacyEmptySignaturePassesRawCheck", false, [](Json::Value& d) { d["signature"] = ""; }, nullptr},
    {"LegacySignatureBeforeVersionFormat", false,
     [](Json::Value& d) {
         d.removeMember("signature");
         d["version"] = "1.2";
     },
     "Required field missing: signature"},
    {"LegacyVersionTwoParts", false, [](Json::Value& d) { d["version"] = "1.2"; }, "Invalid version format"},
    {"LegacyVersionNumber", false, [](Json::Value& d) { d["version"] = 1; }, "Invalid version format"},
    {"LegacyVersionNull", false, [](Json::Value& d) { d["version"] = Json::Value(); }, "Invalid version format"},
    {"LegacyVersionBeforeFiles", false,
     [](Json::Value& d) {
         d["version"] = "v1";
         d["files"][0].removeMember("size");
     },
     "Invalid version format"},
    {"LegacyFilesObjectPasses", false, [](Json::Value& d) { d["files"] = Json::Value(Json::objectValue); }, nullptr},
    {"LegacyFilesNumberPasses", false, [](Json::Value& d) { d["files"] = 3; }, nullptr},
    {"LegacyFiles10000Pass", false,
     [](Json::Value& d) {
         Json::Value files(Json::arrayValue);
         for (int i = 0; i < 10000; ++i) files.append(legacyFile("f" + std::to_string(i)));
         d["files"] = files;
     },
     nullptr},
    {"LegacyFiles10001Fail", false,
     [](Json::Value& d) {
         Json::Value files(Json::arrayValue);
         for (int i = 0; i < 10001; ++i) files.append(legacyFile("f" + std::to_string(i)));
         d["files"] = files;
     },
     "Manifest exceeds maximum file count"},
    {"LegacyFileMissingSize", false, [](Json::Value& d) { d["files"][1].removeMember("size"); },
     "Required field missing: files.size"},
    {"LegacyFileNull", false, [](Json::Value& d) { d["files"][0] = Json::Value(); },
     "Required field missing: files.size"},
    {"LegacyFileSizeBeforePath", false,
     [](Json::Value& d) {
         d["files"][0].removeMember("size");
         d["files"][0].removeMember("path");
     },
     "Required field missing: files.size"},
    {"LegacyFileMissingPath", false, [](Json::Value& d) { d["files"][0].removeMember("path"); },
     "Required field missing: files.path (or relativePath)"},
    {"LegacyFilePathNumberNoAlias", false, [](Json::Value& d) { d["files"][0]["path"] = 7; },
     "Required field missing: files.path (or relativePath)"},
    {"LegacyFilePathNumberAliasString", false,
     [](Json::Value& d) {
         d["files"][0]["path"] = 7;
         d["files"][0]["relativePath"] = "a/b.txt";
     },
     nullptr},
    {"LegacyFileEmptyPathPassesRawCheck", false, [](Json::Value& d) { d["files"][0]["path"] = ""; }, nullptr},
    {"LegacyFilePath260", false, [](Json::Value& d) { d["files"][0]["path"] = kPath260; }, nullptr},
    {"LegacyFilePath261", false, [](Json::Value& d) { d["files"][0]["path"] = kPath261; },
     "Path too long: ppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp"
     "pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp"
     "pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp.bin"},
    {"LegacyFileMissingHash", false, [](Json::Value& d) { d["files"][0].removeMember("sha256"); },
     "Required field missing: files.sha256 (or sha256Hash)"},
    {"LegacyFileOnlyHashKey", false,
     [](Json::Value& d) {
         d["files"][0].removeMember("sha256");
         d["files"][0]["hash"] = kHashA;
     },
     "Required field missing: files.sha256 (or sha256Hash)"},
    {"LegacyFileHashNumberAliasString", false,
     [](Json::Value& d) {
         d["files"][0]["sha256"] = 1;
         d["files"][0]["sha256Hash"] = kHashB;
     },
     nullptr},
    {"LegacyFileHashEmpty", false, [](Json::Value& d) { d["files"][0]["sha256"] = ""; },
     "Invalid SHA-256 hash format"},
    {"LegacyFileHashLong", false, [](Json::Value& d) { d["files"][0]["sha256"] = kHashA + "a"; },
     "Invalid SHA-256 hash format"},
    {"LegacyFileHashUpperPasses", false, [](Json::Value& d) { d["files"][0]["sha256"] = kHashUpper; }, nullptr},
    {"LegacyFileSizeAtLimit", false, [](Json::Value& d) { d["files"][0]["size"] = Json::UInt64(2147483648ULL); },
     nullptr},
    {"LegacyFileSizeOverLimit", false, [](Json::Value& d) { d["files"][0]["size"] = Json::UInt64(2147483649ULL); },
     "File exceeds maximum size limit"},
    {"LegacyFilePathLengthBeforeHash", false,
     [](Json::Value& d) {
         d["files"][0]["path"] = kPath261;
         d["files"][0].removeMember("sha256");
     },
     "Path too long: ppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp"
     "pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp"
     "pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp.bin"},
    {"LegacyFirstBadFileDecides", false,
     [](Json::Value& d) {
         d["files"][0]["sha256"] = "x";
         d["files"][1].removeMember("size");
     },
     "Invalid SHA-256 hash format"},
};

INSTANTIATE_TEST_SUITE_P(Table, RawCheck, ::testing::ValuesIn(kRawCases),
                         [](const ::testing::TestParamInfo<RawCase>& info) { return std::string(info.param.name); });

TEST(RawCheckLimits, PathLengthCountsBytes) {
    Json::Value doc = test::legacyBase();
    doc["files"][0]["path"] = multiBytePath261();
    test::StdoutCapture capture;
    EXPECT_EQ(toInt(ManifestHandler::validateManifestSchema(doc)), 123);
    EXPECT_EQ(test::errorLines(capture), std::vector<std::string>{"Path too long: " + multiBytePath261()});
}

// ---------------------------------------------------------------------------
// Semantic check on the record
// ---------------------------------------------------------------------------

ManifestFile fileRecord(const std::string& path, const std::string& hash = kHashA, uint64_t size = 1) {
    ManifestFile f;
    f.path = path;
    f.sha256 = hash;
    f.size = size;
    return f;
}

Manifest recordBase() {
    Manifest m;
    m.version = "1.2.3";
    m.componentName = "";
    m.gameVersion = "2024.1";
    m.channel = "stable";
    m.signature = "sig";
    m.schemaOverride = true;  // keeps the signature check out of these cases
    m.files = {fileRecord("client/a.exe"), fileRecord("client/b.dat", kHashB, 5)};
    m.totalSize = 6;
    m.fileCount = 2;
    m.component = ManifestComponent::Client;
    return m;
}

struct SemanticCase {
    const char* name;
    std::function<void(Manifest&)> mutate;
    int code;
    const char* message;  // nullptr with code 0
};

class SemanticCheck : public ::testing::TestWithParam<SemanticCase> {};

TEST_P(SemanticCheck, FirstFailingRuleDecides) {
    const SemanticCase& c = GetParam();
    Manifest m = recordBase();
    c.mutate(m);
    test::ScratchDir scratch;
    CryptoVerifier verifier;
    test::StdoutCapture capture;
    const ErrorCode result = ManifestHandler::validateManifest(m, verifier, scratch.path());
    const std::vector<std::string> errors = test::errorLines(capture);
    EXPECT_EQ(toInt(result), c.code);
    if (c.message == nullptr) {
        EXPECT_TRUE(errors.empty()) << ::testing::PrintToString(errors);
    } else {
        EXPECT_EQ(errors, std::vector<std::string>{c.message});
    }
}

const SemanticCase kSemanticCases[] = {
    {"BasePasses", [](Manifest&) {}, 0, nullptr},
    {"MissingVersion", [](Manifest& m) { m.version.clear(); }, 123, "Manifest missing version"},
    {"MissingVersionBeforeNoFiles",
     [](Manifest& m) {
         m.version.clear();
         m.files.clear();
     },
     123, "Manifest missing version"},
    {"MissingGameVersion", [](Manifest& m) { m.gameVersion.clear(); }, 123, "Manifest missing game version"},
    {"MissingGameVersionClientText",
     [](Manifest& m) {
         m.gameVersion.clear();
         m.componentName = "client";
     },
     123, "Manifest missing game version"},
    {"MissingGameVersionClassifiedLauncherButNoText",
     [](Manifest& m) {
         m.gameVersion.clear();
         m.component = ManifestComponent::Launcher;
     },
     123, "Manifest missing game version"},
    {"MissingGameVersionLauncherText",
     [](Manifest& m) {
         m.gameVersion.clear();
         m.componentName = "LaUnChEr";
     },
     0, nullptr},
    {"MissingGameVersionBeforeNoFiles",
     [](Manifest& m) {
         m.gameVersion.clear();
         m.files.clear();
     },
     123, "Manifest missing game version"},
    {"NoFiles", [](Manifest& m) { m.files.clear(); }, 123, "Manifest contains no files"},
    {"NoFilesBeforeMissingSignature",
     [](Manifest& m) {
         m.files.clear();
         m.signature.clear();
         m.schemaOverride = false;
     },
     123, "Manifest contains no files"},
    {"MissingSignature",
     [](Manifest& m) {
         m.signature.clear();
         m.schemaOverride = false;
     },
     122, "Manifest missing signature"},
    {"MissingSignatureBeforeVersionFormat",
     [](Manifest& m) {
         m.signature.clear();
         m.schemaOverride = false;
         m.version = "1.2";
     },
     122, "Manifest missing signature"},
    {"MissingSignatureWithOverride", [](Manifest& m) { m.signature.clear(); }, 0, nullptr},
    {"BadVersion", [](Manifest& m) { m.version = "1.2"; }, 123, "Invalid version format: 1.2"},
    {"BadVersionBeforeFiles",
     [](Manifest& m) {
         m.version = "V1.2.3";
         m.files[0].path = "..";
     },
     123, "Invalid version format: V1.2.3"},
    {"UnsafePath", [](Manifest& m) { m.files[1].path = "../evil.dll"; }, 123, "Invalid or unsafe file path"},
    {"UnsafePathInOptionalFile",
     [](Manifest& m) {
         m.files[1].path = "C:\\Windows\\evil.dll";
         m.files[1].isRequired = false;
     },
     123, "Invalid or unsafe file path"},
    {"BadHash", [](Manifest& m) { m.files[1].sha256 = "abc"; }, 123, "Invalid hash format for file: client/b.dat"},
    {"EmptyHash", [](Manifest& m) { m.files[0].sha256.clear(); }, 123, "Invalid hash format for file: client/a.exe"},
    {"UpperHashPasses", [](Manifest& m) { m.files[0].sha256 = kHashUpper; }, 0, nullptr},
    {"PathBeforeHash",
     [](Manifest& m) {
         m.files[0].path = "a/../b";
         m.files[0].sha256 = "x";
     },
     123, "Invalid or unsafe file path"},
    {"HashBeforeSize",
     [](Manifest& m) {
         m.files[0].sha256 = "x";
         m.files[0].size = 2147483649ULL;
     },
     123, "Invalid hash format for file: client/a.exe"},
    {"SizeAtLimit", [](Manifest& m) { m.files[0].size = 2147483648ULL; }, 0, nullptr},
    {"SizeOverLimit", [](Manifest& m) { m.files[1].size = 2147483649ULL; }, 123, "File too large: client/b.dat"},
    {"FirstBadFileDecides",
     [](Manifest& m) {
         m.files[0].sha256 = "x";
         m.files[1].path = "..";
     },
     123, "Invalid hash format for file: client/a.exe"},
    {"LegacySignatureChecked", [](Manifest& m) { m.schemaOverride = false; }, 0, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Table, SemanticCheck, ::testing::ValuesIn(kSemanticCases),
                         [](const ::testing::TestParamInfo<SemanticCase>& info) {
                             return std::string(info.param.name);
                         });

struct PathCase {
    std::string path;
    bool safe;
};

// Every path of a manifest lands below the target folder of an elevated
// process: anything that could leave it or be reinterpreted is refused.
TEST(SemanticCheckPaths, HostilePathsRefusedSafeOnesAccepted) {
    const PathCase cases[] = {
        {"", false},
        {"..", false},
        {"../x", false},
        {"..\\x", false},
        {"a/../b", false},
        {"a/..", false},
        {".", false},
        {"./a", false},
        {"a/./b", false},
        {"/etc/passwd", false},
        {"\\Windows\\x.dll", false},
        {"C:\\Windows\\x.dll", false},
        {"C:/x", false},
        {"C:x", false},
        {"c:", false},
        {"\\\\server\\share\\a", false},
        {"//server/share/a", false},
        {"\\\\?\\C:\\a", false},
        {"\\\\.\\PhysicalDrive0", false},
        {"CON", false},
        {"con", false},
        {"nul.txt", false},
        {"a/Com1.log", false},
        {"lpt1", false},
        {"AUX.json", false},
        {"prn", false},
        {"con.tar.gz", false},
        {"COM9.txt", false},
        {"com\xC2\xB9", false},
        {"LPT\xC2\xB2.x", false},
        {"a/b.", false},
        {"a/b ", false},
        {"a//b", false},
        {"a/", false},
        {"a\\", false},
        {"a:b", false},
        {"file.txt:stream", false},
        {"a<b", false},
        {"a>b", false},
        {"a|b", false},
        {"a\"b", false},
        {"a?b", false},
        {"a*b", false},
        {"a\tb", false},
        {"a\x01" "b", false},
        {"a\x1f", false},
        {std::string("a\0b", 3), false},
        {std::string("\0", 1), false},
        {"\xFF", false},
        {"a/\xC3", false},
        {"\xED\xA0\x80", false},  // an encoded surrogate is not UTF-8
        {"a/b\\c.txt", true},
        {"a/.b", true},
        {"a/b.c", true},
        {"COM0", true},
        {"LPT10", true},
        {"CONSOLE", true},
        {"CON1", true},
        {"x/conx", true},
        {"\xC3\xA9t\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC.txt", true},
        {"launcher/Launcher.exe", true},
    };
    for (const PathCase& c : cases) {
        test::StdoutCapture capture;
        const ErrorCode result = ManifestHandler::validateFileEntry(fileRecord(c.path));
        if (c.safe) {
            EXPECT_EQ(result, ErrorCode::Success) << ::testing::PrintToString(c.path);
        } else {
            EXPECT_EQ(toInt(result), 123) << ::testing::PrintToString(c.path);
            EXPECT_EQ(test::errorLines(capture), std::vector<std::string>{"Invalid or unsafe file path"})
                << ::testing::PrintToString(c.path);
        }
    }
}

// The raw check admits any string path; hostile ones are stopped by the
// semantic check, before anything touches the disk.
TEST(SemanticCheckPaths, ParsedHostilePathStoppedByValidation) {
    for (const char* path : {"../../Windows/System32/evil.dll", "C:\\evil.dll", "client/CON", "a/b:ads"}) {
        Json::Value doc = test::legacyBase();
        doc["files"][1]["relativePath"] = path;
        const test::ParseOutcome parsed = test::parseDoc(doc);
        ASSERT_EQ(parsed.code, 0) << path;
        test::ScratchDir scratch;
        CryptoVerifier verifier;
        test::StdoutCapture capture;
        EXPECT_EQ(toInt(ManifestHandler::validateManifest(parsed.manifest, verifier, scratch.path())), 123) << path;
        EXPECT_EQ(test::errorLines(capture), std::vector<std::string>{"Invalid or unsafe file path"});
        EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
    }
}

TEST(SemanticCheckFlow, InferredLauncherWithoutComponentTextRefused) {
    Json::Value doc = test::legacyBase();
    doc.removeMember("gameVersion");
    doc["files"][0]["path"] = "launcher/a.exe";
    doc["files"][1]["relativePath"] = "launcher/b.dll";
    const test::ParseOutcome parsed = test::parseDoc(doc);
    ASSERT_EQ(parsed.code, 0);
    EXPECT_EQ(parsed.manifest.component, ManifestComponent::Launcher);
    test::ScratchDir scratch;
    CryptoVerifier verifier;
    {
        test::StdoutCapture capture;
        EXPECT_EQ(toInt(ManifestHandler::validateManifest(parsed.manifest, verifier, scratch.path())), 123);
        EXPECT_EQ(test::errorLines(capture), std::vector<std::string>{"Manifest missing game version"});
    }
    doc["component"] = "Launcher";
    const test::ParseOutcome explicitLauncher = test::parseDoc(doc);
    ASSERT_EQ(explicitLauncher.code, 0);
    test::StdoutCapture capture;
    EXPECT_EQ(ManifestHandler::validateManifest(explicitLauncher.manifest, verifier, scratch.path()),
              ErrorCode::Success)
        << ::testing::PrintToString(test::errorLines(capture));
}

TEST(SemanticCheckFlow, LegacyFilesObjectEndsWithNoFiles) {
    Json::Value doc = test::legacyBase();
    doc["files"] = Json::Value(Json::objectValue);
    const test::ParseOutcome parsed = test::parseDoc(doc);
    ASSERT_EQ(parsed.code, 0);
    test::ScratchDir scratch;
    CryptoVerifier verifier;
    test::StdoutCapture capture;
    EXPECT_EQ(toInt(ManifestHandler::validateManifest(parsed.manifest, verifier, scratch.path())), 123);
    EXPECT_EQ(test::errorLines(capture), std::vector<std::string>{"Manifest contains no files"});
}

TEST(SemanticCheckFlow, SchemaEmptySignatureNeverRefused) {
    Json::Value doc = test::schemaBase();
    doc["signatureBlock"]["signature"] = "";
    const test::ParseOutcome parsed = test::parseDoc(doc);
    ASSERT_EQ(parsed.code, 0);
    test::ScratchDir scratch;
    CryptoVerifier verifier;
    test::StdoutCapture capture;
    EXPECT_EQ(ManifestHandler::validateManifest(parsed.manifest, verifier, scratch.path()), ErrorCode::Success);
    EXPECT_TRUE(test::errorLines(capture).empty());
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
}

TEST(SemanticCheckFlow, ValidLegacyRunsSignatureCheckAndLogsSuccess) {
    const test::ParseOutcome parsed = test::parseText(test::kLegacyBase);
    ASSERT_EQ(parsed.code, 0);
    test::ScratchDir scratch;
    CryptoVerifier verifier;
    test::StdoutCapture capture;
    EXPECT_EQ(ManifestHandler::validateManifest(parsed.manifest, verifier, scratch.path()), ErrorCode::Success);
    const std::vector<std::string> lines = test::allLines(capture);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "INFO Manifest signature verified successfully");
    EXPECT_EQ(lines.back(), "INFO Manifest validation successful");
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
}

// ---------------------------------------------------------------------------
// Version pattern and classification
// ---------------------------------------------------------------------------

TEST(VersionPattern, Table) {
    const std::pair<const char*, bool> cases[] = {
        {"1.2.3", true},        {"10.0.0-beta", true},   {"1.2.3-rc.1", true},   {"01.2.3", true},
        {"0.0.0", true},        {"1.2.3-a.b.c.9", true}, {"123.456.789", true},  {"1.2.3-RC1", true},
        {"1.2", false},         {"V1.2.3", false},       {"1.2.3-", false},      {"1.2.3+build", false},
        {"1.2.3-beta..1", false}, {"1.2.3-beta.", false}, {"", false},           {"1..3", false},
        {".1.2.3", false},      {"1.2.3.4", false},      {" 1.2.3", false},      {"1.2.3 ", false},
        {"1.2.3\n", false},     {"1.2.3-be_ta", false},  {"1.2.3-\xC3\xA9", false}, {"\xD9\xA1.2.3", false},
        {"1.2.x", false},       {"1.2.3--a", false},     {"-1.2.3", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ManifestHandler::isValidVersion(c.first), c.second) << c.first;
    }
    EXPECT_FALSE(ManifestHandler::isValidVersion(std::string("1.2.3\0", 6)));
    EXPECT_TRUE(ManifestHandler::isValidVersion(std::string(100000, '9') + ".0.0-" + std::string(100000, 'a')));
}

TEST(Classification, LauncherPath) {
    const std::pair<const char*, bool> cases[] = {
        {"", false},
        {"launcher/a.exe", true},
        {"Launcher/App.exe", true},
        {"LAUNCHER/x", true},
        {"launcher\\App.exe", false},
        {"client/launcher/x.dll", true},
        {"a/LAUNCHER/b", true},
        {"launcher", false},
        {"launchers/a", false},
        {"mylauncher/a", false},
        {"a\\launcher\\b", false},
        {"/launcher/", true},
    };
    for (const auto& c : cases) EXPECT_EQ(isLauncherPath(c.first), c.second) << c.first;
}

TEST(Classification, FilesLookLikeLauncher) {
    const auto docWith = [](std::initializer_list<Json::Value> files) {
        Json::Value d(Json::objectValue);
        d["files"] = Json::Value(Json::arrayValue);
        for (const Json::Value& f : files) d["files"].append(f);
        return d;
    };
    const auto withPath = [](const char* key, const char* path) {
        Json::Value f(Json::objectValue);
        f[key] = path;
        return f;
    };
    EXPECT_FALSE(filesLookLikeLauncher(Json::Value(Json::objectValue)));
    Json::Value notArray(Json::objectValue);
    notArray["files"] = "launcher/a";
    EXPECT_FALSE(filesLookLikeLauncher(notArray));
    EXPECT_FALSE(filesLookLikeLauncher(docWith({})));
    EXPECT_TRUE(filesLookLikeLauncher(docWith({withPath("path", "launcher/a"), withPath("path", "client/b")})));
    EXPECT_FALSE(filesLookLikeLauncher(
        docWith({withPath("path", "launcher/a"), withPath("path", "client/b"), withPath("path", "client/c")})));
    EXPECT_TRUE(filesLookLikeLauncher(docWith({withPath("relativePath", "launcher/a")})));
    // Elements without a string path are not counted at all.
    Json::Value pathless(Json::objectValue);
    pathless["path"] = 5;
    EXPECT_TRUE(filesLookLikeLauncher(docWith({withPath("path", "launcher/a"), pathless, pathless, Json::Value()})));
    EXPECT_FALSE(filesLookLikeLauncher(docWith({pathless, Json::Value()})));
    // "path" that is not a string gives way to "relativePath".
    Json::Value alias(Json::objectValue);
    alias["path"] = 5;
    alias["relativePath"] = "x/launcher/y";
    EXPECT_TRUE(filesLookLikeLauncher(docWith({alias})));
    // A file element that is neither an object nor null: JsonCpp's exception.
    EXPECT_THROW(filesLookLikeLauncher(docWith({Json::Value(3)})), Json::Exception);
}

TEST(Classification, CountFileAreas) {
    Manifest m;
    m.files = {fileRecord("launcher/a"), fileRecord("Client/Launcher/Resources/x"), fileRecord("game/b"),
               fileRecord("bin/c"), fileRecord("assets/d"), fileRecord("resources/e"), fileRecord("x/client/f"),
               fileRecord("launcher\\g")};
    const FileAreaCounts counts = countFileAreas(m);
    EXPECT_EQ(counts.total, 8);
    EXPECT_EQ(counts.launcher, 2);
    EXPECT_EQ(counts.resources, 2);
    EXPECT_EQ(counts.clientArea, 4);
}

TEST(Classification, IsLauncherManifest) {
    struct Case {
        std::string componentName;
        std::string gameVersion;
        std::vector<std::string> paths;
        ManifestComponent expected;
    };
    const Case cases[] = {
        {"launcher", "", {"client/a"}, ManifestComponent::Launcher},
        {"LAUNCHER", "1", {}, ManifestComponent::Launcher},
        {"Client", "", {"launcher/a"}, ManifestComponent::Client},
        {"tools", "1", {"launcher/a"}, ManifestComponent::Client},
        {"", "1", {"launcher/a"}, ManifestComponent::Client},
        {"", "", {}, ManifestComponent::Client},
        {"", "", {"client/launcher/x.dll"}, ManifestComponent::Client},
        {"", "", {"client/launcher/x.dll", "launcher/y.dll"}, ManifestComponent::Launcher},
        {"", "", {"resources/a"}, ManifestComponent::Launcher},
        {"", "", {"readme.txt"}, ManifestComponent::Client},
        {"", "", {"launcher\\App.exe"}, ManifestComponent::Client},
        {"other", "", {"Launcher/App.exe"}, ManifestComponent::Launcher},
    };
    for (const Case& c : cases) {
        Manifest m;
        m.componentName = c.componentName;
        m.gameVersion = c.gameVersion;
        for (const std::string& p : c.paths) m.files.push_back(fileRecord(p));
        EXPECT_EQ(ManifestHandler::isLauncherManifest(m), c.expected)
            << c.componentName << "/" << c.gameVersion << "/" << ::testing::PrintToString(c.paths);
    }
}

}  // namespace
}  // namespace korvel
