#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/ProductFolders.h"

namespace korvel {
namespace {

// Both folders lie directly in the temporary folder Windows names for this
// process, under the product's names for them.
TEST(ProductFolders, NamedBelowTheTemporaryFolder) {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    ASSERT_GT(length, 0u);
    const std::filesystem::path temp(std::wstring(buffer, length));
    EXPECT_EQ(prereqDownloadFolder(), temp / L"KorvelPrereqs");
    EXPECT_EQ(downloadCacheFolder(), temp / L"KorvelCache");
    EXPECT_EQ(std::wstring(kPrereqFolderName), L"KorvelPrereqs");
    EXPECT_EQ(std::wstring(kCacheFolderName), L"KorvelCache");
}

}  // namespace
}  // namespace korvel
