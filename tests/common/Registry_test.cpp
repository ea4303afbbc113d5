#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/Registry.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"

namespace korvel {
namespace {

// A key of the current user of its own, so that nothing is shared with
// other tests; removed at the end.
class RegistryRead : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = L"Software\\KorvelTest\\Registry-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, root_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  key_.put(), nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        key_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
    }
    void set(const wchar_t* name, DWORD type, const std::string& bytes) {
        ASSERT_EQ(RegSetValueExW(key_.get(), name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
    }
    static std::string utf16(const std::wstring& text) {
        return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    }
    std::wstring root_;
    RegistryKeyHandle key_;
};

TEST_F(RegistryRead, TextValuesInBothOddByteRules) {
    const std::wstring longText(70000, L'v');
    const struct {
        const wchar_t* name;
        DWORD type;
        std::string bytes;  // raw data, UTF-16LE for text
        RegistryTextRead dropped;
        RegistryTextRead fails;
        std::wstring text;  // the text when read, else the text left as it was
    } cases[] = {
        {L"Plain", REG_SZ, utf16(std::wstring(L"14.40.33810") + L'\0'), RegistryTextRead::Read,
         RegistryTextRead::Read, L"14.40.33810"},
        {L"", REG_SZ, utf16(std::wstring(L"8.0.11") + L'\0'), RegistryTextRead::Read, RegistryTextRead::Read,
         L"8.0.11"},
        {L"Unterminated", REG_SZ, utf16(L"4.09"), RegistryTextRead::Read, RegistryTextRead::Read, L"4.09"},
        {L"Expand", REG_EXPAND_SZ, utf16(std::wstring(L"%ProgramFiles%\\Korvel") + L'\0'), RegistryTextRead::Read,
         RegistryTextRead::Read, L"%ProgramFiles%\\Korvel"},
        {L"InnerNul", REG_SZ, utf16(std::wstring(L"C:\\A") + L'\0' + L"B" + L'\0'), RegistryTextRead::Read,
         RegistryTextRead::Read, L"C:\\A"},
        // Longer than any fixed buffer: read whole.
        {L"Long", REG_SZ, utf16(longText + L'\0'), RegistryTextRead::Read, RegistryTextRead::Read, longText},
        {L"Empty", REG_SZ, "", RegistryTextRead::Read, RegistryTextRead::Read, L""},
        // One byte is less than a character in either rule.
        {L"OneByte", REG_SZ, "x", RegistryTextRead::Read, RegistryTextRead::Read, L""},
        {L"OddSize", REG_SZ, utf16(L"C:\\K") + "x", RegistryTextRead::Read, RegistryTextRead::ReadFailed, L"C:\\K"},
        {L"Number", REG_DWORD, std::string("\x01\x00\x00\x00", 4), RegistryTextRead::NotText,
         RegistryTextRead::NotText, L"kept"},
        {L"Binary", REG_BINARY, utf16(L"C:\\Korvel"), RegistryTextRead::NotText, RegistryTextRead::NotText,
         L"kept"},
        {L"Multi", REG_MULTI_SZ, utf16(std::wstring(L"a") + L'\0' + L'\0'), RegistryTextRead::NotText,
         RegistryTextRead::NotText, L"kept"},
    };
    for (const auto& c : cases) set(c.name, c.type, c.bytes);
    for (const auto& c : cases) {
        SCOPED_TRACE(wideToUtf8(c.name));
        for (const RegistryOddByte rule : {RegistryOddByte::Dropped, RegistryOddByte::FailsTheRead}) {
            const RegistryTextRead expected = rule == RegistryOddByte::Dropped ? c.dropped : c.fails;
            std::wstring text = L"kept";
            EXPECT_EQ(readRegistryText(key_.get(), c.name, rule, text), expected);
            EXPECT_EQ(text, expected == RegistryTextRead::Read ? c.text : L"kept");
        }
    }
    std::wstring text = L"kept";
    EXPECT_EQ(readRegistryText(key_.get(), L"Missing", RegistryOddByte::Dropped, text), RegistryTextRead::NoValue);
    EXPECT_EQ(text, L"kept");
}

// A key opened without the right to query values: the first query fails.
TEST_F(RegistryRead, AQueryRefusedIsAFailedQuery) {
    set(L"Plain", REG_SZ, utf16(std::wstring(L"x") + L'\0'));
    RegistryKeyHandle writeOnly;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, root_.c_str(), 0, KEY_SET_VALUE, writeOnly.put()), ERROR_SUCCESS);
    std::wstring text = L"kept";
    EXPECT_EQ(readRegistryText(writeOnly.get(), L"Plain", RegistryOddByte::Dropped, text),
              RegistryTextRead::QueryFailed);
    EXPECT_EQ(text, L"kept");
}

TEST(RegistryTextResult, CodesOfEachEnd) {
    EXPECT_EQ(registryTextResult(RegistryTextRead::Read), ErrorCode::Success);
    EXPECT_EQ(registryTextResult(RegistryTextRead::NoValue), ErrorCode::RegistryValueNotFound);
    EXPECT_EQ(registryTextResult(RegistryTextRead::NotText), ErrorCode::RegistryValueNotFound);
    EXPECT_EQ(registryTextResult(RegistryTextRead::QueryFailed), ErrorCode::RegistryAccessDenied);
    EXPECT_EQ(registryTextResult(RegistryTextRead::ReadFailed), ErrorCode::RegistryAccessDenied);
}

TEST_F(RegistryRead, NumbersOfTypeDwordOnly) {
    set(L"Installed", REG_DWORD, std::string("\x07\x00\x00\x00", 4));
    set(L"Zero", REG_DWORD, std::string(4, '\0'));
    set(L"Text", REG_SZ, utf16(std::wstring(L"1") + L'\0'));
    set(L"Binary", REG_BINARY, std::string("\x01\x00\x00\x00", 4));
    set(L"Wide", REG_QWORD, std::string("\x01\x00\x00\x00\x00\x00\x00\x00", 8));
    const struct {
        const wchar_t* name;
        bool read;
        uint32_t value;
    } cases[] = {
        {L"Installed", true, 7}, {L"Zero", true, 0},     {L"Text", false, 99},
        {L"Binary", false, 99},  {L"Wide", false, 99},   {L"Missing", false, 99},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(wideToUtf8(c.name));
        uint32_t value = 99;
        EXPECT_EQ(readRegistryNumber(key_.get(), c.name, value), c.read);
        EXPECT_EQ(value, c.value);
    }
}

}  // namespace
}  // namespace korvel
