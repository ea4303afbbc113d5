#include <windows.h>

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "common/FileOperations.h"
#include "tests/common/FileOperationsTesting.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;
namespace fs = std::filesystem;

TEST(Win32ErrorMapping, Table) {
    const struct {
        uint32_t win32;
        ErrorCode code;
    } cases[] = {
        {2, ErrorCode::FileNotFound},
        {3, ErrorCode::FileNotFound},
        {5, ErrorCode::FileAccessDenied},
        {19, ErrorCode::FileAccessDenied},
        {32, ErrorCode::FileAccessDenied},
        {33, ErrorCode::FileAccessDenied},
        {39, ErrorCode::InsufficientDiskSpace},
        {112, ErrorCode::InsufficientDiskSpace},
        {123, ErrorCode::InstallPathInvalid},
        {161, ErrorCode::InstallPathInvalid},
        {0, ErrorCode::InternalError},
        {1, ErrorCode::InternalError},
        {4, ErrorCode::InternalError},
        {80, ErrorCode::InternalError},
        {145, ErrorCode::InternalError},
        {0xFFFFFFFFu, ErrorCode::InternalError},
    };
    for (const auto& c : cases) EXPECT_EQ(FileOperations::mapWin32Error(c.win32), c.code) << c.win32;
}

TEST(Win32FailureLog, LineAndEvent) {
    StdoutCapture capture;
    FileOperations::logWin32Failure("DeleteFile", L"T:\\x\\y.txt", 5);
    const auto events = capture.events();
    const auto errors = test::logMessages(events, "ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].rfind("DeleteFile failed for 'T:\\x\\y.txt': ", 0) == 0) << errors[0];
    EXPECT_TRUE(errors[0].size() > 10 && errors[0].compare(errors[0].size() - 10, 10, " (code: 5)") == 0)
        << errors[0];
    const auto fileEvents = test::eventsWithOperation(events, "file:DeleteFile");
    ASSERT_EQ(fileEvents.size(), 1u);
    EXPECT_EQ(fileEvents[0]["event_type"].asString(), "error");
    EXPECT_EQ(fileEvents[0]["system_error_code"].asUInt(), 5u);
    EXPECT_FALSE(fileEvents[0]["success"].asBool());
}

TEST(FileInfoQuery, MissingFile) {
    ScratchDir dir;
    for (const wchar_t* rel : {L"absent", L"nofolder\\absent"}) {
        FileInfo info;
        info.size = 99;
        info.sha256 = "stale";
        info.readOnly = true;
        EXPECT_EQ(FileOperations().getFileInfo(dir / rel, info), ErrorCode::Success);
        EXPECT_FALSE(info.exists);
        EXPECT_EQ(info.size, 0u);
        EXPECT_TRUE(info.sha256.empty());
        EXPECT_FALSE(info.readOnly);
        EXPECT_EQ(info.path, dir / rel);
    }
}

TEST(FileInfoQuery, EmptyFileIsNotHashed) {
    ScratchDir dir;
    test::writeFile(dir / L"empty", "");
    FileInfo info;
    EXPECT_EQ(FileOperations().getFileInfo(dir / L"empty", info), ErrorCode::Success);
    EXPECT_TRUE(info.exists);
    EXPECT_EQ(info.size, 0u);
    EXPECT_TRUE(info.sha256.empty());
}

TEST(FileInfoQuery, SizeDigestAndFlags) {
    ScratchDir dir;
    const auto file = dir / L"f.bin";
    test::writeFile(file, test::patternBytes(1048576));
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    FileInfo info;
    EXPECT_EQ(FileOperations().getFileInfo(file, info), ErrorCode::Success);
    EXPECT_TRUE(info.exists);
    EXPECT_EQ(info.size, 1048576u);
    EXPECT_EQ(info.sha256, "b3dcbbbf60d44776da1cd235ddf135e6d81c52bee673ef0cdf2a14232bb1dbab");
    EXPECT_TRUE(info.readOnly);
    EXPECT_TRUE(info.hidden);
    EXPECT_FALSE(info.system);
}

// Whole seconds of local time, in 100 ns units: two write times an hour and
// a half second apart differ by exactly an hour plus at most one second.
TEST(FileInfoQuery, LastModifiedInWholeSeconds) {
    ScratchDir dir;
    test::writeFile(dir / L"a", "a");
    test::writeFile(dir / L"b", "b");
    const int64_t base = 1500000000;
    FILETIME a = test::fileTimeFromUnix(base);
    FILETIME b = test::fileTimeFromUnix(base + 3600);
    // Half a second more on b: dropped by the whole-second rounding.
    const uint64_t bTicks = test::ticksOf(b) + 5000000;
    b.dwLowDateTime = static_cast<DWORD>(bTicks);
    b.dwHighDateTime = static_cast<DWORD>(bTicks >> 32);
    test::setTimes(dir / L"a", a, a, a);
    test::setTimes(dir / L"b", b, b, b);
    FileInfo infoA;
    FileInfo infoB;
    ASSERT_EQ(FileOperations().getFileInfo(dir / L"a", infoA), ErrorCode::Success);
    ASSERT_EQ(FileOperations().getFileInfo(dir / L"b", infoB), ErrorCode::Success);
    EXPECT_EQ(infoA.lastModified % 10000000, 0);
    EXPECT_EQ(infoB.lastModified - infoA.lastModified, 3600LL * 10000000);
    // Within a day of the Unix reading of the same instant (the zone shifts it).
    EXPECT_LE(std::llabs(infoA.lastModified / 10000000 - base), 86400);
}

TEST(FileDeletion, Cases) {
    ScratchDir dir;
    test::writeFile(dir / L"f", "x");
    {
        StdoutCapture capture;
        EXPECT_EQ(FileOperations().deleteFile(dir / L"f"), ErrorCode::Success);
        EXPECT_FALSE(fs::exists(dir / L"f"));
        const auto events = test::eventsWithOperation(capture.events(), "file:delete");
        ASSERT_EQ(events.size(), 1u);
        EXPECT_TRUE(events[0]["success"].asBool());
    }
    {
        StdoutCapture capture;
        EXPECT_EQ(FileOperations().deleteFile(dir / L"absent"), ErrorCode::Success);
        EXPECT_TRUE(capture.events().empty());
    }
    {
        StdoutCapture capture;
        EXPECT_EQ(FileOperations().deleteFile(dir / L"nofolder\\absent"), ErrorCode::FileNotFound);
        const auto events = test::eventsWithOperation(capture.events(), "file:DeleteFile");
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0]["system_error_code"].asUInt(), 3u);
    }
    {
        test::writeFile(dir / L"held", "x");
        test::HeldFile holder(dir / L"held", GENERIC_READ, FILE_SHARE_READ);
        StdoutCapture capture;
        EXPECT_EQ(FileOperations().deleteFile(dir / L"held"), ErrorCode::FileAccessDenied);
        EXPECT_EQ(test::eventsWithOperation(capture.events(), "file:DeleteFile").size(), 1u);
    }
    EXPECT_TRUE(fs::exists(dir / L"held"));
}

TEST(FolderCreation, CreatesEveryMissingLevel) {
    ScratchDir dir;
    StdoutCapture capture;
    EXPECT_EQ(FileOperations().createDirectory(dir / L"a\\b\\c"), ErrorCode::Success);
    EXPECT_TRUE(fs::is_directory(dir / L"a\\b\\c"));
    const auto events = test::eventsWithOperation(capture.events(), "file:mkdir");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0]["success"].asBool());
}

TEST(FolderCreation, ExistingFolderIsSuccessWithoutEvent) {
    ScratchDir dir;
    fs::create_directories(dir / L"there");
    StdoutCapture capture;
    EXPECT_EQ(FileOperations().createDirectory(dir / L"there"), ErrorCode::Success);
    EXPECT_TRUE(capture.events().empty());
}

// A file where the folder should be is not a folder: the callers would go
// on to write into something that is not there.
TEST(FolderCreation, FileInTheWayFails) {
    ScratchDir dir;
    test::writeFile(dir / L"file", "content");
    for (const wchar_t* rel : {L"file", L"file\\below"}) {
        StdoutCapture capture;
        EXPECT_EQ(FileOperations().createDirectory(dir / rel), ErrorCode::DirectoryCreateFailed);
        EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "ERROR"),
                                        "Failed to create directory: " + (dir / rel).string() + " - "));
        EXPECT_TRUE(test::eventsWithOperation(capture.events(), "file:mkdir").empty());
    }
    EXPECT_EQ(test::readFile(dir / L"file"), "content");
}

TEST(ReadOnlyFlag, SetAndClearKeepOtherAttributes) {
    ScratchDir dir;
    const auto file = dir / L"f";
    test::writeFile(file, "x");
    FileOperations ops;
    EXPECT_EQ(ops.setReadOnly(file, true), ErrorCode::Success);
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_READONLY, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ops.setReadOnly(file, true), ErrorCode::Success);
    // Read-only alone: clearing it must really clear it.
    EXPECT_EQ(ops.setReadOnly(file, false), ErrorCode::Success);
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(ops.setReadOnly(file, true), ErrorCode::Success);
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(ops.setReadOnly(file, false), ErrorCode::Success);
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
}

TEST(ReadOnlyFlag, MissingFile) {
    ScratchDir dir;
    StdoutCapture capture;
    EXPECT_EQ(FileOperations().setReadOnly(dir / L"absent", true), ErrorCode::FileNotFound);
    EXPECT_EQ(test::eventsWithOperation(capture.events(), "file:GetFileAttributes").size(), 1u);
}

// Wine has no trusted signatures: an unsigned program, a text file and a
// missing file all fail the check with 200 and the status in the line.
TEST(SignatureCheck, UnsignedFilesFail) {
    ScratchDir dir;
    test::writeFile(dir / L"plain.exe", "MZ not really a program");
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    for (const fs::path& file : {fs::path(self), dir / L"plain.exe", dir / L"absent.dll"}) {
        SCOPED_TRACE(file.string());
        StdoutCapture capture;
        EXPECT_EQ(FileOperations().verifySignature(file), ErrorCode::SignatureInvalid);
        const auto errors = test::logMessages(capture.events(), "ERROR");
        ASSERT_EQ(errors.size(), 1u);
        const std::string prefix = "Signature verification failed: ";
        ASSERT_TRUE(errors[0].rfind(prefix, 0) == 0) << errors[0];
        EXPECT_NE(errors[0].substr(prefix.size()), "0");
    }
}

}  // namespace
}  // namespace korvel
