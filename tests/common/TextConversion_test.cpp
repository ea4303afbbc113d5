#include "common/TextConversion.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

namespace korvel {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

template <typename F>
std::string messageOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no exception>";
}

// ---- strict UTF-8 -> UTF-16 ---------------------------------------------------

struct Utf8Case {
    const char* name;
    std::string bytes;
    std::wstring expected;
};

class Utf8ValidTest : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ValidTest, ConvertsExactly) {
    const Utf8Case& c = GetParam();
    EXPECT_EQ(utf8ToUtf16(c.bytes), c.expected);
    // The lenient direction gives the bytes back.
    EXPECT_EQ(wideToUtf8(c.expected), c.bytes);
    EXPECT_EQ(utf16ToUtf8Strict(c.expected), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8ValidTest,
    ::testing::Values(Utf8Case{"ascii", "hello/world.txt", L"hello/world.txt"},
                      Utf8Case{"two_byte", "caf\xC3\xA9", L"caf\u00E9"},
                      Utf8Case{"three_byte", "\xE2\x82\xAC", L"\u20AC"},
                      Utf8Case{"four_byte_pair", "\xF0\x9F\x98\x80", std::wstring(L"\xD83D\xDE00")},
                      Utf8Case{"largest_code_point", "\xF4\x8F\xBF\xBF", std::wstring(L"\xDBFF\xDFFF")},
                      Utf8Case{"embedded_nul", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
                      Utf8Case{"superscripts", "COM\xC2\xB9", L"COM\u00B9"},
                      Utf8Case{"bom_kept", "\xEF\xBB\xBFx", L"\uFEFFx"}),
    [](const ::testing::TestParamInfo<Utf8Case>& info) { return std::string(info.param.name); });

struct BadUtf8Case {
    const char* name;
    std::string bytes;
};

class Utf8InvalidTest : public ::testing::TestWithParam<BadUtf8Case> {};

TEST_P(Utf8InvalidTest, StrictThrowsAndPathThrows) {
    const BadUtf8Case& c = GetParam();
    EXPECT_EQ(messageOf([&] { utf8ToUtf16(c.bytes); }), "Invalid UTF-8 input");
    EXPECT_THROW(utf8ToUtf16(c.bytes), std::runtime_error);
    EXPECT_EQ(messageOf([&] { utf8ToPath(c.bytes); }), "Invalid UTF-8 input");
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8InvalidTest,
    ::testing::Values(BadUtf8Case{"truncated_two_byte", "\xC3"},
                      BadUtf8Case{"truncated_in_text", "ab\xC3"},
                      BadUtf8Case{"truncated_three_byte", "\xE2\x82"},
                      BadUtf8Case{"lone_continuation", "a\x80z"},
                      BadUtf8Case{"byte_ff", "\xFF"},
                      BadUtf8Case{"byte_fe", "x\xFE"},
                      BadUtf8Case{"overlong_slash", "\xC0\xAF"},
                      BadUtf8Case{"overlong_nul", "\xC0\x80"},
                      BadUtf8Case{"overlong_three_byte", "\xE0\x80\xAF"},
                      BadUtf8Case{"encoded_high_surrogate", "\xED\xA0\x80"},
                      BadUtf8Case{"encoded_low_surrogate", "\xED\xBF\xBF"},
                      BadUtf8Case{"beyond_10ffff", "\xF4\x90\x80\x80"},
                      BadUtf8Case{"five_byte_form", "\xF8\x88\x80\x80\x80"}),
    [](const ::testing::TestParamInfo<BadUtf8Case>& info) { return std::string(info.param.name); });

// ---- strict and lenient UTF-16 -> UTF-8 ---------------------------------------

struct BadUtf16Case {
    const char* name;
    std::wstring text;
    std::string lenient;  // what wideToUtf8 makes of it
};

class Utf16InvalidTest : public ::testing::TestWithParam<BadUtf16Case> {};

TEST_P(Utf16InvalidTest, StrictThrowsLenientReplacesInPlace) {
    const BadUtf16Case& c = GetParam();
    EXPECT_EQ(messageOf([&] { utf16ToUtf8Strict(c.text); }), "Invalid UTF-16 input");
    EXPECT_THROW(utf16ToUtf8Strict(c.text), std::runtime_error);
    EXPECT_EQ(wideToUtf8(c.text), c.lenient);
    EXPECT_EQ(pathToUtf8(std::filesystem::path(c.text)), c.lenient);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf16InvalidTest,
    ::testing::Values(BadUtf16Case{"lone_high_middle", std::wstring(L"ab\xD800" L"cd"), "ab" + kReplacement + "cd"},
                      BadUtf16Case{"lone_high_end", std::wstring(L"x\xDBFF"), "x" + kReplacement},
                      BadUtf16Case{"lone_low", std::wstring(L"\xDC00y"), kReplacement + "y"},
                      BadUtf16Case{"reversed_pair", std::wstring(L"\xDE00\xD83D"), kReplacement + kReplacement},
                      BadUtf16Case{"alone", std::wstring(L"\xD800"), kReplacement}),
    [](const ::testing::TestParamInfo<BadUtf16Case>& info) { return std::string(info.param.name); });

TEST(TextConversion, EmptyInputsGiveEmptyResults) {
    EXPECT_EQ(utf8ToUtf16(""), L"");
    EXPECT_EQ(utf16ToUtf8Strict(L""), "");
    EXPECT_TRUE(utf8ToPath("").empty());
    EXPECT_EQ(wideToUtf8(L""), "");
    EXPECT_EQ(pathToUtf8(std::filesystem::path()), "");
    EXPECT_EQ(narrowToWide(""), L"");
}

TEST(TextConversion, Utf8ToPathRefusesEmbeddedNulAnywhere) {
    const std::string cases[] = {std::string("a\0b", 3), std::string("\0", 1), std::string("abc\0", 4),
                                 std::string("\0abc", 4)};
    for (const std::string& bytes : cases) {
        EXPECT_EQ(messageOf([&] { utf8ToPath(bytes); }), "Path contains an embedded NUL");
        EXPECT_THROW(utf8ToPath(bytes), std::invalid_argument);
    }
    // The NUL test comes first: invalid UTF-8 after a NUL still reports the NUL.
    EXPECT_EQ(messageOf([] { utf8ToPath(std::string("a\0\xFF", 3)); }), "Path contains an embedded NUL");
    // The same bytes convert as text, NUL and all.
    EXPECT_EQ(utf8ToUtf16(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(TextConversion, Utf8ToPathKeepsTheText) {
    const std::filesystem::path p = utf8ToPath("dir/sub\\caf\xC3\xA9.txt");
    EXPECT_EQ(p.wstring(), L"dir/sub\\caf\u00E9.txt");
    EXPECT_EQ(pathToUtf8(p), "dir/sub\\caf\xC3\xA9.txt");
}

TEST(TextConversion, StrictRoundTripOfEveryPlane) {
    std::wstring all;
    for (wchar_t c = 1; c < 0xD800; c += 7) all.push_back(c);
    for (unsigned c = 0xE000; c <= 0xFFFF; c += 5) all.push_back(static_cast<wchar_t>(c));
    all += L"\xD800\xDC00\xDBFF\xDFFF";
    const std::string utf8 = utf16ToUtf8Strict(all);
    EXPECT_EQ(utf8ToUtf16(utf8), all);
    EXPECT_EQ(wideToUtf8(all), utf8);
}

TEST(TextConversion, NarrowToWideUsesTheOemCodePage) {
    // 0x82 and 0xC3 0xA9 read by the OEM code page, never as UTF-8.
    const std::string oem = "\x82\xC3\xA9";
    const std::wstring converted = narrowToWide(oem);
    wchar_t expected[8] = {};
    const int n = MultiByteToWideChar(GetOEMCP(), 0, oem.data(), 3, expected, 8);
    ASSERT_GT(n, 0);
    EXPECT_EQ(converted, std::wstring(expected, static_cast<size_t>(n)));
    EXPECT_NE(converted, L"\u00E9");
    if (GetOEMCP() == 437) {
        EXPECT_EQ(converted, L"\u00E9\u251C\u2310");
    }
    EXPECT_EQ(narrowToWide("plain text\r\n"), L"plain text\r\n");
}

// ---- JSON guard -----------------------------------------------------------------

Json::Value parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors;
    return value;
}

struct JsonCase {
    const char* name;
    const char* json;
    bool hasNul;
};

class JsonNulTest : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonNulTest, Detects) {
    const JsonCase& c = GetParam();
    EXPECT_EQ(jsonHasEmbeddedNul(parse(c.json)), c.hasNul);
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonNulTest,
    ::testing::Values(JsonCase{"member_name", R"({"a\u0000b": 1})", true},
                      JsonCase{"member_name_leading", R"({"\u0000": 1})", true},
                      JsonCase{"second_string_in_array_member", R"({"list": ["ok", "x\u0000y"]})", true},
                      JsonCase{"lone_nul_string", R"("\u0000")", true},
                      JsonCase{"nul_at_end", R"(["abc\u0000"])", true},
                      JsonCase{"deep", R"({"a": {"b": [[{"c": [1, "\u0000"]}]]}})", true},
                      JsonCase{"late_member", R"({"a": "fine", "z": {"q\u0000": null}})", true},
                      JsonCase{"number_member", R"({"a": 5})", false},
                      JsonCase{"empty_array", R"([])", false},
                      JsonCase{"null", R"(null)", false},
                      JsonCase{"escaped_backslash_zero", R"({"a": "\\u0000", "b": "0"})", false},
                      JsonCase{"mixed_scalars", R"([true, false, 1.5, -3, 18446744073709551615, {}, ""])", false},
                      JsonCase{"non_ascii", R"({"caf\u00e9": "\ud83d\ude00"})", false}),
    [](const ::testing::TestParamInfo<JsonCase>& info) { return std::string(info.param.name); });

TEST(TextConversion, JsonGuardOnBuiltValues) {
    Json::Value v(Json::objectValue);
    v["plain"] = "text";
    EXPECT_FALSE(jsonHasEmbeddedNul(v));
    v["nested"] = Json::Value(Json::arrayValue);
    v["nested"].append(Json::Value(std::string("p\0q", 3)));
    EXPECT_TRUE(jsonHasEmbeddedNul(v));
    Json::Value key(Json::objectValue);
    key[std::string("k\0", 2)] = 1;
    EXPECT_TRUE(jsonHasEmbeddedNul(key));
}

}  // namespace
}  // namespace korvel
