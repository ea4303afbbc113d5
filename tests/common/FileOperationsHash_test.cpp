#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>

#include "common/FileOperations.h"
#include "common/UniqueResource.h"
#include "tests/common/FileOperationsTesting.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;

const char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

struct DigestCase {
    size_t size;
    const char* digest;
};

// Sizes around the 1 MiB read buffer: one byte short, exactly one buffer,
// one byte into the second read, two whole buffers.
TEST(FileHash, KnownDigestsAroundTheBufferSize) {
    const DigestCase cases[] = {
        {0, kEmptyDigest},
        {1, "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"},
        {1048575, "89d3debe3bc4b70a7f46e31ecff9b2235d13085cacbda189e9a01c3d007172eb"},
        {1048576, "b3dcbbbf60d44776da1cd235ddf135e6d81c52bee673ef0cdf2a14232bb1dbab"},
        {1048577, "f3ef9a2335c32b43ac1bed628d5e428972084b79ed959abd9c21dbad375ef654"},
        {2097152, "315780fce4fdafb5bd6dcfefc62cb7a4f8c9ecc74a346216053e3712f8a03e9f"},
        {3145733, "f6931fba92453e21ac557779d658bb3ff564ed34733512aa61a9d8be27ce39b6"},
    };
    ScratchDir dir;
    FileOperations ops;
    for (const DigestCase& c : cases) {
        SCOPED_TRACE(c.size);
        const auto file = dir / (L"f" + std::to_wstring(c.size));
        test::writeFile(file, test::patternBytes(c.size));
        std::string hex = "stale";
        EXPECT_EQ(ops.calculateSha256(file, hex), ErrorCode::Success);
        EXPECT_EQ(hex, c.digest);
        EXPECT_EQ(ops.verifyFileIntegrity(file, c.digest), ErrorCode::Success);
    }
}

TEST(FileHash, ShortTextDigest) {
    ScratchDir dir;
    test::writeFile(dir / L"abc.txt", "abc");
    std::string hex;
    EXPECT_EQ(FileOperations().hashFile(dir / L"abc.txt", hex), ErrorCode::Success);
    EXPECT_EQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(FileHash, EmptyFileHasTheDigestOfNoData) {
    ScratchDir dir;
    test::writeFile(dir / L"empty", "");
    std::string hex;
    EXPECT_EQ(FileOperations().calculateSha256(dir / L"empty", hex), ErrorCode::Success);
    EXPECT_EQ(hex, kEmptyDigest);
}

TEST(FileHash, DigestsAreWrittenInLowerCase) {
    ScratchDir dir;
    test::writeFile(dir / L"f", test::patternBytes(5000));
    std::string hex;
    ASSERT_EQ(FileOperations().calculateSha256(dir / L"f", hex), ErrorCode::Success);
    ASSERT_EQ(hex.size(), 64u);
    for (char c : hex) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << hex;
}

struct ExpectedCase {
    const char* name;
    std::string expected;
    ErrorCode result;
};

TEST(FileIntegrity, ExpectedDigestSpellings) {
    const std::string right = "b3dcbbbf60d44776da1cd235ddf135e6d81c52bee673ef0cdf2a14232bb1dbab";
    std::string upper = right;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::string mixed = right;
    for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = static_cast<char>(toupper(static_cast<unsigned char>(mixed[i])));
    std::string oneDigitOff = right;
    oneDigitOff[63] = 'c';
    const ExpectedCase cases[] = {
        {"lower", right, ErrorCode::Success},
        {"upper", upper, ErrorCode::Success},
        {"mixed", mixed, ErrorCode::Success},
        {"one digit off", oneDigitOff, ErrorCode::FileHashMismatch},
        {"upper, one digit off", upper.substr(0, 63) + "C", ErrorCode::FileHashMismatch},
        {"one digit short", right.substr(0, 63), ErrorCode::FileHashMismatch},
        {"one digit more", right + "0", ErrorCode::FileHashMismatch},
        {"trailing space", right + " ", ErrorCode::FileHashMismatch},
        {"empty", "", ErrorCode::FileHashMismatch},
        {"digest of no data", kEmptyDigest, ErrorCode::FileHashMismatch},
    };
    ScratchDir dir;
    const auto file = dir / L"mib";
    test::writeFile(file, test::patternBytes(1048576));
    for (const ExpectedCase& c : cases) {
        SCOPED_TRACE(c.name);
        StdoutCapture capture;
        EXPECT_EQ(FileOperations().verifyFileIntegrity(file, c.expected), c.result);
        const auto errors = test::logMessages(capture.events(), "ERROR");
        if (c.result == ErrorCode::Success) {
            EXPECT_TRUE(errors.empty());
        } else {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0], "Hash mismatch. Expected: " + c.expected + ", Actual: " + right);
        }
    }
}

TEST(FileIntegrity, DigestComparisonIgnoresOnlyLetterCase) {
    EXPECT_TRUE(FileOperations::digestsEqual("abcdef0123", "ABCDEF0123"));
    EXPECT_TRUE(FileOperations::digestsEqual("", ""));
    EXPECT_FALSE(FileOperations::digestsEqual("abc", "abd"));
    EXPECT_FALSE(FileOperations::digestsEqual("abc", "abc "));
    EXPECT_FALSE(FileOperations::digestsEqual("ab", "abc"));
    // Only ASCII letters fold: '@' is not '`', and '[' is not '{'.
    EXPECT_FALSE(FileOperations::digestsEqual("@", "`"));
    EXPECT_FALSE(FileOperations::digestsEqual("[", "{"));
}

TEST(FileIntegrity, MissingFileKeepsTheOpenFailureCode) {
    ScratchDir dir;
    StdoutCapture capture;
    EXPECT_EQ(FileOperations().verifyFileIntegrity(dir / L"absent", kEmptyDigest), ErrorCode::FileNotFound);
    EXPECT_TRUE(test::logMessages(capture.events(), "ERROR").size() >= 1);
}

struct OpenFailureCase {
    const char* name;
    std::wstring relative;
    ErrorCode result;
};

TEST(FileHash, OpenFailuresAreLoggedAndMapped) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / L"folder");
    test::writeFile(dir / L"locked", "data");
    test::HeldFile holder(dir / L"locked", GENERIC_READ | GENERIC_WRITE, 0);
    const OpenFailureCase cases[] = {
        {"missing file", L"absent.bin", ErrorCode::FileNotFound},
        {"missing folder", L"nofolder\\absent.bin", ErrorCode::FileNotFound},
        {"a folder", L"folder", ErrorCode::FileAccessDenied},
        {"held open without sharing", L"locked", ErrorCode::FileAccessDenied},
    };
    for (const OpenFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        StdoutCapture capture;
        std::string hex = "stale";
        EXPECT_EQ(FileOperations().calculateSha256(dir / c.relative, hex), c.result);
        EXPECT_TRUE(hex.empty());
        const auto events = capture.events();
        const auto fileEvents = test::eventsWithOperation(events, "file:CreateFile");
        ASSERT_EQ(fileEvents.size(), 1u);
        EXPECT_EQ(fileEvents[0]["event_type"].asString(), "error");
        EXPECT_FALSE(fileEvents[0]["success"].asBool());
        EXPECT_TRUE(test::anyStartsWith(test::logMessages(events, "ERROR"), "CreateFile failed for '"));
    }
}

// A pipe delivers 1.5 MiB and then breaks: the read that follows fails in
// the middle of the data, which must fail the hash, not yield the digest of
// the bytes read so far.
TEST(FileHash, ReadErrorMidwayFailsTheHash) {
    const std::wstring name = L"\\\\.\\pipe\\korvel-hash-" + std::to_wstring(GetCurrentProcessId());
    ScopedHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536,
                                         65536, 0, nullptr));
    ASSERT_TRUE(server.valid());
    std::thread writer([server = std::move(server)]() mutable {
        ConnectNamedPipe(server.get(), nullptr);
        const std::string chunk = test::patternBytes(512 * 1024);
        for (int i = 0; i < 3; ++i) {
            DWORD written = 0;
            if (!WriteFile(server.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr)) break;
        }
        FlushFileBuffers(server.get());
        // Closing breaks the pipe under the reader.
        server.reset();
    });
    StdoutCapture capture;
    std::string hex = "stale";
    const ErrorCode result = FileOperations().calculateSha256(name, hex);
    writer.join();
    EXPECT_EQ(result, ErrorCode::HashCalculationFailed);
    EXPECT_TRUE(hex.empty());
    const auto events = capture.events();
    EXPECT_EQ(test::eventsWithOperation(events, "file:ReadFile").size(), 1u);
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(events, "ERROR"), "ReadFile failed for '"));
}

TEST(FileHash, HasherDigestsPiecesAsOneStream) {
    const std::string data = test::patternBytes(1048577);
    Sha256Hasher hasher;
    ASSERT_EQ(hasher.begin(), ErrorCode::Success);
    ASSERT_EQ(hasher.update(data.data(), 3), ErrorCode::Success);
    ASSERT_EQ(hasher.update(data.data() + 3, 0), ErrorCode::Success);
    ASSERT_EQ(hasher.update(data.data() + 3, data.size() - 3), ErrorCode::Success);
    std::string hex;
    ASSERT_EQ(hasher.finish(hex), ErrorCode::Success);
    EXPECT_EQ(hex, "f3ef9a2335c32b43ac1bed628d5e428972084b79ed959abd9c21dbad375ef654");
    // Finished: a further digest needs a new start.
    EXPECT_EQ(hasher.finish(hex), ErrorCode::HashCalculationFailed);
    ASSERT_EQ(hasher.begin(), ErrorCode::Success);
    ASSERT_EQ(hasher.finish(hex), ErrorCode::Success);
    EXPECT_EQ(hex, kEmptyDigest);
}

}  // namespace
}  // namespace korvel
