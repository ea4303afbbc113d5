#include "common/CallerText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvel {
namespace {

TEST(CallerText, PathsMustBeFullyQualifiedAndWellFormed) {
    struct Case {
        const char* name;
        std::wstring path;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"drive path", L"C:\\Program Files\\Korvel", true},
        {"forward slashes", L"C:/Program Files/Korvel", true},
        {"one trailing separator", L"C:\\Korvel\\", true},
        {"drive root", L"C:\\", true},
        {"share", L"\\\\server\\share\\Korvel", true},
        {"extended form", L"\\\\?\\C:\\Korvel", true},
        {"extended share", L"\\\\?\\UNC\\server\\share\\Korvel", true},
        {"dot inside a name", L"C:\\Korvel\\v1.2\\app.exe", true},
        {"non-ASCII name", L"C:\\K\u00f6rvel\\\u65e5\u672c", true},
        {"relative", L"Korvel", false},
        {"dot relative", L".\\Korvel", false},
        {"drive relative", L"C:Korvel", false},
        {"rooted without drive", L"\\Korvel", false},
        {"device namespace", L"\\\\.\\C:\\Korvel", false},
        {"empty", L"", false},
        {"quote", L"C:\\x\" C:\\evil.exe \"", false},
        {"less-than", L"C:\\a<b", false},
        {"greater-than", L"C:\\a>b", false},
        {"pipe", L"C:\\a|b", false},
        {"question mark", L"C:\\a?b", false},
        {"star", L"C:\\a*b", false},
        {"tab", L"C:\\a\tb", false},
        {"line feed", L"C:\\a\nb", false},
        {"U+001F", L"C:\\a\x1f" L"b", false},
        {"NUL", std::wstring(L"C:\\a\0b", 6), false},
        {"colon in a name", L"C:\\a:stream", false},
        {"colon in the extended form", L"\\\\?\\C:\\a:b", false},
        {"trailing dot", L"C:\\Korvel.", false},
        {"trailing blank", L"C:\\Korvel ", false},
        {"dot component", L"C:\\Korvel\\.\\x", false},
        {"dot-dot component", L"C:\\Korvel\\..\\x", false},
        {"trailing dot in the middle", L"C:\\Korvel.\\x", false},
        {"doubled separator", L"C:\\Korvel\\\\x", false},
        {"bad server name", L"\\\\ser|ver\\share\\x", false},
        {"extended with a quote", L"\\\\?\\C:\\a\"b", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(callerPathProblem(c.path).empty(), c.accepted) << c.name;
    }
}

TEST(CallerText, ProgramsAndFoldersMustLieInsideTheTarget) {
    struct Case {
        const char* name;
        std::wstring path;
        bool allowSame;
        bool accepted;
    };
    const std::wstring target = L"C:\\Games\\Korvel";
    const std::vector<Case> cases = {
        {"program inside", L"C:\\Games\\Korvel\\Launcher\\KorvelLauncher.exe", false, true},
        {"other letter case", L"c:\\games\\KORVEL\\KorvelLauncher.exe", false, true},
        {"forward slashes", L"C:/Games/Korvel/KorvelLauncher.exe", false, true},
        {"folder itself as a program", L"C:\\Games\\Korvel", false, false},
        {"folder itself as a folder", L"C:\\Games\\Korvel\\", true, true},
        {"sibling with the same prefix", L"C:\\Games\\KorvelEvil\\evil.exe", false, false},
        {"elsewhere", L"C:\\users\\Public\\evil.exe", false, false},
        {"elsewhere as a folder", L"C:\\users\\Public", true, false},
        {"climbing out", L"C:\\Games\\Korvel\\..\\evil.exe", false, false},
        {"relative", L"KorvelLauncher.exe", false, false},
        {"parent of the target", L"C:\\Games", true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(callerPathInsideProblem(c.path, target, c.allowSame).empty(), c.accepted) << c.name;
    }
}

TEST(CallerText, RelativeFoldersFollowTheSafePathRule) {
    EXPECT_TRUE(callerRelativePathProblem(L"Launcher").empty());
    EXPECT_TRUE(callerRelativePathProblem(L"bin\\Launcher").empty());
    for (const wchar_t* bad : {L"C:\\users\\Public", L"\\Launcher", L"..\\elsewhere", L"Launcher\\..\\..", L"C:x"}) {
        EXPECT_FALSE(callerRelativePathProblem(bad).empty()) << std::wstring(bad).c_str();
    }
}

TEST(CallerText, VersionsArePlainTextOfAtMost256Characters) {
    struct Case {
        const char* name;
        std::wstring version;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"plain", L"1.2.3", true},
        {"not a number", L"not-a-version", true},
        {"quotes", L"1.0 \"beta\"", true},
        {"256 characters", std::wstring(256, L'1'), true},
        {"256 characters as surrogate pairs", [] {
             std::wstring text;
             for (int i = 0; i < 256; ++i) text += L"\U0001F600";
             return text;
         }(), true},
        {"257 characters", std::wstring(257, L'1'), false},
        {"CR LF", L"1.0\r\nSuccess: true", false},
        {"escape", L"1.0\x1b[2J", false},
        {"tab", L"1.0\t", false},
        {"DEL", L"1.0\x7f", false},
        {"C1 next line", L"1.0\x85", false},
        {"line separator", L"1.0\u2028x", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(callerVersionProblem(c.version).empty(), c.accepted) << c.name;
    }
}

TEST(CallerText, ControlCharactersAreWrittenOut) {
    EXPECT_EQ(escapeControlCharacters(L"2.4.0\r\nInstall Path: C:\\Windows\x1b"),
              L"2.4.0\\x0D\\x0AInstall Path: C:\\Windows\\x1B");
    EXPECT_EQ(escapeControlCharacters(L"a\u2028b\x85"), L"a\\u2028b\\x85");
    EXPECT_EQ(escapeControlCharacters(L"C:\\K\u00f6rvel"), L"C:\\K\u00f6rvel");
}

}  // namespace
}  // namespace korvel
