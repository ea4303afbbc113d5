// The native open relative to a folder handle: dispositions, what "created"
// says, and the names it refuses.
#include "common/PinnedChildFolder.h"
#include "common/PinnedDirectory.h"

#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "tests/support/TestSupport.h"

#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <string>

namespace korvel {
namespace {

using test::ScratchDir;

DWORD attributesOf(const std::wstring& p) { return GetFileAttributesW(toExtendedLengthPath(p).c_str()); }

void makeFile(const std::wstring& p) {
    const ScopedHandle h(CreateFileW(toExtendedLengthPath(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(h.valid()) << wideToUtf8(p) << " error " << GetLastError();
}

OpenAtRequest request(ULONG disposition, ULONG options) {
    OpenAtRequest r;
    r.access = FILE_READ_ATTRIBUTES;
    r.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    r.disposition = disposition;
    r.options = options;
    r.attributes = FILE_ATTRIBUTE_NORMAL;
    return r;
}

class OpenAt : public ::testing::Test {
protected:
    void SetUp() override {
        uint32_t error = 0;
        ASSERT_TRUE(pinParentFolder(dir.path().wstring(), folder, error)) << error;
    }
    std::wstring at(const std::wstring& name) const { return dir.path().wstring() + L"\\" + name; }

    ScratchDir dir;
    PinnedDirectory folder;
};

struct DispositionCase {
    const char* name;
    bool existsBefore;
    ULONG disposition;
    uint32_t error;  // 0: opened
    bool created;
};

class OpenAtDisposition : public OpenAt, public ::testing::WithParamInterface<DispositionCase> {};

TEST_P(OpenAtDisposition, OpensCreatesOrRefuses) {
    const DispositionCase& c = GetParam();
    if (c.existsBefore) makeFile(at(L"entry.txt"));
    ScopedHandle handle;
    bool created = !c.created;
    const long status =
        openAt(folder.handle(), L"entry.txt", request(c.disposition, FILE_NON_DIRECTORY_FILE), handle, &created);
    if (c.error != 0) {
        EXPECT_LT(status, 0);
        EXPECT_EQ(win32ErrorOfStatus(status), c.error);
        EXPECT_FALSE(handle.valid());
        EXPECT_FALSE(created);
        EXPECT_EQ(attributesOf(at(L"entry.txt")) != INVALID_FILE_ATTRIBUTES, c.existsBefore);
        return;
    }
    ASSERT_GE(status, 0) << win32ErrorOfStatus(status);
    ASSERT_TRUE(handle.valid());
    EXPECT_EQ(created, c.created);
    const ScopedHandle byPath(CreateFileW(toExtendedLengthPath(at(L"entry.txt")).c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(byPath.valid());
    EXPECT_TRUE(sameObject(handle.get(), byPath.get()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenAtDisposition,
    ::testing::Values(DispositionCase{"OpenExisting", true, FILE_OPEN, 0, false},
                      DispositionCase{"OpenMissing", false, FILE_OPEN, ERROR_FILE_NOT_FOUND, false},
                      DispositionCase{"CreateNew", false, FILE_CREATE, 0, true},
                      DispositionCase{"CreateTaken", true, FILE_CREATE, ERROR_ALREADY_EXISTS, false},
                      DispositionCase{"OpenOrCreateMissing", false, FILE_OPEN_IF, 0, true},
                      DispositionCase{"OpenOrCreateExisting", true, FILE_OPEN_IF, 0, false}),
    [](const ::testing::TestParamInfo<DispositionCase>& info) { return std::string(info.param.name); });

TEST_F(OpenAt, MakesAFolderWithTheFolderOption) {
    ScopedHandle handle;
    bool created = false;
    ASSERT_GE(openAt(folder.handle(), L"sub", request(FILE_CREATE, FILE_DIRECTORY_FILE), handle, &created), 0);
    EXPECT_TRUE(created);
    const DWORD attributes = attributesOf(at(L"sub"));
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(OpenAt, RefusesEmptyOverlongAndNulNamesWithoutTouchingAnything) {
    // An empty name relative to a handle would be the folder itself; a name
    // cut at a NUL would be another entry.
    makeFile(at(L"abc"));
    const std::wstring overlong(0x7FF9, L'a');
    const std::wstring withNul(L"abc\0def", 7);
    for (const std::wstring& name : {std::wstring(), overlong, withNul}) {
        ScopedHandle handle;
        bool created = true;
        const long status = openAt(folder.handle(), name, request(FILE_OPEN_IF, 0), handle, &created);
        EXPECT_LT(status, 0) << name.size();
        EXPECT_FALSE(handle.valid()) << name.size();
        EXPECT_FALSE(created) << name.size();
    }
    for (const std::wstring& name : {std::wstring(), overlong}) {
        ScopedHandle handle;
        EXPECT_EQ(win32ErrorOfStatus(openAt(folder.handle(), name, request(FILE_OPEN_IF, 0), handle)),
                  static_cast<uint32_t>(ERROR_INVALID_NAME));
    }
}

TEST_F(OpenAt, WithoutAFolderTheNameIsAWholeNativePath) {
    ScopedHandle handle;
    bool created = false;
    ASSERT_GE(openAt(nullptr, L"\\??\\" + at(L"whole.txt"), request(FILE_CREATE, FILE_NON_DIRECTORY_FILE), handle,
                     &created),
              0);
    EXPECT_TRUE(created);
    EXPECT_NE(attributesOf(at(L"whole.txt")), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace korvel
