#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/FileOperations.h"
#include "common/UniqueResource.h"
#include "tests/common/FileOperationsTesting.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;
namespace fs = std::filesystem;

constexpr size_t kLimit = 10485760;  // largest size copied by the system in one call
constexpr size_t kMiB = 1048576;

CopyOptions allOn() {
    CopyOptions o;
    o.overwrite = true;
    o.preserveTimestamps = true;
    o.verifyHash = true;
    o.createParentDirs = true;
    return o;
}

// Old, distinct times so that a fresh file's own times cannot pass for them.
void stampOldTimes(const std::filesystem::path& file) {
    test::setTimes(file, test::fileTimeFromUnix(1000000000), test::fileTimeFromUnix(1100000000),
                   test::fileTimeFromUnix(1200000000));
}

struct SizeCase {
    size_t size;
    bool chunked;
};

// Both sides of the limit, with every option on: the content arrives whole,
// the times come along, and the events tell which copy ran.
TEST(FileCopy, BothSidesOfTheLimitVerifyAndKeepTimes) {
    const SizeCase cases[] = {
        {0, false}, {1, false}, {kMiB + 1, false}, {kLimit, false}, {kLimit + 1, true}, {3 * kLimit / 2, true},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.size);
        ScratchDir dir;
        const auto source = dir / L"source.bin";
        const auto target = dir / L"out\\deeper\\target.bin";
        const std::string content = test::patternBytes(c.size);
        test::writeFile(source, content);
        stampOldTimes(source);

        StdoutCapture capture;
        ASSERT_EQ(FileOperations().copyFile(source, target, allOn()), ErrorCode::Success);
        const auto events = capture.events();

        EXPECT_TRUE(test::readFile(target) == content);
        const test::Times s = test::timesOf(source);
        const test::Times t = test::timesOf(target);
        EXPECT_EQ(test::ticksOf(t.written), test::ticksOf(s.written));
        EXPECT_EQ(test::ticksOf(t.created), test::ticksOf(s.created));
        EXPECT_EQ(test::namesIn(dir / L"out\\deeper"), std::vector<std::wstring>{L"target.bin"});
        EXPECT_TRUE(test::logMessages(events, "ERROR").empty());

        const auto progress = test::eventsWithOperation(events, "file_copy");
        const auto copyEvents = test::eventsWithOperation(events, "file:copy");
        if (c.chunked) {
            const size_t chunks = (c.size + kMiB - 1) / kMiB;
            ASSERT_EQ(progress.size(), chunks);
            for (size_t i = 0; i < chunks; ++i) {
                const uint64_t copied = std::min<uint64_t>((i + 1) * kMiB, c.size);
                EXPECT_EQ(progress[i]["event_type"].asString(), "progress");
                EXPECT_EQ(progress[i]["progress"].asInt(), static_cast<int>(copied * 100 / c.size));
                EXPECT_EQ(progress[i]["details"].asString(), "Copied " + std::to_string(copied) + " bytes");
            }
            EXPECT_EQ(progress.back()["progress"].asInt(), 100);
            EXPECT_TRUE(copyEvents.empty());
        } else {
            EXPECT_TRUE(progress.empty());
            ASSERT_EQ(copyEvents.size(), 1u);
            EXPECT_TRUE(copyEvents[0]["success"].asBool());
            EXPECT_EQ(copyEvents[0]["event_type"].asString(), "status");
        }
    }
}

TEST(FileCopy, JustOverTheLimitGivesElevenProgressEvents) {
    ScratchDir dir;
    const auto source = dir / L"s";
    test::writeFile(source, test::patternBytes(kLimit + 1));
    StdoutCapture capture;
    ASSERT_EQ(FileOperations().copyFile(source, dir / L"t", allOn()), ErrorCode::Success);
    const auto progress = test::eventsWithOperation(capture.events(), "file_copy");
    ASSERT_EQ(progress.size(), 11u);
    std::vector<int> percents;
    for (const auto& e : progress) percents.push_back(e["progress"].asInt());
    EXPECT_EQ(percents, (std::vector<int>{9, 19, 29, 39, 49, 59, 69, 79, 89, 99, 100}));
}

TEST(FileCopy, TimesAreLeftAloneWhenNotAsked) {
    for (size_t size : {kLimit, kLimit + 1}) {
        SCOPED_TRACE(size);
        ScratchDir dir;
        const auto source = dir / L"s";
        test::writeFile(source, test::patternBytes(size));
        stampOldTimes(source);
        CopyOptions options = allOn();
        options.preserveTimestamps = false;
        options.verifyHash = false;
        ASSERT_EQ(FileOperations().copyFile(source, dir / L"t", options), ErrorCode::Success);
        EXPECT_TRUE(test::readFile(dir / L"t") == test::patternBytes(size));
        // The chunked copy writes a new file: its write time is now, far from
        // the source's. (The system copy keeps the write time by itself.)
        if (size > kLimit) {
            EXPECT_NE(test::ticksOf(test::timesOf(dir / L"t").written),
                      test::ticksOf(test::timesOf(source).written));
        }
    }
}

TEST(FileCopy, OverwriteReplacesOldContentOnBothPaths) {
    for (size_t size : {size_t{10}, kLimit, kLimit + 1}) {
        SCOPED_TRACE(size);
        ScratchDir dir;
        test::writeFile(dir / L"s", test::patternBytes(size));
        test::writeFile(dir / L"t", std::string(size + 12345, 'o'));
        ASSERT_EQ(FileOperations().copyFile(dir / L"s", dir / L"t", allOn()), ErrorCode::Success);
        EXPECT_TRUE(test::readFile(dir / L"t") == test::patternBytes(size));
        EXPECT_EQ(test::namesIn(dir.path()), (std::vector<std::wstring>{L"s", L"t"}));
    }
}

TEST(FileCopy, OverwriteFalseKeepsTheTargetForAnySize) {
    for (size_t size : {size_t{0}, size_t{10}, kLimit, kLimit + 1}) {
        SCOPED_TRACE(size);
        ScratchDir dir;
        test::writeFile(dir / L"s", test::patternBytes(size));
        test::writeFile(dir / L"t", "old target");
        CopyOptions options = allOn();
        options.overwrite = false;
        StdoutCapture capture;
        EXPECT_EQ(FileOperations().copyFile(dir / L"s", dir / L"t", options), ErrorCode::FileAccessDenied);
        const auto errors = test::logMessages(capture.events(), "ERROR");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0], "Target file exists and overwrite not allowed: " + (dir / L"t").string());
        EXPECT_EQ(test::readFile(dir / L"t"), "old target");
        EXPECT_TRUE(test::eventsWithOperation(capture.events(), "file_copy").empty());
        EXPECT_EQ(test::namesIn(dir.path()), (std::vector<std::wstring>{L"s", L"t"}));
    }
}

TEST(FileCopy, OverwriteFalseCopiesToAFreeName) {
    for (size_t size : {size_t{10}, kLimit + 1}) {
        SCOPED_TRACE(size);
        ScratchDir dir;
        test::writeFile(dir / L"s", test::patternBytes(size));
        CopyOptions options = allOn();
        options.overwrite = false;
        EXPECT_EQ(FileOperations().copyFile(dir / L"s", dir / L"t", options), ErrorCode::Success);
        EXPECT_TRUE(test::readFile(dir / L"t") == test::patternBytes(size));
    }
}

TEST(FileCopy, MissingSourceReportsTheSystemCopyFailure) {
    ScratchDir dir;
    StdoutCapture capture;
    EXPECT_EQ(FileOperations().copyFile(dir / L"absent", dir / L"t", allOn()), ErrorCode::FileNotFound);
    const auto failures = test::eventsWithOperation(capture.events(), "file:CopyFileEx");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0]["event_type"].asString(), "error");
    EXPECT_EQ(failures[0]["file_path"].asString(), (dir / L"absent").string());
    EXPECT_EQ(failures[0]["system_error_code"].asUInt(), 2u);
    EXPECT_TRUE(test::namesIn(dir.path()).empty());
}

TEST(FileCopy, ParentFolders) {
    ScratchDir dir;
    test::writeFile(dir / L"s", "data");
    CopyOptions options = allOn();
    options.createParentDirs = false;
    EXPECT_EQ(FileOperations().copyFile(dir / L"s", dir / L"missing\\t", options), ErrorCode::FileNotFound);
    EXPECT_FALSE(std::filesystem::exists(dir / L"missing"));

    options.createParentDirs = true;
    EXPECT_EQ(FileOperations().copyFile(dir / L"s", dir / L"a\\b\\c\\t", options), ErrorCode::Success);
    EXPECT_EQ(test::readFile(dir / L"a\\b\\c\\t"), "data");

    // A file where the parent folder should be.
    test::writeFile(dir / L"blocker", "x");
    EXPECT_EQ(FileOperations().copyFile(dir / L"s", dir / L"blocker\\t", options),
              ErrorCode::DirectoryCreateFailed);
    EXPECT_EQ(test::readFile(dir / L"blocker"), "x");
}

TEST(FileCopy, CopyOntoItselfKeepsTheContent) {
    for (size_t size : {size_t{100}, kLimit + 1}) {
        SCOPED_TRACE(size);
        ScratchDir dir;
        test::writeFile(dir / L"s", test::patternBytes(size));
        EXPECT_EQ(FileOperations().copyFile(dir / L"s", dir / L"s", allOn()), ErrorCode::Success);
        EXPECT_TRUE(test::readFile(dir / L"s") == test::patternBytes(size));
        EXPECT_EQ(test::namesIn(dir.path()), std::vector<std::wstring>{L"s"});
    }
}

// The temporary file must not break a name the target itself can have.
TEST(FileCopy, TargetNameAtTheLengthLimit) {
    for (size_t size : {size_t{10}, kLimit + 1}) {
        SCOPED_TRACE(size);
        ScratchDir dir;
        const std::wstring name(250, L'n');
        test::writeFile(dir / L"s", test::patternBytes(size));
        test::writeFile(dir / name, "old");
        EXPECT_EQ(FileOperations().copyFile(dir / L"s", dir / name, allOn()), ErrorCode::Success);
        EXPECT_TRUE(test::readFile(dir / name) == test::patternBytes(size));
        EXPECT_EQ(test::namesIn(dir.path()), (std::vector<std::wstring>{name, L"s"}));
    }
}

TEST(FileCopy, ProgressCallbackSeesEveryChunk) {
    ScratchDir dir;
    const size_t size = kLimit + 3 * kMiB + 17;
    test::writeFile(dir / L"s", test::patternBytes(size));
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    CopyOptions options = allOn();
    options.progressCallback = [&](uint64_t copied, uint64_t total) {
        calls.emplace_back(copied, total);
        return true;
    };
    ASSERT_EQ(FileOperations().copyFile(dir / L"s", dir / L"t", options), ErrorCode::Success);
    ASSERT_EQ(calls.size(), 14u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].first, std::min<uint64_t>((i + 1) * kMiB, size));
        EXPECT_EQ(calls[i].second, size);
    }
}

// A copy that stops midway leaves the old target exactly as it was and no
// half-written file anywhere.
TEST(FileCopyReplace, CancelMidwayKeepsTheOldTarget) {
    ScratchDir dir;
    const std::string old = test::patternBytes(3 * kMiB + 5).substr(7);
    test::writeFile(dir / L"s", test::patternBytes(kLimit + kMiB));
    test::writeFile(dir / L"t", old);
    int chunks = 0;
    CopyOptions options = allOn();
    options.progressCallback = [&](uint64_t, uint64_t) { return ++chunks < 4; };
    StdoutCapture capture;
    EXPECT_EQ(FileOperations().copyFile(dir / L"s", dir / L"t", options), ErrorCode::Cancelled);
    EXPECT_EQ(chunks, 4);
    EXPECT_TRUE(test::readFile(dir / L"t") == old);
    EXPECT_EQ(test::namesIn(dir.path()), (std::vector<std::wstring>{L"s", L"t"}));
    EXPECT_TRUE(test::logMessages(capture.events(), "ERROR").empty());
}

// While a large copy runs, its new content sits in one temporary file
// beside the target that no other handle can open or delete, so what is
// verified is what lands at the target.
TEST(FileCopyReplace, TemporaryFileIsBesideTheTargetAndLocked) {
    ScratchDir dir;
    fs::create_directories(dir / L"out");
    test::writeFile(dir / L"s", test::patternBytes(kLimit + 2 * kMiB));
    test::writeFile(dir / L"out\\t", "old");
    std::vector<std::wstring> seen;
    int openable = 0;
    int deletable = 0;
    CopyOptions options = allOn();
    options.progressCallback = [&](uint64_t, uint64_t) {
        for (const std::wstring& name : test::namesIn(dir / L"out")) {
            if (name == L"t") continue;
            seen.push_back(name);
            const auto path = dir / L"out" / name;
            {
                const ScopedHandle h(CreateFileW(path.c_str(), GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
                if (h.valid()) ++openable;
            }
            if (DeleteFileW(path.c_str())) ++deletable;
        }
        // Meanwhile the old target is still the old target.
        return test::readFile(dir / L"out\\t") == "old";
    };
    ASSERT_EQ(FileOperations().copyFile(dir / L"s", dir / L"out\\t", options), ErrorCode::Success);
    ASSERT_EQ(seen.size(), 12u);
    for (const std::wstring& name : seen) EXPECT_EQ(name, seen.front());
    EXPECT_EQ(seen.front().rfind(L"t.", 0), 0u);
    EXPECT_EQ(openable, 0);
    EXPECT_EQ(deletable, 0);
    EXPECT_TRUE(test::readFile(dir / L"out\\t") == test::patternBytes(kLimit + 2 * kMiB));
    EXPECT_EQ(test::namesIn(dir / L"out"), std::vector<std::wstring>{L"t"});
}

// The final step cannot replace a target that another handle holds open
// without delete sharing: the copy fails after the new content was complete,
// and still the old target survives byte for byte.
TEST(FileCopyReplace, FailedFinalReplaceKeepsTheOldTarget) {
    for (size_t size : {size_t{4096}, kLimit, kLimit + 1}) {
        SCOPED_TRACE(size);
        ScratchDir dir;
        const std::string old = "previous version " + test::patternBytes(2 * kMiB);
        test::writeFile(dir / L"s", test::patternBytes(size));
        test::writeFile(dir / L"t", old);
        StdoutCapture capture;
        ErrorCode result;
        {
            test::HeldFile holder(dir / L"t", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
            result = FileOperations().copyFile(dir / L"s", dir / L"t", allOn());
        }
        EXPECT_EQ(result, ErrorCode::FileAccessDenied);
        EXPECT_TRUE(test::readFile(dir / L"t") == old);
        EXPECT_EQ(test::namesIn(dir.path()), (std::vector<std::wstring>{L"s", L"t"}));
        const auto failures = test::eventsWithOperation(capture.events(), "file:MoveFileEx");
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0]["file_path"].asString(), (dir / L"t").string());
        EXPECT_TRUE(test::eventsWithOperation(capture.events(), "file:copy").empty());
    }
}

// A folder in the target's place is never replaced.
TEST(FileCopyReplace, FolderAtTheTargetSurvives) {
    for (size_t size : {size_t{10}, kLimit + 1}) {
        SCOPED_TRACE(size);
        ScratchDir dir;
        test::writeFile(dir / L"s", test::patternBytes(size));
        std::filesystem::create_directories(dir / L"t");
        test::writeFile(dir / L"t\\inside", "kept");
        EXPECT_EQ(FileOperations().copyFile(dir / L"s", dir / L"t", allOn()), ErrorCode::FileAccessDenied);
        EXPECT_EQ(test::readFile(dir / L"t\\inside"), "kept");
        EXPECT_EQ(test::namesIn(dir.path()), (std::vector<std::wstring>{L"s", L"t"}));
    }
}

// The chunked copy opens its source without write sharing: a source that
// another handle is writing to is refused rather than copied and verified
// while it changes.
TEST(FileCopyReplace, SourceBeingWrittenIsRefused) {
    ScratchDir dir;
    test::writeFile(dir / L"s", test::patternBytes(kLimit + 1));
    test::writeFile(dir / L"t", "old");
    ErrorCode result;
    {
        test::HeldFile writer(dir / L"s", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        StdoutCapture capture;
        result = FileOperations().copyFile(dir / L"s", dir / L"t", allOn());
        EXPECT_EQ(test::eventsWithOperation(capture.events(), "file:CreateFile (source)").size(), 1u);
    }
    EXPECT_EQ(result, ErrorCode::FileAccessDenied);
    EXPECT_EQ(test::readFile(dir / L"t"), "old");
    EXPECT_EQ(test::namesIn(dir.path()), (std::vector<std::wstring>{L"s", L"t"}));
}

}  // namespace
}  // namespace korvel
