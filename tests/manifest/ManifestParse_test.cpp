// Parsing of both manifest forms into the Manifest record: fields, aliases,
// defaults, recomputed totals, component inference, and the failures.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>

#include "tests/manifest/ManifestTestHelpers.h"

namespace korvel {
namespace {

using test::kHashA;
using test::kHashB;
using test::kHashUpper;
using test::legacyBase;
using test::parseDoc;
using test::parseText;
using test::schemaBase;

int64_t localTicks(int year, int month, int day, int hour, int minute, int second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = 0;
    return static_cast<int64_t>(std::mktime(&fields)) * 10000000LL;
}

TEST(ManifestParse, LegacyBaseFillsEveryField) {
    const test::ParseOutcome r = test::parseText(test::kLegacyBase);
    ASSERT_EQ(r.code, 0) << ::testing::PrintToString(r.errors);
    const Manifest& m = r.manifest;
    EXPECT_EQ(m.schemaVersion, "");
    EXPECT_EQ(m.manifestId, "");
    EXPECT_EQ(m.version, "1.2.3");
    EXPECT_EQ(m.gameVersion, "2024.1");
    EXPECT_EQ(m.componentName, "");
    EXPECT_FALSE(m.componentExplicit);
    EXPECT_EQ(m.component, ManifestComponent::Client);
    EXPECT_EQ(m.channel, "beta");
    EXPECT_EQ(m.baseUrl, "https://cdn.example/base/");
    EXPECT_EQ(m.signature, "c2lnbmF0dXJl");
    EXPECT_EQ(m.createdAt, 0);
    EXPECT_FALSE(m.schemaForm);
    EXPECT_FALSE(m.schemaOverride);
    EXPECT_TRUE(m.signatureBlock.isObject());
    EXPECT_TRUE(m.signatureBlock.empty());
    EXPECT_EQ(m.totalSize, 2148u);
    EXPECT_EQ(m.fileCount, 2);
    ASSERT_EQ(m.files.size(), 2u);
    EXPECT_EQ(m.files[0].path, "client/game.exe");
    EXPECT_EQ(m.files[0].sha256, kHashA);
    EXPECT_EQ(m.files[0].size, 100u);
    EXPECT_TRUE(m.files[0].isExecutable);
    EXPECT_TRUE(m.files[0].isRequired);
    EXPECT_EQ(m.files[0].downloadUrl, "");
    EXPECT_EQ(m.files[0].compressionLevel, 0);
    EXPECT_EQ(m.files[0].permissions, "644");
    EXPECT_EQ(m.files[0].lastModified, 0);
    EXPECT_EQ(m.files[1].path, "client/data/pak0.bin");
    EXPECT_EQ(m.files[1].sha256, kHashB);
    EXPECT_EQ(m.files[1].size, 2048u);
    EXPECT_FALSE(m.files[1].isExecutable);
}

TEST(ManifestParse, SchemaBaseFillsEveryField) {
    const test::ParseOutcome r = test::parseText(test::kSchemaBase);
    ASSERT_EQ(r.code, 0) << ::testing::PrintToString(r.errors);
    const Manifest& m = r.manifest;
    EXPECT_EQ(m.schemaVersion, "2.0");
    EXPECT_EQ(m.manifestId, "m-42");
    EXPECT_EQ(m.version, "3.4.5");
    EXPECT_EQ(m.gameVersion, "3.4.5");
    EXPECT_EQ(m.channel, "nightly");
    EXPECT_EQ(m.componentName, "client");
    EXPECT_FALSE(m.componentExplicit);
    EXPECT_EQ(m.component, ManifestComponent::Client);
    EXPECT_EQ(m.createdAt, localTicks(2024, 3, 5, 6, 7, 8));
    EXPECT_NEAR(static_cast<double>(m.createdAt / 10000000LL), 1709618828.0, 14 * 3600.0);
    EXPECT_EQ(m.description, "");
    EXPECT_EQ(m.baseUrl, "");
    EXPECT_TRUE(m.schemaForm);
    EXPECT_TRUE(m.schemaOverride);
    EXPECT_EQ(m.signature, "sig");
    EXPECT_EQ(m.signatureBlock.get("algorithm", "").asString(), "none");
    EXPECT_EQ(m.signatureBlock.get("signature", "").asString(), "sig");
    EXPECT_EQ(m.totalSize, 30u);
    EXPECT_EQ(m.fileCount, 2);
    ASSERT_EQ(m.files.size(), 2u);
    EXPECT_EQ(m.files[0].path, "bin/app.exe");
    EXPECT_EQ(m.files[0].size, 10u);
    EXPECT_EQ(m.files[0].sha256, kHashA);
    EXPECT_EQ(m.files[0].downloadUrl, "https://cdn.example/a");
    EXPECT_FALSE(m.files[0].isExecutable);
    EXPECT_TRUE(m.files[0].isRequired);
    EXPECT_EQ(m.files[0].permissions, "644");
    EXPECT_EQ(m.files[1].downloadUrl, "https://cdn.example/b");
}

struct ValidCase {
    const char* name;
    bool schema;
    std::function<void(Json::Value&)> mutate;
    std::function<void(const Manifest&)> check;
};

class ManifestParseValid : public ::testing::TestWithParam<ValidCase> {};

TEST_P(ManifestParseValid, ParsesToExpectedFields) {
    const ValidCase& c = GetParam();
    Json::Value doc = c.schema ? schemaBase() : legacyBase();
    c.mutate(doc);
    const test::ParseOutcome r = parseDoc(doc);
    ASSERT_EQ(r.code, 0) << ::testing::PrintToString(r.errors);
    EXPECT_TRUE(r.errors.empty());
    c.check(r.manifest);
}

const ValidCase kValidCases[] = {
    {"LegacyTotalsKeptWhenBothGiven", false,
     [](Json::Value& d) { d["totalSize"] = 5000; d["fileCount"] = 9; },
     [](const Manifest& m) { EXPECT_EQ(m.totalSize, 5000u); EXPECT_EQ(m.fileCount, 9); }},
    {"LegacyZeroTotalSizeRecomputesBoth", false,
     [](Json::Value& d) { d["totalSize"] = 0; d["fileCount"] = 3; },
     [](const Manifest& m) { EXPECT_EQ(m.totalSize, 2148u); EXPECT_EQ(m.fileCount, 2); }},
    {"LegacyZeroFileCountRecomputesBoth", false,
     [](Json::Value& d) { d["totalSize"] = 7; d["fileCount"] = 0; },
     [](const Manifest& m) { EXPECT_EQ(m.totalSize, 2148u); EXPECT_EQ(m.fileCount, 2); }},
    {"LegacyOptionalFileCountsInTotals", false,
     [](Json::Value& d) { d["files"][1]["isRequired"] = false; },
     [](const Manifest& m) {
         EXPECT_EQ(m.totalSize, 2148u);
         EXPECT_EQ(m.fileCount, 2);
         EXPECT_FALSE(m.files[1].isRequired);
     }},
    {"LegacyEmptyFilesArray", false, [](Json::Value& d) { d["files"] = Json::Value(Json::arrayValue); },
     [](const Manifest& m) {
         EXPECT_TRUE(m.files.empty());
         EXPECT_EQ(m.totalSize, 0u);
         EXPECT_EQ(m.fileCount, 0);
     }},
    {"LegacyFilesObjectGivesNoFiles", false, [](Json::Value& d) { d["files"] = Json::Value(Json::objectValue); },
     [](const Manifest& m) { EXPECT_TRUE(m.files.empty()); }},
    {"LegacyFilesStringGivesNoFiles", false, [](Json::Value& d) { d["files"] = "none"; },
     [](const Manifest& m) { EXPECT_TRUE(m.files.empty()); }},
    {"LegacyExplicitLauncherAnyCase", false, [](Json::Value& d) { d["component"] = "Launcher"; },
     [](const Manifest& m) {
         EXPECT_EQ(m.componentName, "Launcher");
         EXPECT_TRUE(m.componentExplicit);
         EXPECT_EQ(m.component, ManifestComponent::Launcher);
     }},
    {"LegacyExplicitClientUpperCase", false,
     [](Json::Value& d) {
         d["component"] = "CLIENT";
         d["files"][0]["path"] = "launcher/a.exe";
         d["files"][1]["relativePath"] = "launcher/b.dll";
     },
     [](const Manifest& m) { EXPECT_EQ(m.component, ManifestComponent::Client); }},
    {"LegacyOtherComponentWithGameVersionIsClient", false,
     [](Json::Value& d) {
         d["component"] = "tools";
         d["files"][0]["path"] = "launcher/a.exe";
         d["files"][1]["relativePath"] = "launcher/b.dll";
     },
     [](const Manifest& m) {
         EXPECT_EQ(m.componentName, "tools");
         EXPECT_TRUE(m.componentExplicit);
         EXPECT_EQ(m.component, ManifestComponent::Client);
     }},
    {"LegacyInferredLauncherWithoutGameVersion", false,
     [](Json::Value& d) {
         d.removeMember("gameVersion");
         d["files"][0]["path"] = "Launcher/App.exe";
         d["files"][1]["relativePath"] = "launcher/lib.dll";
     },
     [](const Manifest& m) {
         EXPECT_EQ(m.componentName, "");
         EXPECT_FALSE(m.componentExplicit);
         EXPECT_EQ(m.gameVersion, "");
         EXPECT_EQ(m.component, ManifestComponent::Launcher);
     }},
    {"LegacyHalfLauncherPathsIsLauncherForRawCheck", false,
     [](Json::Value& d) {
         d.removeMember("gameVersion");
         d["files"][0]["path"] = "launcher/a.exe";
         d["files"][1]["relativePath"] = "resources/x.pak";
     },
     [](const Manifest& m) { EXPECT_EQ(m.component, ManifestComponent::Launcher); }},
    {"LegacyPathAliasSkipsNonString", false,
     [](Json::Value& d) {
         d["files"][0]["path"] = 7;
         d["files"][0]["relativePath"] = "a/b.txt";
     },
     [](const Manifest& m) { EXPECT_EQ(m.files[0].path, "a/b.txt"); }},
    {"LegacyPathWinsOverRelativePath", false,
     [](Json::Value& d) { d["files"][0]["relativePath"] = "other.txt"; },
     [](const Manifest& m) { EXPECT_EQ(m.files[0].path, "client/game.exe"); }},
    {"LegacyHashAliasSkipsNonString", false,
     [](Json::Value& d) {
         d["files"][0]["sha256"] = 12;
         d["files"][0]["sha256Hash"] = kHashB;
     },
     [](const Manifest& m) { EXPECT_EQ(m.files[0].sha256, kHashB); }},
    {"LegacyUpperCaseHashKeptAsWritten", false, [](Json::Value& d) { d["files"][0]["sha256"] = kHashUpper; },
     [](const Manifest& m) { EXPECT_EQ(m.files[0].sha256, kHashUpper); }},
    {"LegacyUrlAlias", false, [](Json::Value& d) { d["files"][0]["url"] = "https://x/y"; },
     [](const Manifest& m) { EXPECT_EQ(m.files[0].downloadUrl, "https://x/y"); }},
    {"LegacyDownloadUrlWinsOverUrl", false,
     [](Json::Value& d) {
         d["files"][0]["downloadUrl"] = "https://first";
         d["files"][0]["url"] = "https://second";
     },
     [](const Manifest& m) { EXPECT_EQ(m.files[0].downloadUrl, "https://first"); }},
    {"LegacyNonStringDownloadUrlFallsBackToUrl", false,
     [](Json::Value& d) {
         d["files"][0]["downloadUrl"] = 5;
         d["files"][0]["url"] = "https://second";
     },
     [](const Manifest& m) { EXPECT_EQ(m.files[0].downloadUrl, "https://second"); }},
    {"LegacyNonStringDownloadUrlAloneReadAsText", false, [](Json::Value& d) { d["files"][0]["downloadUrl"] = 5; },
     [](const Manifest& m) { EXPECT_EQ(m.files[0].downloadUrl, "5"); }},
    {"LegacyFileOptionalFields", false,
     [](Json::Value& d) {
         Json::Value& f = d["files"][1];
         f["isRequired"] = false;
         f["isExecutable"] = true;
         f["compressionLevel"] = 9;
         f["permissions"] = "755";
         f["lastModified"] = "2023-01-02T03:04:05.123+01:00";
     },
     [](const Manifest& m) {
         const ManifestFile& f = m.files[1];
         EXPECT_FALSE(f.isRequired);
         EXPECT_TRUE(f.isExecutable);
         EXPECT_EQ(f.compressionLevel, 9);
         EXPECT_EQ(f.permissions, "755");
         EXPECT_EQ(f.lastModified, localTicks(2023, 1, 2, 3, 4, 5));
     }},
    {"LegacyLastModifiedNotMatchingIsZero", false,
     [](Json::Value& d) { d["files"][1]["lastModified"] = "yesterday"; },
     [](const Manifest& m) { EXPECT_EQ(m.files[1].lastModified, 0); }},
    {"LegacyTopLevelOptionalFields", false,
     [](Json::Value& d) {
         d["manifestId"] = 5;
         d["description"] = "Spring update";
         d["createdBy"] = "builder";
         d["previousVersion"] = "1.2.2";
         d["signerCertificate"] = "cert";
         d["isIncremental"] = true;
         d["createdAt"] = "2024-03-05T06:07:08";
     },
     [](const Manifest& m) {
         EXPECT_EQ(m.manifestId, "5");
         EXPECT_EQ(m.description, "Spring update");
         EXPECT_EQ(m.createdBy, "builder");
         EXPECT_EQ(m.previousVersion, "1.2.2");
         EXPECT_EQ(m.signerCertificate, "cert");
         EXPECT_TRUE(m.isIncremental);
         EXPECT_EQ(m.createdAt, localTicks(2024, 3, 5, 6, 7, 8));
     }},
    {"LegacyCreatedAtWithZKeepsSameTime", false, [](Json::Value& d) { d["createdAt"] = "2024-03-05T06:07:08Z"; },
     [](const Manifest& m) { EXPECT_EQ(m.createdAt, localTicks(2024, 3, 5, 6, 7, 8)); }},
    {"LegacyCreatedAtNotMatchingIsZero", false, [](Json::Value& d) { d["createdAt"] = "05/03/2024"; },
     [](const Manifest& m) { EXPECT_EQ(m.createdAt, 0); }},
    {"LegacyChannelDefaultsToStable", false, [](Json::Value& d) { d.removeMember("channel"); },
     [](const Manifest& m) { EXPECT_EQ(m.channel, "stable"); }},
    {"LegacyScalarsReadAsText", false,
     [](Json::Value& d) {
         d["gameVersion"] = 2024;
         d["channel"] = true;
         d["description"] = Json::Value();
         d["baseUrl"] = 1.5;
     },
     [](const Manifest& m) {
         EXPECT_EQ(m.gameVersion, "2024");
         EXPECT_EQ(m.channel, "true");
         EXPECT_EQ(m.description, "");
         EXPECT_EQ(m.baseUrl, "1.5");
     }},
    {"LegacyPreReleaseVersion", false, [](Json::Value& d) { d["version"] = "1.2.3-rc.1"; },
     [](const Manifest& m) { EXPECT_EQ(m.version, "1.2.3-rc.1"); }},
    {"LegacyUnknownKeysIgnored", false,
     [](Json::Value& d) {
         d["extra"] = Json::Value(Json::objectValue);
         d["files"][0]["extra"] = Json::Value(Json::arrayValue);
     },
     [](const Manifest& m) { EXPECT_EQ(m.files.size(), 2u); }},
    {"LegacyLimitsExactlyAtTheEdge", false,
     [](Json::Value& d) {
         d["files"][0]["path"] = std::string(256, 'p') + ".exe";
         d["files"][0]["size"] = Json::UInt64(2147483648ULL);
     },
     [](const Manifest& m) {
         EXPECT_EQ(m.files[0].path.size(), 260u);
         EXPECT_EQ(m.files[0].size, 2147483648ULL);
         EXPECT_EQ(m.totalSize, 2147483648ULL + 2048u);
     }},
    {"SchemaAssetExtraKeysIgnored", true,
     [](Json::Value& d) {
         Json::Value& a = d["assets"][0];
         a["isExecutable"] = true;
         a["isRequired"] = false;
         a["compressionLevel"] = 5;
         a["permissions"] = "755";
         a["sha256"] = kHashB;
     },
     [](const Manifest& m) {
         const ManifestFile& f = m.files[0];
         EXPECT_FALSE(f.isExecutable);
         EXPECT_TRUE(f.isRequired);
         EXPECT_EQ(f.compressionLevel, 0);
         EXPECT_EQ(f.permissions, "644");
         EXPECT_EQ(f.sha256, kHashA);
     }},
    {"SchemaUpperCaseHashKept", true, [](Json::Value& d) { d["assets"][1]["hash"] = kHashUpper; },
     [](const Manifest& m) { EXPECT_EQ(m.files[1].sha256, kHashUpper); }},
    {"SchemaExplicitLauncherAnyCase", true,
     [](Json::Value& d) {
         d["component"] = "LAUNCHER";
         d["buildMetadata"]["version"] = "";
     },
     [](const Manifest& m) {
         EXPECT_EQ(m.componentName, "LAUNCHER");
         EXPECT_TRUE(m.componentExplicit);
         EXPECT_EQ(m.component, ManifestComponent::Launcher);
         EXPECT_EQ(m.gameVersion, "");
     }},
    {"SchemaOtherComponentTextFallsToInference", true,
     [](Json::Value& d) {
         d["component"] = "other";
         d["assets"][0]["path"] = "launcher/a.exe";
         d["assets"][1]["path"] = "launcher/b.exe";
     },
     [](const Manifest& m) {
         EXPECT_EQ(m.componentName, "other");
         EXPECT_TRUE(m.componentExplicit);
         EXPECT_EQ(m.component, ManifestComponent::Client);  // gameVersion present
     }},
    {"SchemaWithoutComponentAlwaysClient", true,
     [](Json::Value& d) {
         d["assets"][0]["path"] = "launcher/a.exe";
         d["assets"][1]["path"] = "launcher/b.exe";
     },
     [](const Manifest& m) {
         EXPECT_EQ(m.componentName, "client");
         EXPECT_EQ(m.component, ManifestComponent::Client);
     }},
    {"SchemaChannelDefaultsToStable", true, [](Json::Value& d) { d["buildMetadata"].removeMember("channel"); },
     [](const Manifest& m) { EXPECT_EQ(m.channel, "stable"); }},
    {"SchemaCreatedUtcWithoutZSameTime", true, [](Json::Value& d) { d["createdUtc"] = "2024-03-05T06:07:08"; },
     [](const Manifest& m) { EXPECT_EQ(m.createdAt, localTicks(2024, 3, 5, 6, 7, 8)); }},
    {"SchemaCreatedUtcNonStringLeavesZero", true, [](Json::Value& d) { d["createdUtc"] = 17; },
     [](const Manifest& m) { EXPECT_EQ(m.createdAt, 0); }},
    {"SchemaOptionalTopLevelText", true,
     [](Json::Value& d) {
         d["description"] = "desc";
         d["baseUrl"] = "https://base/";
         d["createdBy"] = "ci";
     },
     [](const Manifest& m) {
         EXPECT_EQ(m.description, "desc");
         EXPECT_EQ(m.baseUrl, "https://base/");
         EXPECT_EQ(m.createdBy, "ci");
     }},
    {"SchemaNonStringCreatedByIgnored", true, [](Json::Value& d) { d["createdBy"] = 5; },
     [](const Manifest& m) { EXPECT_EQ(m.createdBy, ""); }},
    {"SchemaEmptySignatureAccepted", true, [](Json::Value& d) { d["signatureBlock"]["signature"] = ""; },
     [](const Manifest& m) {
         EXPECT_EQ(m.signature, "");
         EXPECT_TRUE(m.schemaOverride);
     }},
    {"SchemaAssetLastModified", true, [](Json::Value& d) { d["assets"][0]["lastModified"] = "2020-02-29T23:59:59"; },
     [](const Manifest& m) { EXPECT_EQ(m.files[0].lastModified, localTicks(2020, 2, 29, 23, 59, 59)); }},
    {"SchemaRealSizeConverted", true, [](Json::Value& d) { d["assets"][0]["size"] = 10.0; },
     [](const Manifest& m) { EXPECT_EQ(m.files[0].size, 10u); }},
    {"SchemaTotalsAlwaysComputed", true,
     [](Json::Value& d) {
         d["totalSize"] = 999;
         d["fileCount"] = 9;
     },
     [](const Manifest& m) { EXPECT_EQ(m.totalSize, 30u); EXPECT_EQ(m.fileCount, 2); }},
    {"SchemaFormIgnoresLegacyFilesKey", true,
     [](Json::Value& d) { d["schemaVersion"] = "3"; d["files"] = Json::Value(Json::arrayValue); },
     [](const Manifest& m) { EXPECT_TRUE(m.schemaForm); EXPECT_EQ(m.files.size(), 2u); }},
    {"SchemaVersionNonStringButAssetsArray", true, [](Json::Value& d) { d["schemaVersion"] = 2; },
     [](const Manifest& m) {
         EXPECT_TRUE(m.schemaForm);
         EXPECT_EQ(m.schemaVersion, "2");
     }},
};

INSTANTIATE_TEST_SUITE_P(Table, ManifestParseValid, ::testing::ValuesIn(kValidCases),
                         [](const ::testing::TestParamInfo<ValidCase>& info) { return std::string(info.param.name); });

struct FailCase {
    const char* name;
    std::string text;
    int code;
    const char* message;  // exact, or a prefix when it ends in '*'
};

class ManifestParseFail : public ::testing::TestWithParam<FailCase> {};

TEST_P(ManifestParseFail, RefusedWithOneErrorLine) {
    const FailCase& c = GetParam();
    const test::ParseOutcome r = parseText(c.text);
    EXPECT_EQ(r.code, c.code);
    ASSERT_EQ(r.errors.size(), 1u) << ::testing::PrintToString(r.errors);
    std::string expected = c.message;
    if (!expected.empty() && expected.back() == '*') {
        expected.pop_back();
        EXPECT_EQ(r.errors[0].compare(0, expected.size(), expected), 0) << r.errors[0];
        EXPECT_GT(r.errors[0].size(), expected.size());
    } else {
        EXPECT_EQ(r.errors[0], expected);
    }
}

std::string legacyWith(const std::function<void(Json::Value&)>& mutate) {
    Json::Value d = legacyBase();
    mutate(d);
    return test::toJson(d);
}

std::string schemaWith(const std::function<void(Json::Value&)>& mutate) {
    Json::Value d = schemaBase();
    mutate(d);
    return test::toJson(d);
}

const FailCase kFailCases[] = {
    {"RawNulBetweenValues", std::string("{\"version\":\"1.2.3\"}\0", 20), 121,
     "Manifest JSON contains an embedded NUL"},
    {"RawNulInsideString", std::string("{\"version\":\"1.2\0.3\"}", 20), 121,
     "Manifest JSON contains an embedded NUL"},
    {"NotJson", "{\"version\": ", 121, "Failed to parse manifest JSON: *"},
    {"EmptyText", "", 121, "Failed to parse manifest JSON: *"},
    {"SingleQuotes", "{'version':'1.2.3'}", 121, "Failed to parse manifest JSON: *"},
    {"EscapedNulInValue", legacyWith([](Json::Value& d) { d["description"] = std::string("a\0b", 3); }), 121,
     "Manifest JSON contains an escaped embedded NUL"},
    {"EscapedNulInMemberName",
     R"({"version":"1.2.3","gameVersion":"g","signature":"s","files":[],"x\u0000y":1})", 121,
     "Manifest JSON contains an escaped embedded NUL"},
    {"EscapedNulInFilePath",
     legacyWith([](Json::Value& d) { d["files"][0]["path"] = std::string("a\0.txt", 6); }), 121,
     "Manifest JSON contains an escaped embedded NUL"},
    {"LegacyEmptyPathFailsInParsing", legacyWith([](Json::Value& d) { d["files"][0]["path"] = ""; }), 123,
     "Required field missing: files.path (or relativePath)"},
    {"LegacyEmptyGameVersionClient", legacyWith([](Json::Value& d) { d["gameVersion"] = ""; }), 123,
     "gameVersion is required for client manifests"},
    {"SchemaEmptyBuildVersionClient", schemaWith([](Json::Value& d) { d["buildMetadata"]["version"] = ""; }), 123,
     "gameVersion is required for client manifests"},
    {"SchemaMissingAssets", schemaWith([](Json::Value& d) { d.removeMember("assets"); }), 123,
     "Required field missing: assets"},
    {"AssetsArrayWithoutSchemaVersion", schemaWith([](Json::Value& d) { d.removeMember("schemaVersion"); }), 123,
     "Required field missing: schemaVersion"},
    {"LegacyHashAliasNotAcceptedByRawCheck",
     legacyWith([](Json::Value& d) {
         d["files"][0].removeMember("sha256");
         d["files"][0]["hash"] = kHashA;
     }),
     123, "Required field missing: files.sha256 (or sha256Hash)"},
};

INSTANTIATE_TEST_SUITE_P(Table, ManifestParseFail, ::testing::ValuesIn(kFailCases),
                         [](const ::testing::TestParamInfo<FailCase>& info) { return std::string(info.param.name); });

struct ThrowCase {
    const char* name;
    std::string text;
};

class ManifestParseThrows : public ::testing::TestWithParam<ThrowCase> {};

// Values JsonCpp cannot convert raise its exception; nothing in the parser
// swallows it (the command reports code 4 with its message).
TEST_P(ManifestParseThrows, RaisesJsonCppException) {
    const ThrowCase& c = GetParam();
    test::StdoutCapture capture;
    Manifest m;
    ManifestHandler::resetManifest(m);
    EXPECT_THROW(ManifestHandler::parseManifestJson(c.text, m), Json::Exception);
}

std::string deepNesting(int depth) {
    return std::string(static_cast<size_t>(depth), '[') + std::string(static_cast<size_t>(depth), ']');
}

const ThrowCase kThrowCases[] = {
    {"LegacySizeText", legacyWith([](Json::Value& d) { d["files"][0]["size"] = "100"; })},
    {"LegacySizeNegative", legacyWith([](Json::Value& d) { d["files"][0]["size"] = -1; })},
    {"LegacySizeHuge", legacyWith([](Json::Value& d) { d["files"][0]["size"] = 1e30; })},
    {"LegacyTotalSizeNegative", legacyWith([](Json::Value& d) { d["totalSize"] = -5; })},
    {"LegacyTotalSizeText", legacyWith([](Json::Value& d) { d["totalSize"] = "5"; })},
    {"LegacyFileCountText", legacyWith([](Json::Value& d) { d["fileCount"] = "3"; })},
    {"LegacyFileCountOutOfRange", legacyWith([](Json::Value& d) { d["fileCount"] = Json::Int64(1) << 40; })},
    {"LegacyIsIncrementalText", legacyWith([](Json::Value& d) { d["isIncremental"] = "yes"; })},
    {"LegacyIsExecutableText", legacyWith([](Json::Value& d) { d["files"][0]["isExecutable"] = "true"; })},
    {"LegacyIsRequiredObject", legacyWith([](Json::Value& d) { d["files"][0]["isRequired"] = Json::objectValue; })},
    {"LegacyCompressionText", legacyWith([](Json::Value& d) { d["files"][0]["compressionLevel"] = "high"; })},
    {"LegacyCompressionOutOfRange", legacyWith([](Json::Value& d) { d["files"][0]["compressionLevel"] = 1e12; })},
    {"LegacyPermissionsArray", legacyWith([](Json::Value& d) { d["files"][0]["permissions"] = Json::arrayValue; })},
    {"LegacyLastModifiedObject", legacyWith([](Json::Value& d) { d["files"][0]["lastModified"] = Json::objectValue; })},
    {"LegacyDownloadUrlObject", legacyWith([](Json::Value& d) { d["files"][0]["downloadUrl"] = Json::objectValue; })},
    {"LegacyManifestIdObject", legacyWith([](Json::Value& d) { d["manifestId"] = Json::objectValue; })},
    {"LegacyVersionObject", legacyWith([](Json::Value& d) { d["version"] = Json::objectValue; })},
    {"LegacyGameVersionArray", legacyWith([](Json::Value& d) { d["gameVersion"] = Json::arrayValue; })},
    {"LegacyChannelObject", legacyWith([](Json::Value& d) { d["channel"] = Json::objectValue; })},
    {"LegacyComponentArray", legacyWith([](Json::Value& d) { d["component"] = Json::arrayValue; })},
    {"LegacyCreatedAtObject", legacyWith([](Json::Value& d) { d["createdAt"] = Json::objectValue; })},
    {"LegacyFileElementNumber", legacyWith([](Json::Value& d) { d["files"][1] = 5; })},
    {"LegacyFileElementText", legacyWith([](Json::Value& d) { d["files"][0] = "client/a.exe"; })},
    {"LegacyFileElementArray", legacyWith([](Json::Value& d) { d["files"][0] = Json::arrayValue; })},
    {"SchemaAssetSizeNegative", schemaWith([](Json::Value& d) { d["assets"][0]["size"] = -1; })},
    {"SchemaComponentObject", schemaWith([](Json::Value& d) { d["component"] = Json::objectValue; })},
    {"SchemaManifestIdArray", schemaWith([](Json::Value& d) { d["manifestId"] = Json::arrayValue; })},
    {"SchemaChannelObject", schemaWith([](Json::Value& d) { d["buildMetadata"]["channel"] = Json::objectValue; })},
    {"SchemaDescriptionArray", schemaWith([](Json::Value& d) { d["description"] = Json::arrayValue; })},
    {"SchemaLastModifiedObject", schemaWith([](Json::Value& d) { d["assets"][0]["lastModified"] = Json::objectValue; })},
    {"TopLevelArray", "[1,2,3]"},
    {"TopLevelString", "\"manifest\""},
    {"TopLevelNumber", "42"},
    {"NestedTooDeep", deepNesting(5000)},
};

INSTANTIATE_TEST_SUITE_P(Table, ManifestParseThrows, ::testing::ValuesIn(kThrowCases),
                         [](const ::testing::TestParamInfo<ThrowCase>& info) { return std::string(info.param.name); });

TEST(ManifestParse, TopLevelNullIsLegacyWithMissingVersion) {
    const test::ParseOutcome r = parseText("null");
    EXPECT_EQ(r.code, 123);
    EXPECT_EQ(r.errors, std::vector<std::string>{"Required field missing: version"});
}

TEST(ManifestParse, CommentsTrailingCommasAndBomAccepted) {
    const std::string text = "\xEF\xBB\xBF{ // comment\n"
                             "\"version\": \"1.0.0\", \"gameVersion\": \"g\", \"signature\": \"s\",\n"
                             "\"files\": [{\"path\": \"a.txt\", \"sha256\": \"" + kHashA + "\", \"size\": 1,},],}";
    const test::ParseOutcome r = parseText(text);
    ASSERT_EQ(r.code, 0) << ::testing::PrintToString(r.errors);
    EXPECT_EQ(r.manifest.files.size(), 1u);
}

TEST(ManifestParse, RepeatedKeyKeepsLastValue) {
    const std::string text = "{\"version\": \"9\", \"version\": \"1.0.0\", \"gameVersion\": \"g\", \"signature\": \"s\","
                             "\"files\": []}";
    const test::ParseOutcome r = parseText(text);
    ASSERT_EQ(r.code, 0) << ::testing::PrintToString(r.errors);
    EXPECT_EQ(r.manifest.version, "1.0.0");
}

TEST(ManifestParse, ComponentLogLines) {
    struct LogCase {
        std::function<void(Json::Value&)> mutate;
        std::string expectedLine;
    };
    const LogCase cases[] = {
        {[](Json::Value&) {}, "INFO Component inferred as client (gameVersion present)"},
        {[](Json::Value& d) { d["component"] = "launcher"; }, "INFO Component explicitly set: launcher"},
        {[](Json::Value& d) { d["component"] = "tools"; }, "INFO Component explicitly set: client"},
        {[](Json::Value& d) {
             d.removeMember("gameVersion");
             d["files"][0]["path"] = "launcher/a.exe";
             d["files"][1]["relativePath"] = "game/resources/b.pak";
         },
         "INFO Component inferred as launcher (1 launcher patterns, 1 resources patterns, 1 client patterns)"},
    };
    for (const LogCase& c : cases) {
        Json::Value d = legacyBase();
        c.mutate(d);
        test::StdoutCapture capture;
        Manifest m;
        ASSERT_EQ(ManifestHandler::parseManifestJson(test::toJson(d), m), ErrorCode::Success);
        const std::vector<std::string> lines = test::allLines(capture);
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.expectedLine), lines.end())
            << c.expectedLine << "\n" << ::testing::PrintToString(lines);
    }
}

TEST(ManifestParse, BackwardsCompatibilityDefaultThenClientNeedsGameVersion) {
    Json::Value d = legacyBase();
    d["gameVersion"] = "";
    d["files"][0]["path"] = "readme.txt";
    d["files"][1]["relativePath"] = "data/x.bin";
    test::StdoutCapture capture;
    Manifest m;
    EXPECT_EQ(ManifestHandler::parseManifestJson(test::toJson(d), m), ErrorCode::ManifestSchemaInvalid);
    const std::vector<std::string> lines = test::allLines(capture);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "INFO Component inferred as client (backwards compatibility default)");
    EXPECT_EQ(lines.back(), "ERROR gameVersion is required for client manifests");
}

TEST(ManifestParse, SummaryLine) {
    Json::Value d = legacyBase();
    d["files"][0]["size"] = 3 * 1048576 - 1;
    d["files"][1]["size"] = 1048576;
    test::StdoutCapture capture;
    Manifest m;
    ASSERT_EQ(ManifestHandler::parseManifestJson(test::toJson(d), m), ErrorCode::Success);
    EXPECT_EQ(test::allLines(capture).back(), "INFO Manifest parsed successfully: 2 files, 3 MB total, component=client");

    Json::Value empty = legacyBase();
    empty["files"] = Json::Value(Json::arrayValue);
    test::StdoutCapture capture2;
    Manifest m2;
    ASSERT_EQ(ManifestHandler::parseManifestJson(test::toJson(empty), m2), ErrorCode::Success);
    EXPECT_EQ(test::allLines(capture2).back(),
              "INFO Manifest parsed successfully: 0 files, 0 MB total, component=client");
}

TEST(ManifestParse, ResetRestoresDefaults) {
    Manifest m;
    ASSERT_EQ(ManifestHandler::parseManifestJson(test::kLegacyBase, m), ErrorCode::Success);
    ManifestHandler::resetManifest(m);
    EXPECT_EQ(m.componentName, "client");
    EXPECT_EQ(m.component, ManifestComponent::Unknown);
    EXPECT_TRUE(m.files.empty());
    EXPECT_EQ(m.version, "");
    EXPECT_EQ(m.channel, "");
    EXPECT_EQ(m.totalSize, 0u);
    EXPECT_TRUE(m.signatureBlock.isObject());
    EXPECT_FALSE(m.schemaOverride);
}

TEST(ManifestParse, ComponentDisplayNames) {
    EXPECT_STREQ(componentDisplayName(ManifestComponent::Client), "client");
    EXPECT_STREQ(componentDisplayName(ManifestComponent::Launcher), "launcher");
    EXPECT_STREQ(componentDisplayName(ManifestComponent::Unknown), "unknown");
    EXPECT_STREQ(componentDisplayName(static_cast<ManifestComponent>(7)), "invalid");
}

TEST(ManifestParse, TimestampRule) {
    EXPECT_EQ(parseManifestTimestamp("2024-03-05T06:07:08"), localTicks(2024, 3, 5, 6, 7, 8));
    EXPECT_EQ(parseManifestTimestamp("2024-03-05T06:07:08.999Z"), localTicks(2024, 3, 5, 6, 7, 8));
    EXPECT_EQ(parseManifestTimestamp("2024-03-05 06:07:08"), 0);
    EXPECT_EQ(parseManifestTimestamp("2024-13-05T06:07:08"), 0);
    EXPECT_EQ(parseManifestTimestamp("2024-03-05T06:07"), 0);
    EXPECT_EQ(parseManifestTimestamp(""), 0);
    EXPECT_EQ(parseManifestTimestamp("T"), 0);
    EXPECT_EQ(parseManifestTimestamp("2024"), 0);
    EXPECT_EQ(parseManifestTimestamp("2024-03-05"), 0);
    EXPECT_EQ(parseManifestTimestamp("2024-03-05T06:07:"), 0);
    EXPECT_EQ(parseManifestTimestamp(" 2024-03-05T06:07:08"), 0);
    EXPECT_EQ(parseManifestTimestamp("2024-03-05T24:00:00"), 0);
    EXPECT_EQ(parseManifestTimestamp("2024-03-05T06:60:00"), 0);
    EXPECT_EQ(parseManifestTimestamp("2024-03-00T06:07:08"), 0);
    EXPECT_EQ(parseManifestTimestamp("2024-3-5T6:7:8"), localTicks(2024, 3, 5, 6, 7, 8));
    EXPECT_EQ(parseManifestTimestamp("2024-03-05T06:07:089"), localTicks(2024, 3, 5, 6, 7, 8));
    EXPECT_EQ(parseManifestTimestamp("1970-01-02T00:00:00"), localTicks(1970, 1, 2, 0, 0, 0));
}

TEST(ManifestParse, FileEntryDirectly) {
    test::StdoutCapture capture;
    ManifestFile f;
    Json::Value entry(Json::objectValue);
    entry["path"] = "a.txt";
    entry["sha256"] = kHashA;
    EXPECT_EQ(ManifestHandler::parseFileEntry(entry, f), ErrorCode::ManifestSchemaInvalid);
    entry["size"] = 3;
    ManifestFile g;
    EXPECT_EQ(ManifestHandler::parseFileEntry(entry, g), ErrorCode::Success);
    EXPECT_EQ(g.size, 3u);
    Json::Value noHash(Json::objectValue);
    noHash["path"] = "a.txt";
    noHash["size"] = 1;
    ManifestFile h;
    EXPECT_EQ(ManifestHandler::parseFileEntry(noHash, h), ErrorCode::ManifestSchemaInvalid);
    // The parser takes "hash" as a last alias.
    noHash["hash"] = kHashB;
    ManifestFile k;
    EXPECT_EQ(ManifestHandler::parseFileEntry(noHash, k), ErrorCode::Success);
    EXPECT_EQ(k.sha256, kHashB);
    EXPECT_EQ(test::errorLines(capture),
              (std::vector<std::string>{"Required field missing: files.size",
                                        "Required field missing: files.sha256 (or sha256Hash)"}));
}

}  // namespace
}  // namespace korvel
