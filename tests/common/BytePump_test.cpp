#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/BytePump.h"
#include "common/FileOperations.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "tests/common/FileOperationsTesting.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;
using Outcome = BytePump::Outcome;
using CapRule = BytePump::CapRule;

constexpr uint64_t kMiB = 1024 * 1024;
const char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Digests of the leading bytes of the test pattern (the pattern of n bytes
// is the start of every longer one).
std::string patternDigest(uint64_t size) {
    switch (size) {
        case 0: return kEmptyDigest;
        case 1: return "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d";
        case 1048575: return "89d3debe3bc4b70a7f46e31ecff9b2235d13085cacbda189e9a01c3d007172eb";
        case 1048576: return "b3dcbbbf60d44776da1cd235ddf135e6d81c52bee673ef0cdf2a14232bb1dbab";
        case 1048577: return "f3ef9a2335c32b43ac1bed628d5e428972084b79ed959abd9c21dbad375ef654";
        case 2097152: return "315780fce4fdafb5bd6dcfefc62cb7a4f8c9ecc74a346216053e3712f8a03e9f";
        case 3145733: return "f6931fba92453e21ac557779d658bb3ff564ed34733512aa61a9d8be27ce39b6";
        default: ADD_FAILURE() << "no digest for " << size; return "";
    }
}

ScopedHandle openFile(const std::filesystem::path& path, DWORD access, DWORD disposition) {
    ScopedHandle file(CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) throw std::runtime_error("cannot open test file");
    return file;
}

uint64_t positionOf(HANDLE file) {
    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    SetFilePointerEx(file, zero, &position, FILE_CURRENT);
    return static_cast<uint64_t>(position.QuadPart);
}

struct PumpCase {
    const char* name;
    uint64_t size;
    std::optional<uint64_t> cap;
    CapRule rule;
    Outcome outcome;
    uint64_t bytes;
    std::vector<uint64_t> progress;
};

// Sizes around the 1 MiB buffer, with and without a cap of either rule. The
// bytes passed on are written, hashed and reported alike; a StopAt cap
// leaves the source right after the cap, a FailBeyond cap refuses the
// chunk that would pass it.
TEST(BytePump, MovesHashesAndReportsWhatPasses) {
    const std::optional<uint64_t> none;
    const PumpCase cases[] = {
        {"empty", 0, none, CapRule::StopAt, Outcome::Complete, 0, {}},
        {"one byte", 1, none, CapRule::StopAt, Outcome::Complete, 1, {1}},
        {"one buffer", kMiB, none, CapRule::StopAt, Outcome::Complete, kMiB, {kMiB}},
        {"a byte into the second", kMiB + 1, none, CapRule::StopAt, Outcome::Complete, kMiB + 1, {kMiB, kMiB + 1}},
        {"uneven", 3145733, none, CapRule::StopAt, Outcome::Complete, 3145733, {kMiB, 2 * kMiB, 3 * kMiB, 3145733}},
        {"stop inside the first", 3145733, kMiB - 1, CapRule::StopAt, Outcome::Complete, kMiB - 1, {kMiB - 1}},
        {"stop a byte into the second", 2 * kMiB, kMiB + 1, CapRule::StopAt, Outcome::Complete, kMiB + 1,
         {kMiB, kMiB + 1}},
        {"stop at the end", kMiB, kMiB, CapRule::StopAt, Outcome::Complete, kMiB, {kMiB}},
        {"stop beyond the end", 1, 2 * kMiB, CapRule::StopAt, Outcome::Complete, 1, {1}},
        {"stop at nothing", 1, 0, CapRule::StopAt, Outcome::Complete, 0, {}},
        {"fail beyond, exact size", kMiB + 1, kMiB + 1, CapRule::FailBeyond, Outcome::Complete, kMiB + 1,
         {kMiB, kMiB + 1}},
        {"fail beyond, exact empty", 0, 0, CapRule::FailBeyond, Outcome::Complete, 0, {}},
        {"fail beyond, a byte over", kMiB + 1, kMiB, CapRule::FailBeyond, Outcome::TooLong, kMiB, {kMiB}},
        {"fail beyond, inside the first", kMiB, kMiB - 1, CapRule::FailBeyond, Outcome::TooLong, 0, {}},
        {"fail beyond, longer cap", 1, kMiB, CapRule::FailBeyond, Outcome::Complete, 1, {1}},
    };
    ScratchDir dir;
    BytePump pump;
    for (const PumpCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto sourcePath = dir / L"source.bin";
        const auto targetPath = dir / L"target.bin";
        const std::string content = test::patternBytes(c.size);
        test::writeFile(sourcePath, content);
        ScopedHandle source = openFile(sourcePath, GENERIC_READ, OPEN_EXISTING);
        ScopedHandle target = openFile(targetPath, GENERIC_WRITE, CREATE_ALWAYS);

        Sha256Hasher hasher;
        ASSERT_EQ(hasher.begin(), ErrorCode::Success);
        std::vector<uint64_t> reported;
        BytePump::Job job;
        job.source = source.get();
        job.sourceName = &sourcePath;
        job.target = target.get();
        job.targetName = &targetPath;
        job.hasher = &hasher;
        job.cap = c.cap;
        job.capRule = c.rule;
        job.progress = [&](uint64_t bytes) {
            reported.push_back(bytes);
            return true;
        };
        StdoutCapture capture;
        const BytePump::Result result = pump.run(job);
        const auto events = capture.events();

        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.bytes, c.bytes);
        EXPECT_EQ(result.win32Error, 0u);
        EXPECT_EQ(reported, c.progress);
        std::string digest;
        ASSERT_EQ(hasher.finish(digest), ErrorCode::Success);
        EXPECT_EQ(digest, patternDigest(c.bytes));
        target.close();
        EXPECT_TRUE(test::readFile(targetPath) == content.substr(0, c.bytes));
        if (c.cap && c.rule == CapRule::StopAt) {
            EXPECT_EQ(positionOf(source.get()), c.bytes);
        }
        EXPECT_TRUE(test::logMessages(events, "ERROR").empty());
    }
}

// Without a target or a hasher the pump only reads, to the end.
TEST(BytePump, ReadsAlone) {
    ScratchDir dir;
    test::writeFile(dir / L"f", test::patternBytes(2 * kMiB + 3));
    ScopedHandle source = openFile(dir / L"f", GENERIC_READ, OPEN_EXISTING);
    BytePump pump;
    BytePump::Job job;
    job.source = source.get();
    const BytePump::Result result = pump.run(job);
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.bytes, 2 * kMiB + 3);
}

struct FailureCase {
    const char* name;
    bool readable;   // the source can be read
    bool writable;   // the target can be written
    bool named;      // names are given, so failures are logged
    Outcome outcome;
    const char* loggedOp;  // the file event of the failure, when named
};

// A read or write the system refuses ends the run with its Windows error,
// mapped by the file error map; it is logged (once, as the file event of its
// call, against the name of its file) only where a name was given.
TEST(BytePump, ReadAndWriteFailuresCarryTheirErrorAndAreLoggedWhenNamed) {
    const FailureCase cases[] = {
        {"read, named", false, true, true, Outcome::ReadFailed, "file:ReadFile"},
        {"read, quiet", false, true, false, Outcome::ReadFailed, nullptr},
        {"write, named", true, false, true, Outcome::WriteFailed, "file:WriteFile"},
        {"write, quiet", true, false, false, Outcome::WriteFailed, nullptr},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const auto sourcePath = dir / L"source.bin";
        const auto targetPath = dir / L"target.bin";
        test::writeFile(sourcePath, test::patternBytes(kMiB + 5));
        test::writeFile(targetPath, "");
        ScopedHandle source = openFile(sourcePath, c.readable ? GENERIC_READ : GENERIC_WRITE, OPEN_EXISTING);
        ScopedHandle target = openFile(targetPath, c.writable ? GENERIC_WRITE : GENERIC_READ, OPEN_EXISTING);

        BytePump pump;
        BytePump::Job job;
        job.source = source.get();
        job.target = target.get();
        if (c.named) {
            job.sourceName = &sourcePath;
            job.targetName = &targetPath;
        }
        int progressCalls = 0;
        job.progress = [&](uint64_t) {
            ++progressCalls;
            return true;
        };
        StdoutCapture capture;
        const BytePump::Result result = pump.run(job);
        const auto events = capture.events();

        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.bytes, 0u);
        EXPECT_EQ(result.win32Error, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(result.code(), ErrorCode::FileAccessDenied);
        EXPECT_EQ(progressCalls, 0);
        const auto fileEvents = test::eventsWithOperation(events, c.loggedOp ? c.loggedOp : "");
        if (c.loggedOp) {
            ASSERT_EQ(fileEvents.size(), 1u);
            const std::filesystem::path& named = c.outcome == Outcome::ReadFailed ? sourcePath : targetPath;
            EXPECT_EQ(fileEvents[0]["file_path"].asString(), pathToUtf8(named));
            EXPECT_EQ(fileEvents[0]["system_error_code"].asUInt(), static_cast<unsigned>(ERROR_ACCESS_DENIED));
            EXPECT_EQ(fileEvents[0]["event_type"].asString(), "error");
        } else {
            EXPECT_TRUE(test::logMessages(events, "ERROR").empty());
            EXPECT_TRUE(test::eventsWithOperation(events, "file:ReadFile").empty());
            EXPECT_TRUE(test::eventsWithOperation(events, "file:WriteFile").empty());
        }
    }
}

// A progress callback that says no ends the run after that chunk, which has
// already been written; nothing is logged.
TEST(BytePump, ProgressCanCancelAfterAChunk) {
    ScratchDir dir;
    const auto sourcePath = dir / L"source.bin";
    const auto targetPath = dir / L"target.bin";
    const std::string content = test::patternBytes(3 * kMiB);
    test::writeFile(sourcePath, content);
    ScopedHandle source = openFile(sourcePath, GENERIC_READ, OPEN_EXISTING);
    ScopedHandle target = openFile(targetPath, GENERIC_WRITE, CREATE_ALWAYS);

    BytePump pump;
    BytePump::Job job;
    job.source = source.get();
    job.sourceName = &sourcePath;
    job.target = target.get();
    job.targetName = &targetPath;
    std::vector<uint64_t> reported;
    job.progress = [&](uint64_t bytes) {
        reported.push_back(bytes);
        return false;
    };
    StdoutCapture capture;
    const BytePump::Result result = pump.run(job);
    EXPECT_EQ(result.outcome, Outcome::Cancelled);
    EXPECT_EQ(result.code(), ErrorCode::Cancelled);
    EXPECT_EQ(result.bytes, kMiB);
    EXPECT_EQ(reported, std::vector<uint64_t>{kMiB});
    target.close();
    EXPECT_TRUE(test::readFile(targetPath) == content.substr(0, kMiB));
    EXPECT_TRUE(test::logMessages(capture.events(), "ERROR").empty());
}

// A hasher that cannot take the bytes stops the run with 204.
TEST(BytePump, AHashFailureStopsTheRun) {
    ScratchDir dir;
    test::writeFile(dir / L"f", test::patternBytes(2 * kMiB));
    ScopedHandle source = openFile(dir / L"f", GENERIC_READ, OPEN_EXISTING);
    Sha256Hasher notBegun;
    BytePump pump;
    BytePump::Job job;
    job.source = source.get();
    job.hasher = &notBegun;
    const BytePump::Result result = pump.run(job);
    EXPECT_EQ(result.outcome, Outcome::HashFailed);
    EXPECT_EQ(result.code(), ErrorCode::HashCalculationFailed);
    EXPECT_EQ(result.bytes, 0u);
}

// Each outcome's code, with the Windows errors of reads and writes through
// the file error map; a write cut short without an error is a write fault.
TEST(BytePump, OutcomeCodes) {
    struct CodeCase {
        Outcome outcome;
        uint32_t win32Error;
        ErrorCode code;
    };
    const CodeCase cases[] = {
        {Outcome::Complete, 0, ErrorCode::Success},
        {Outcome::ReadFailed, ERROR_ACCESS_DENIED, ErrorCode::FileAccessDenied},
        {Outcome::ReadFailed, ERROR_FILE_NOT_FOUND, ErrorCode::FileNotFound},
        {Outcome::ReadFailed, 0, ErrorCode::InternalError},
        {Outcome::WriteFailed, ERROR_DISK_FULL, ErrorCode::InsufficientDiskSpace},
        {Outcome::WriteFailed, ERROR_LOCK_VIOLATION, ErrorCode::FileAccessDenied},
        {Outcome::WriteFailed, 0, ErrorCode::InternalError},
        {Outcome::HashFailed, 0, ErrorCode::HashCalculationFailed},
        {Outcome::Cancelled, 0, ErrorCode::Cancelled},
        {Outcome::TooLong, 0, ErrorCode::FileHashMismatch},
    };
    for (const CodeCase& c : cases) {
        BytePump::Result result;
        result.outcome = c.outcome;
        result.win32Error = c.win32Error;
        EXPECT_EQ(result.code(), c.code) << static_cast<int>(c.outcome) << " " << c.win32Error;
        EXPECT_EQ(result.ok(), c.outcome == Outcome::Complete);
    }
}

// The write step alone, as the download uses it: all bytes or a failure.
TEST(BytePump, WriteStepWritesAllOrFails) {
    ScratchDir dir;
    const auto path = dir / L"w.bin";
    const std::string bytes = test::patternBytes(4096);
    {
        ScopedHandle file = openFile(path, GENERIC_WRITE, CREATE_ALWAYS);
        EXPECT_TRUE(BytePump::write(file.get(), &path, bytes.data(), static_cast<DWORD>(bytes.size())).ok());
    }
    EXPECT_TRUE(test::readFile(path) == bytes);
    ScopedHandle readOnly = openFile(path, GENERIC_READ, OPEN_EXISTING);
    StdoutCapture capture;
    const BytePump::Result failed = BytePump::write(readOnly.get(), nullptr, bytes.data(), 10);
    EXPECT_EQ(failed.outcome, Outcome::WriteFailed);
    EXPECT_EQ(failed.win32Error, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(test::eventsWithOperation(capture.events(), "file:WriteFile").empty());
}

}  // namespace
}  // namespace korvel
