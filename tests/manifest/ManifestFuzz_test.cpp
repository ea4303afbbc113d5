// Bounded, deterministic fuzzing of the two parsers, the raw check and the
// semantic check: generated documents, structural mutations of valid ones
// and byte-level damage. Every input must end in 0, 121, 122 or 123, or in
// JsonCpp's own exception; anything else (another exception, a crash, a
// hang caught by the test time-out) is a fault.
#include <gtest/gtest.h>

#include <iterator>
#include <limits>
#include <random>
#include <iostream>
#include <map>

#include "tests/manifest/ManifestTestHelpers.h"

namespace korvel {
namespace {

class Fuzzer {
public:
    explicit Fuzzer(uint32_t seed) : rng_(seed) {}

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool chance(int percent) { return below(100) < percent; }

    std::string randomText() {
        static const char* const pieces[] = {
            "", "a", "..", ".", "/", "\\", "C:", "CON", "nul.txt", "launcher/", "client/", "resources/", "game/",
            "1.2.3", "1.2", "1.2.3-rc.1", "\xC3\xA9", "\xF0\x9F\x98\x80", "\xFF", "\xED\xA0\x80", " ", "\t",
            "\x01", ":", "*", "?", "\"", "<", "|", "COM\xC2\xB9", "launcher", "client", "LAUNCHER", "Z",
            "2024-03-05T06:07:08", "2024-03-05T06:07:08Z", "http://x/", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
            "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
            "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"};
        std::string text;
        const int parts = below(4);
        for (int i = 0; i < parts; ++i) text += pieces[below(static_cast<int>(std::size(pieces)))];
        if (chance(3)) text += std::string(static_cast<size_t>(below(400)), 'p');
        if (chance(2)) text.push_back('\0');
        return text;
    }

    Json::Value randomScalar() {
        switch (below(12)) {
            case 0: return Json::Value();
            case 1: return Json::Value(chance(50));
            case 2: return Json::Value(below(2000) - 1000);
            case 3: return Json::Value(static_cast<Json::UInt64>(2147483648ULL) + static_cast<Json::UInt64>(below(3)) - 1);
            case 4: return Json::Value(std::numeric_limits<Json::UInt64>::max());
            case 5: return Json::Value(std::numeric_limits<Json::Int64>::min());
            case 6: return Json::Value(below(1000) / 7.0);
            case 7: return Json::Value(-1e300);
            case 8: return Json::Value(Json::arrayValue);
            case 9: return Json::Value(Json::objectValue);
            default: return Json::Value(randomText());
        }
    }

    Json::Value randomValue(int depth) {
        if (depth <= 0 || chance(60)) return randomScalar();
        if (chance(50)) {
            Json::Value array(Json::arrayValue);
            const int n = below(4);
            for (int i = 0; i < n; ++i) array.append(randomValue(depth - 1));
            return array;
        }
        Json::Value object(Json::objectValue);
        const int n = below(4);
        for (int i = 0; i < n; ++i) object[randomKey()] = randomValue(depth - 1);
        return object;
    }

    std::string randomKey() {
        static const char* const keys[] = {
            "schemaVersion", "manifestId", "createdUtc", "buildMetadata", "assets", "signatureBlock", "signature",
            "component", "description", "baseUrl", "createdBy", "version", "files", "gameVersion", "channel",
            "previousVersion", "signerCertificate", "createdAt", "totalSize", "fileCount", "isIncremental", "path",
            "relativePath", "sha256", "sha256Hash", "hash", "size", "isExecutable", "isRequired", "downloadUrl",
            "url", "compressionLevel", "permissions", "lastModified", "fullReference", "x"};
        return keys[below(static_cast<int>(std::size(keys)))];
    }

    // Picks a random node of the tree (objects and arrays included).
    Json::Value* randomNode(Json::Value& root) {
        Json::Value* node = &root;
        while ((node->isObject() || node->isArray()) && !node->empty() && chance(65)) {
            if (node->isArray()) {
                node = &(*node)[static_cast<Json::ArrayIndex>(below(static_cast<int>(node->size())))];
            } else {
                const std::vector<std::string> names = node->getMemberNames();
                node = &(*node)[names[static_cast<size_t>(below(static_cast<int>(names.size())))]];
            }
        }
        return node;
    }

    void mutateTree(Json::Value& root) {
        const int steps = 1 + below(3);
        for (int s = 0; s < steps; ++s) {
            Json::Value* node = randomNode(root);
            switch (below(5)) {
                case 0: *node = randomValue(2); break;
                case 1:
                    if (node->isObject() && !node->empty()) {
                        const std::vector<std::string> names = node->getMemberNames();
                        node->removeMember(names[static_cast<size_t>(below(static_cast<int>(names.size())))]);
                    }
                    break;
                case 2:
                    if (node->isObject()) (*node)[randomKey()] = randomValue(2);
                    break;
                case 3:
                    if (node->isArray() && !node->empty()) node->append((*node)[0u]);
                    break;
                default:
                    if (node->isString()) *node = node->asString() + randomText();
                    break;
            }
        }
    }

    void damageText(std::string& text) {
        const int steps = 1 + below(4);
        for (int s = 0; s < steps && !text.empty(); ++s) {
            const size_t at = static_cast<size_t>(below(static_cast<int>(text.size())));
            switch (below(6)) {
                case 0: text[at] = static_cast<char>(below(256)); break;
                case 1: text.erase(at, static_cast<size_t>(1 + below(8))); break;
                case 2: text.insert(at, randomText()); break;
                case 3: text.resize(at); break;
                case 4: text.insert(at, "\\u0000"); break;
                default: text.insert(at, std::string(1, "{}[],:\"\\"[below(8)])); break;
            }
        }
    }

private:
    std::mt19937 rng_;
};

struct Tally {
    std::map<int, int> codes;
    int jsonExceptions = 0;
    int inputs = 0;
};

// Runs one document through parse, then (when it parsed) validation.
void runOne(const std::string& text, CryptoVerifier& verifier, const std::filesystem::path& cache, Tally& tally) {
    ++tally.inputs;
    try {
        Manifest m;
        ManifestHandler::resetManifest(m);
        ErrorCode code = ManifestHandler::parseManifestJson(text, m);
        if (code == ErrorCode::Success) code = ManifestHandler::validateManifest(m, verifier, cache);
        const int value = toInt(code);
        ASSERT_TRUE(value == 0 || value == 121 || value == 122 || value == 123)
            << "code " << value << " for " << ::testing::PrintToString(text);
        ++tally.codes[value];
    } catch (const Json::Exception&) {
        ++tally.jsonExceptions;
    } catch (const std::exception& e) {
        FAIL() << "unexpected exception " << e.what() << " for " << ::testing::PrintToString(text);
    }
}

TEST(ManifestFuzz, GeneratedAndMutatedDocuments) {
    test::ScratchDir scratch;
    CryptoVerifier verifier;
    Fuzzer fuzz(0x6b6f7276);
    Tally tally;
    const std::string bases[] = {test::kLegacyBase, test::kSchemaBase};
    {
        test::StdoutCapture capture;  // keeps the log lines off the console
        for (int i = 0; i < 30000 && !::testing::Test::HasFatalFailure(); ++i) {
            std::string text;
            switch (i % 4) {
                case 0: {  // structural mutation of a valid document
                    Json::Value doc = test::parseJson(bases[fuzz.below(2)]);
                    fuzz.mutateTree(doc);
                    text = test::toJson(doc);
                    break;
                }
                case 1: {  // byte damage to a valid document
                    text = bases[fuzz.below(2)];
                    fuzz.damageText(text);
                    break;
                }
                case 2: {  // a generated document with manifest-like keys
                    Json::Value doc(Json::objectValue);
                    const int n = fuzz.below(8);
                    for (int k = 0; k < n; ++k) doc[fuzz.randomKey()] = fuzz.randomValue(3);
                    if (fuzz.chance(30)) doc["assets"] = Json::Value(Json::arrayValue);
                    if (fuzz.chance(30)) {
                        Json::Value& files = doc["files"];
                        if (files.isNull() || files.isArray()) files.append(fuzz.randomValue(2));
                    }
                    text = test::toJson(doc);
                    break;
                }
                default: {  // mutation, then byte damage
                    Json::Value doc = test::parseJson(bases[fuzz.below(2)]);
                    fuzz.mutateTree(doc);
                    text = test::toJson(doc);
                    if (fuzz.chance(50)) fuzz.damageText(text);
                    break;
                }
            }
            runOne(text, verifier, scratch.path(), tally);
        }
        // Pathological shapes.
        runOne(std::string(100000, '['), verifier, scratch.path(), tally);
        runOne(std::string(5000, '[') + std::string(5000, ']'), verifier, scratch.path(), tally);
        runOne("{\"version\":\"" + std::string(1 << 20, '1') + "\"}", verifier, scratch.path(), tally);
        runOne(std::string(1 << 16, ' '), verifier, scratch.path(), tally);
    }
    std::cerr << "fuzz inputs " << tally.inputs << ", JsonCpp exceptions " << tally.jsonExceptions;
    for (const auto& [code, n] : tally.codes) std::cerr << ", code " << code << ": " << n;
    std::cerr << "\n";
    // The corpus reaches every outcome, so the loop exercises each path.
    EXPECT_TRUE(tally.codes.count(0));
    EXPECT_TRUE(tally.codes.count(121));
    EXPECT_TRUE(tally.codes.count(123));
    EXPECT_GT(tally.jsonExceptions, 0);
    // The signature check always cleans up after itself.
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
}

TEST(ManifestFuzz, RandomRecordsThroughSemanticCheck) {
    test::ScratchDir scratch;
    CryptoVerifier verifier;
    Fuzzer fuzz(0x4d414e49);
    test::StdoutCapture capture;
    for (int i = 0; i < 4000; ++i) {
        Manifest m;
        m.version = fuzz.chance(70) ? "1.2.3" : fuzz.randomText();
        m.componentName = fuzz.randomText();
        m.gameVersion = fuzz.chance(70) ? "g" : fuzz.randomText();
        m.signature = fuzz.chance(80) ? "s" : "";
        m.schemaOverride = fuzz.chance(50);
        const int files = fuzz.below(4);
        for (int f = 0; f < files; ++f) {
            ManifestFile file;
            file.path = fuzz.randomText();
            file.sha256 = fuzz.chance(70) ? test::kHashA : fuzz.randomText();
            file.size = fuzz.chance(90) ? 5 : 2147483649ULL;
            m.files.push_back(file);
        }
        const int value = toInt(ManifestHandler::validateManifest(m, verifier, scratch.path()));
        ASSERT_TRUE(value == 0 || value == 122 || value == 123) << value;
        if (value == 0) {
            for (const ManifestFile& file : m.files) {
                EXPECT_EQ(ManifestHandler::validateFileEntry(file), ErrorCode::Success);
                EXPECT_FALSE(file.path.empty());
                EXPECT_EQ(file.path.find(':'), std::string::npos) << file.path;
                EXPECT_EQ(file.path.find('\0'), std::string::npos) << file.path;
                EXPECT_NE(file.path.front(), '/');
                EXPECT_NE(file.path.front(), '\\');
                size_t start = 0;
                while (start <= file.path.size()) {
                    const size_t end = file.path.find_first_of("/\\", start);
                    const std::string part =
                        file.path.substr(start, end == std::string::npos ? std::string::npos : end - start);
                    EXPECT_TRUE(part != "" && part != "." && part != "..") << file.path;
                    if (end == std::string::npos) break;
                    start = end + 1;
                }
            }
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
}

}  // namespace
}  // namespace korvel
