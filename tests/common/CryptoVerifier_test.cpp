#include <windows.h>

#include <gtest/gtest.h>
#include <sodium.h>

#include <string>
#include <vector>

#include "common/CryptoVerifier.h"
#include "common/EventLogger.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "tests/support/ManifestSigning.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;

// "LEVEL message" of each diagnostic line of the verifier.
std::vector<std::string> lines(const std::vector<Json::Value>& events) {
    std::vector<std::string> out;
    for (const Json::Value& e : events) {
        if (e["event_type"].asString() != "diagnostic") {
            out.push_back("unexpected " + e["event_type"].asString());
            continue;
        }
        EXPECT_EQ(e["component"].asString(), "CryptoVerifier");
        out.push_back(e["level"].asString() + " " + e["message"].asString());
    }
    return out;
}

const char* const kVerifying = "INFO Verifying detached Ed25519 signature";
const char* const kKeyWarning = "WARNING Ed25519 signature verification requires public key - implement with manifest";
const char* const kCmsWarning = "WARNING CMS signature verification not yet implemented";

class CryptoVerifierTest : public ::testing::Test {
protected:
    void TearDown() override { EventLogger::instance().verbose = false; }
    ScratchDir dir;
};

TEST_F(CryptoVerifierTest, ConstructionLogsAndInitializes) {
    StdoutCapture capture;
    {
        CryptoVerifier verifier;
        EXPECT_TRUE(verifier.isInitialized());
    }
    EXPECT_EQ(lines(capture.events()), (std::vector<std::string>{"INFO Initializing crypto verifier"}));
}

TEST_F(CryptoVerifierTest, AnyTwoReadableFilesPassWithTheTwoWarnings) {
    const std::pair<std::string, std::string> cases[] = {
        {"data", "signature"},
        {"", ""},
        {"", "sig"},
        {"data", ""},
        {std::string(3000000, '\xab'), std::string("\0\x01\x02", 3)},
        {"{\"a\":1}", "not base64 at all !!"},
    };
    for (const auto& [data, signature] : cases) {
        const auto dataFile = dir / L"data.bin";
        const auto sigFile = dir / L"sig.bin";
        test::writeFile(dataFile, data);
        test::writeFile(sigFile, signature);
        StdoutCapture capture;
        CryptoVerifier verifier;
        EXPECT_EQ(verifier.verifyDetachedSignature(dataFile, sigFile), ErrorCode::Success);
        EXPECT_EQ(lines(capture.events()), (std::vector<std::string>{"INFO Initializing crypto verifier", kVerifying, kKeyWarning, kCmsWarning}))
            << data.size() << "/" << signature.size();
    }
}

TEST_F(CryptoVerifierTest, DebugLinesNameBothFiles) {
    const auto dataFile = dir / L"d\u00e4ta \u4e2d.bin";
    const auto sigFile = dir / L"sig.bin";
    test::writeFile(dataFile, "x");
    test::writeFile(sigFile, "y");
    EventLogger::instance().verbose = true;
    CryptoVerifier verifier;
    StdoutCapture capture;
    EXPECT_EQ(verifier.verifyDetachedSignature(dataFile, sigFile), ErrorCode::Success);
    EXPECT_EQ(lines(capture.events()),
              (std::vector<std::string>{kVerifying, "DEBUG Data file: " + pathToUtf8(dataFile),
                                        "DEBUG Signature file: " + pathToUtf8(sigFile), kKeyWarning, kCmsWarning}));
}

TEST_F(CryptoVerifierTest, MissingDataFileStopsBeforeTheSignature) {
    const auto dataFile = dir / L"missing.bin";
    const auto sigFile = dir / L"also-missing.bin";
    CryptoVerifier verifier;
    StdoutCapture capture;
    EXPECT_EQ(verifier.verifyDetachedSignature(dataFile, sigFile), ErrorCode::FileNotFound);
    EXPECT_EQ(lines(capture.events()),
              (std::vector<std::string>{kVerifying, "ERROR Failed to open file: " + pathToUtf8(dataFile),
                                        "ERROR Failed to read data file"}));
}

TEST_F(CryptoVerifierTest, MissingSignatureFile) {
    const auto dataFile = dir / L"data.bin";
    const auto sigFile = dir / L"missing.sig";
    test::writeFile(dataFile, "data");
    CryptoVerifier verifier;
    StdoutCapture capture;
    EXPECT_EQ(verifier.verifyDetachedSignature(dataFile, sigFile), ErrorCode::FileNotFound);
    EXPECT_EQ(lines(capture.events()),
              (std::vector<std::string>{kVerifying, "ERROR Failed to open file: " + pathToUtf8(sigFile),
                                        "ERROR Failed to read signature file"}));
}

TEST_F(CryptoVerifierTest, FileHeldOpenWithoutSharingCannotBeOpened) {
    const auto dataFile = dir / L"locked.bin";
    const auto sigFile = dir / L"sig.bin";
    test::writeFile(dataFile, "data");
    test::writeFile(sigFile, "sig");
    ScopedHandle held(
        CreateFileW(dataFile.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    CryptoVerifier verifier;
    ErrorCode result;
    std::vector<std::string> got;
    {
        StdoutCapture capture;
        result = verifier.verifyDetachedSignature(dataFile, sigFile);
        got = lines(capture.events());
    }
    held.reset();
    EXPECT_EQ(result, ErrorCode::FileNotFound);
    EXPECT_EQ(got, (std::vector<std::string>{kVerifying, "ERROR Failed to open file: " + pathToUtf8(dataFile),
                                             "ERROR Failed to read data file"}));
}

TEST_F(CryptoVerifierTest, ReadFileBytesReadsTheWholeFile) {
    std::string content(1 << 20, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + 7);
    const auto file = dir / L"bytes.bin";
    test::writeFile(file, content);
    CryptoVerifier verifier;
    std::vector<uint8_t> bytes = {1, 2, 3};
    StdoutCapture capture;
    ASSERT_EQ(verifier.readFileBytes(file, bytes), ErrorCode::Success);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), content);
    EXPECT_TRUE(capture.events().empty());
}

TEST_F(CryptoVerifierTest, ReadFileBytesOfAnEmptyFile) {
    const auto file = dir / L"empty.bin";
    test::writeFile(file, "");
    CryptoVerifier verifier;
    std::vector<uint8_t> bytes = {1, 2, 3};
    EXPECT_EQ(verifier.readFileBytes(file, bytes), ErrorCode::Success);
    EXPECT_TRUE(bytes.empty());
}

TEST_F(CryptoVerifierTest, ReadFileBytesEmptiesTheBufferOnFailure) {
    CryptoVerifier verifier;
    std::vector<uint8_t> bytes = {1, 2, 3};
    StdoutCapture capture;
    EXPECT_EQ(verifier.readFileBytes(dir / L"nope.bin", bytes), ErrorCode::FileNotFound);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(lines(capture.events()),
              (std::vector<std::string>{"ERROR Failed to open file: " + pathToUtf8(dir / L"nope.bin")}));
}

TEST_F(CryptoVerifierTest, FolderInsteadOfAFile) {
    std::filesystem::create_directories(dir / L"folder");
    test::writeFile(dir / L"sig.bin", "sig");
    CryptoVerifier verifier;
    StdoutCapture capture;
    const ErrorCode result = verifier.verifyDetachedSignature(dir / L"folder", dir / L"sig.bin");
    EXPECT_EQ(result, ErrorCode::FileNotFound);
    EXPECT_EQ(lines(capture.events()),
              (std::vector<std::string>{kVerifying, "ERROR Failed to open file: " + pathToUtf8(dir / L"folder"),
                                        "ERROR Failed to read data file"}));
}

// The decoder takes only the standard alphabet with its padding, all of the
// text, and no bits left over: anything else is not a signature.
TEST(Base64Decoder, Edges) {
    const struct {
        const char* text;
        bool ok;
        std::string bytes;
    } cases[] = {
        {"", false, ""},
        {"QQ==", true, "A"},
        {"QUI=", true, "AB"},
        {"QUJD", true, "ABC"},
        {"QQ", false, ""},           // padding left out
        {"QQ=", false, ""},          // padding cut short
        {"QQ===", false, ""},        // too much padding
        {"QR==", false, ""},         // bits beyond the last byte
        {"QUJD\n", false, ""},       // white space
        {" QUJD", false, ""},
        {"QUJD====", false, ""},     // padding without data
        {"====", false, ""},
        {"QUJDQQ==QUJD", false, ""}, // text after the padding
        {"-_-_", false, ""},         // the URL alphabet
        {"+/+/", true, "\xfb\xff\xbf"},
        {"QU\x00D", false, ""},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out = {9};
        EXPECT_EQ(CryptoVerifier::decodeBase64(c.text, out), c.ok) << c.text;
        EXPECT_EQ(std::string(out.begin(), out.end()), c.bytes) << c.text;
    }
    std::vector<uint8_t> out;
    ASSERT_TRUE(CryptoVerifier::decodeBase64(test::signBytes("x"), out));
    EXPECT_EQ(out.size(), 64u);
}

// With a key, the signature is checked over the bytes given, and the
// warnings of the placeholder check are never written.
TEST(KeyedVerifier, ChecksTheSignatureOverTheBytesGiven) {
    ASSERT_TRUE(builtInManifestKey().has_value()) << "a test build carries the test key";
    const std::string data = "{\"version\":\"1.0.0\"}";
    const std::string good = test::signBytes(data);
    std::vector<uint8_t> raw;
    ASSERT_TRUE(CryptoVerifier::decodeBase64(good, raw));
    std::vector<uint8_t> flipped = raw;
    flipped[10] ^= 1;
    const auto encode = [](const std::vector<uint8_t>& bytes) {
        std::vector<char> text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL));
        sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
        return std::string(text.data());
    };
    ASSERT_EQ(encode(raw), good);
    std::vector<uint8_t> shorter(raw.begin(), raw.end() - 1);
    std::vector<uint8_t> longer = raw;
    longer.push_back(0);
    Ed25519PublicKey otherKey = *builtInManifestKey();
    otherKey[0] ^= 0x40;

    const struct {
        const char* why;
        std::string data;
        std::string signature;
        bool otherKey;
        ErrorCode expected;
    } cases[] = {
        {"good", data, good, false, ErrorCode::Success},
        {"one data byte changed", data + " ", good, false, ErrorCode::ManifestSignatureInvalid},
        {"one signature bit changed", data, encode(flipped), false, ErrorCode::ManifestSignatureInvalid},
        {"63 bytes", data, encode(shorter), false, ErrorCode::ManifestSignatureInvalid},
        {"65 bytes", data, encode(longer), false, ErrorCode::ManifestSignatureInvalid},
        {"not base64", data, "not base64!", false, ErrorCode::ManifestSignatureInvalid},
        {"empty", data, "", false, ErrorCode::ManifestSignatureInvalid},
        {"another key", data, good, true, ErrorCode::ManifestSignatureInvalid},
    };
    for (const auto& c : cases) {
        StdoutCapture capture;
        CryptoVerifier verifier(c.otherKey ? std::optional<Ed25519PublicKey>(otherKey) : builtInManifestKey());
        EXPECT_TRUE(verifier.hasPublicKey());
        EXPECT_EQ(verifier.verifyDetachedSignature(c.data, c.signature), c.expected) << c.why;
        for (const std::string& line : lines(capture.events())) {
            EXPECT_NE(line, kKeyWarning) << c.why;
            EXPECT_NE(line, kCmsWarning) << c.why;
        }
    }
}

TEST(KeyedVerifier, AVerifierWithoutAKeyAcceptsNoSignatureInMemory) {
    CryptoVerifier verifier;
    EXPECT_FALSE(verifier.hasPublicKey());
    StdoutCapture capture;
    EXPECT_EQ(verifier.verifyDetachedSignature(std::string("data"), test::signBytes("data")),
              ErrorCode::ManifestSignatureInvalid);
}

}  // namespace
}  // namespace korvel
