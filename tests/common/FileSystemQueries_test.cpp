#include "common/FileSystemQueries.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/UniqueResource.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {
namespace fs = std::filesystem;
using test::ScratchDir;

// The operation name a filesystem_error carries is what callers report.
template <typename Call>
std::string thrownOperation(Call call) {
    try {
        call();
    } catch (const fs::filesystem_error& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

TEST(FileSystemQueries, AbsenceIsAnAnswerNotAnError) {
    ScratchDir dir;
    EXPECT_FALSE(existsOrThrow(dir / L"missing.txt"));
    EXPECT_FALSE(existsOrThrow(dir / L"missing\\deeper.txt"));
    EXPECT_FALSE(isDirectoryOrThrow(dir / L"missing"));
    EXPECT_FALSE(removeOrThrow(dir / L"missing.txt"));
}

TEST(FileSystemQueries, PresentEntries) {
    ScratchDir dir;
    { std::ofstream(dir / L"file.txt") << "x"; }
    fs::create_directory(dir / L"folder");
    EXPECT_TRUE(existsOrThrow(dir / L"file.txt"));
    EXPECT_FALSE(isDirectoryOrThrow(dir / L"file.txt"));
    EXPECT_TRUE(isDirectoryOrThrow(dir / L"folder"));
    EXPECT_TRUE(removeOrThrow(dir / L"file.txt"));
    EXPECT_FALSE(fs::exists(dir / L"file.txt"));
}

// Status errors other than absence cannot be provoked here (the runtime
// reports refused names as absent); a removal that fails can.
TEST(FileSystemQueries, FailedRemovalIsNamedRemove) {
    ScratchDir dir;
    fs::create_directory(dir / L"full");
    { std::ofstream(dir / L"full" / L"inside.txt") << "x"; }
    const std::string removal = thrownOperation([&] { removeOrThrow(dir / L"full"); });
    EXPECT_EQ(removal.rfind("filesystem error: remove:", 0), 0u) << removal;
    EXPECT_TRUE(fs::exists(dir / L"full" / L"inside.txt"));
}

// Every way Windows says "not there" is a plain no; a present entry, a file
// as a folder or a folder as a file, a yes.
TEST(FileSystemQueries, EntryExistsByWindowsOwnAnswer) {
    ScratchDir dir;
    { std::ofstream(dir / L"file.txt") << "x"; }
    fs::create_directory(dir / L"folder");
    const struct {
        fs::path path;
        bool present;
    } cases[] = {
        {dir / L"file.txt", true},
        {dir / L"folder", true},
        {dir / L"folder\\", true},
        {dir / L"missing.txt", false},                  // file not found
        {dir / L"missing\\deeper.txt", false},          // path not found
        {dir / L"file.txt\\below", false},              // a file named as a folder
        {dir / L"bad?name", false},                     // a name Windows refuses
        {dir / L"bad*name\\x", false},
    };
    for (const auto& c : cases) EXPECT_EQ(entryExistsOrThrow(c.path), c.present) << c.path.string();
}

// Wine makes no reparse points but links, so which tags lead elsewhere by
// name is decided by a function of its own, tested by its table.
TEST(FileSystemQueries, OnlyNameSurrogateReparsePointsLeadElsewhere) {
    const struct {
        uint32_t attributes;
        uint32_t tag;
        bool surrogate;
        const char* what;
    } cases[] = {
        {FILE_ATTRIBUTE_NORMAL, 0, false, "plain file"},
        {FILE_ATTRIBUTE_DIRECTORY, 0, false, "plain folder"},
        {FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK, true, "file link"},
        {FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_SYMLINK, true, "folder link"},
        {FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_MOUNT_POINT, true, "junction"},
        {FILE_ATTRIBUTE_REPARSE_POINT, 0x80000013u, false, "deduplicated file"},
        {FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, 0x9000701Au, false, "cloud folder"},
        {FILE_ATTRIBUTE_REPARSE_POINT, 0x80000017u, false, "compressed system file"},
        {FILE_ATTRIBUTE_REPARSE_POINT, 0, true, "tag not read: taken as a link"},
        {FILE_ATTRIBUTE_NORMAL, IO_REPARSE_TAG_SYMLINK, false, "tag without the attribute"},
    };
    for (const auto& c : cases) EXPECT_EQ(isNameSurrogateEntry(c.attributes, c.tag), c.surrogate) << c.what;

    // Read from the entry itself: no reparse point seen, none there; one
    // seen whose tag cannot be read is taken as a link.
    ScratchDir dir;
    { std::ofstream(dir / L"file.txt") << "x"; }
    EXPECT_FALSE(isNameSurrogateAt(dir / L"file.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(isNameSurrogateAt(dir / L"missing.txt", FILE_ATTRIBUTE_REPARSE_POINT));
}

// A file written anew holds only what is written after, whatever it held
// and wherever its pointer was; an empty one stays empty.
TEST(FileSystemQueries, StartFileAnewLeavesOnlyWhatIsWrittenAfter) {
    ScratchDir dir;
    struct Case {
        const char* name;
        std::string before;
        LONGLONG pointer;
    };
    for (const Case& c : {Case{"full, pointer at the end", "old bytes here", 14}, Case{"full, pointer inside", "old", 1},
                          Case{"empty", "", 0}, Case{"empty, pointer past the end", "", 40}}) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / L"anew.bin";
        { std::ofstream(file, std::ios::binary | std::ios::trunc) << c.before; }
        ScopedHandle handle(CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(handle.valid());
        LARGE_INTEGER at{};
        at.QuadPart = c.pointer;
        ASSERT_TRUE(SetFilePointerEx(handle.get(), at, nullptr, FILE_BEGIN));
        ASSERT_TRUE(startFileAnew(handle.get()));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(handle.get(), "new", 3, &written, nullptr));
        handle.close();
        std::ifstream in(file, std::ios::binary);
        const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(after, "new");
    }
}

TEST(FileSystemQueries, StartFileAnewFailsWithoutWriteAccess) {
    ScratchDir dir;
    const fs::path file = dir / L"readonly-handle.bin";
    { std::ofstream(file, std::ios::binary) << "kept"; }
    ScopedHandle handle(
        CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(handle.valid());
    EXPECT_FALSE(startFileAnew(handle.get()));
    handle.close();
    std::ifstream in(file, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after, "kept");
}

}  // namespace
}  // namespace korvel
