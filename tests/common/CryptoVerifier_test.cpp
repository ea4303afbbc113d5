#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/CryptoVerifier.h"
#include "common/EventLogger.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
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

}  // namespace
}  // namespace korvel
