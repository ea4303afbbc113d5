#include "common/PathSafety.h"

#include "common/TextConversion.h"

#include <gtest/gtest.h>

#include <string>

namespace korvel {
namespace {

struct PathCase {
    const char* name;
    std::wstring path;
    bool safe;
};

class SafeRelativePathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(SafeRelativePathTest, Wide) {
    const PathCase& c = GetParam();
    EXPECT_EQ(isSafeRelativePath(c.path), c.safe);
}

TEST_P(SafeRelativePathTest, Utf8AgreesWithWide) {
    const PathCase& c = GetParam();
    std::string utf8;
    try {
        utf8 = utf16ToUtf8Strict(c.path);
    } catch (const std::exception&) {
        GTEST_SKIP() << "not representable in UTF-8";
    }
    EXPECT_EQ(isSafeRelativePathUtf8(utf8), c.safe);
}

std::wstring withChar(const wchar_t* before, wchar_t c, const wchar_t* after) {
    return std::wstring(before) + c + after;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SafeRelativePathTest,
    ::testing::Values(
        // plain names and mixed separators
        PathCase{"single_name", L"file.txt", true}, PathCase{"nested", L"a/b/c/d.bin", true},
        PathCase{"mixed_separators", L"a/b\\c.txt", true}, PathCase{"backslashes", L"bin\\x64\\app.dll", true},
        PathCase{"leading_dot_name", L"a/.b", true}, PathCase{"inner_dot", L"a/b.c", true},
        PathCase{"dots_inside", L"a..b/c", true}, PathCase{"three_dots_prefix", L"...x", true},
        PathCase{"space_inside", L"Program Data/x y.txt", true}, PathCase{"leading_space", L" a", true},
        PathCase{"non_ascii", L"caf\u00E9/\u4E2D\u6587.txt", true},
        PathCase{"surrogate_pair", std::wstring(L"emoji\xD83D\xDE00.png"), true},
        PathCase{"del_char_allowed", L"a\x7F" L"b", true},
        // empty, NUL and invalid UTF-16
        PathCase{"empty", L"", false}, PathCase{"nul_middle", std::wstring(L"a\0b", 3), false},
        PathCase{"nul_end", std::wstring(L"ab\0", 3), false},
        PathCase{"lone_high_surrogate", std::wstring(L"a\xD800" L"b"), false},
        PathCase{"lone_low_surrogate", std::wstring(L"\xDC00"), false},
        // roots of every kind
        PathCase{"root_slash", L"/a", false}, PathCase{"root_backslash", L"\\a", false},
        PathCase{"drive_absolute", L"C:\\a", false}, PathCase{"drive_absolute_slash", L"c:/a", false},
        PathCase{"drive_relative", L"C:a", false}, PathCase{"drive_only", L"Z:", false},
        PathCase{"unc", L"\\\\server\\share\\a", false}, PathCase{"unc_slashes", L"//server/share/a", false},
        PathCase{"extended", L"\\\\?\\C:\\a", false}, PathCase{"device", L"\\\\.\\pipe\\x", false},
        PathCase{"nt_prefix", L"\\??\\C:\\a", false}, PathCase{"extended_slash", L"/?/C:/a", false},
        // empty, dot and dot-dot components
        PathCase{"double_separator", L"a//b", false}, PathCase{"double_backslash", L"a\\\\b", false},
        PathCase{"trailing_separator", L"a/", false}, PathCase{"trailing_backslash", L"a\\b\\", false},
        PathCase{"dot_first", L"./a", false}, PathCase{"dot_middle", L"a/./b", false},
        PathCase{"dotdot_middle", L"a/../b", false}, PathCase{"dotdot_first", L"../a", false},
        PathCase{"dotdot_only", L"..", false}, PathCase{"dot_only", L".", false},
        PathCase{"dotdot_last", L"a\\..", false},
        // trailing dot or space
        PathCase{"trailing_dot", L"a/b.", false}, PathCase{"trailing_space", L"a/b ", false},
        PathCase{"trailing_dot_dir", L"dir./x", false}, PathCase{"trailing_space_dir", L"dir /x", false},
        PathCase{"three_dots", L"...", false},
        // reserved characters
        PathCase{"stream", L"a/b:c", false}, PathCase{"stream_type", L"f.txt::$DATA", false},
        PathCase{"less", L"a<b", false}, PathCase{"greater", L"a>b", false}, PathCase{"quote", L"a\"b", false},
        PathCase{"pipe", L"a|b", false}, PathCase{"question", L"a?b", false}, PathCase{"star", L"*.txt", false},
        PathCase{"star_dir", L"dir*/x", false},
        // control characters
        PathCase{"tab", L"a\tb", false}, PathCase{"ctrl_01", withChar(L"a", L'\x01', L""), false},
        PathCase{"ctrl_1f", withChar(L"x/", L'\x1F', L"y"), false}, PathCase{"newline", L"a\nb", false},
        PathCase{"ctrl_in_dir", withChar(L"d", L'\x0D', L"/f"), false},
        // reserved device names
        PathCase{"con", L"CON", false}, PathCase{"con_lower", L"con", false}, PathCase{"con_mixed", L"cOn", false},
        PathCase{"prn", L"prn", false}, PathCase{"aux_json", L"aux.json", false}, PathCase{"nul_txt", L"nul.txt", false},
        PathCase{"lpt1", L"lpt1", false}, PathCase{"com9_txt", L"COM9.txt", false},
        PathCase{"com1_log", L"Com1.log", false}, PathCase{"con_tar_gz", L"con.tar.gz", false},
        PathCase{"device_in_dir", L"dir/NUL", false}, PathCase{"device_as_dir", L"aux/file.txt", false},
        PathCase{"com_sup1", L"com\u00B9", false}, PathCase{"lpt_sup2", L"LPT\u00B2.txt", false},
        PathCase{"com_sup3", L"COM\u00B3", false}, PathCase{"lpt9", L"LPT9", false},
        PathCase{"con_space_ext", L"CON .txt", false}, PathCase{"nul_dot_only_ext", L"NUL.", false},
        PathCase{"con_dot_ext", L"con.", false},
        // near-copies of device names that are ordinary
        PathCase{"com0", L"COM0", true}, PathCase{"lpt0", L"lpt0.txt", true}, PathCase{"lpt10", L"LPT10", true},
        PathCase{"console", L"CONSOLE", true}, PathCase{"config", L"CONFIG", true}, PathCase{"con1", L"CON1", true},
        PathCase{"aux1", L"AUX1", true}, PathCase{"conx_in_dir", L"x/conx", true}, PathCase{"xcon", L"xcon.txt", true},
        PathCase{"com_sup4_not_reserved", L"COM\u2074", true}, PathCase{"com_sup0_not_reserved", L"COM\u2070", true},
        PathCase{"com_fullwidth_digit", L"COM\uFF11", true}, PathCase{"nul_suffix", L"nulx.txt", true},
        PathCase{"device_after_dot", L"file.con", true}, PathCase{"device_nonascii_case", L"\u0441on", true},
        PathCase{"com", L"COM", true}, PathCase{"lp", L"LPT", true}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

TEST(SafeRelativePathUtf8, RefusesBytesThatAreNotText) {
    EXPECT_FALSE(isSafeRelativePathUtf8("\xFF"));
    EXPECT_FALSE(isSafeRelativePathUtf8("dir/\xC3"));
    EXPECT_FALSE(isSafeRelativePathUtf8("\xED\xA0\x80"));  // an encoded surrogate
    EXPECT_FALSE(isSafeRelativePathUtf8(std::string("a\0b", 3)));
    EXPECT_FALSE(isSafeRelativePathUtf8(std::string("ok.txt\0", 7)));
    EXPECT_FALSE(isSafeRelativePathUtf8(""));
    EXPECT_TRUE(isSafeRelativePathUtf8("dir/caf\xC3\xA9.txt"));
    EXPECT_FALSE(isSafeRelativePathUtf8("COM\xC2\xB9"));
    EXPECT_TRUE(isSafeRelativePathUtf8("COM\xC2\xB9x"));
}

TEST(SafeRelativePath, LongPathsAreJudgedByTheirComponents) {
    std::wstring path;
    for (int i = 0; i < 200; ++i) path += L"segment" + std::to_wstring(i) + L"/";
    path += L"leaf.txt";
    EXPECT_TRUE(isSafeRelativePath(path));
    EXPECT_FALSE(isSafeRelativePath(path + L"/.."));
    EXPECT_FALSE(isSafeRelativePath(path + L"/aux"));
}

}  // namespace
}  // namespace korvel
