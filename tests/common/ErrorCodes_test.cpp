#include <windows.h>

#include <gtest/gtest.h>

#include "common/ErrorCodes.h"

namespace korvel {
namespace {

struct MessageCase {
    int code;
    const char* message;
};

TEST(ErrorMessage, TableValuesAndGaps) {
    const MessageCase cases[] = {
        {0, "Operation completed successfully"},
        {1, "Invalid command line arguments"},
        {7, "Failed to connect to logging pipe"},
        {104, "Prerequisites already installed"},
        {125, "Failed to apply manifest"},
        {141, "File not found"},
        {148, "Insufficient disk space"},
        {149, "Unknown error"},
        {150, "Unknown error"},
        {8, "Unknown error"},
        {99, "Unknown error"},
        {167, "Download was interrupted"},
        {205, "Cryptographic provider error"},
        {245, "Process termination failed"},
        {246, "Unknown error"},
        {-1, "Unknown error"},
        {INT32_MIN, "Unknown error"},
    };
    for (const MessageCase& c : cases) {
        EXPECT_STREQ(errorMessage(c.code), c.message) << c.code;
    }
    EXPECT_STREQ(errorMessage(ErrorCode::FileNotFound), "File not found");
}

TEST(ErrorMessage, FiftySevenValuesHaveMessages) {
    int withMessage = 0;
    for (int code = 0; code <= 245; ++code) {
        if (std::string(errorMessage(code)) != "Unknown error") ++withMessage;
    }
    EXPECT_EQ(withMessage, 57);
}

TEST(FormatWin32Error, SystemTextWithoutTrailingBreaks) {
    const std::wstring text = formatWin32Error(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), L'\n');
    EXPECT_NE(text.back(), L'\r');
    EXPECT_EQ(text.find(L"Win32 error"), std::wstring::npos);
}

TEST(FormatWin32Error, UnknownCodeIsUnsignedDecimal) {
    EXPECT_EQ(formatWin32Error(0x2FFFFFFFu), L"Win32 error 805306367");
    EXPECT_EQ(formatWin32Error(0xE0001234u), L"Win32 error 3758101044");
}

}  // namespace
}  // namespace korvel
