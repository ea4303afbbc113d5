// The one containment rule every "inside" question uses.
#include <gtest/gtest.h>

#include <string>

#include "common/PathCompare.h"
#include "common/TextConversion.h"

namespace korvel {
namespace {

TEST(PathCompare, ContainmentByWholeElementsIgnoringCase) {
    struct Case {
        const wchar_t* candidate;
        const wchar_t* folder;
        bool sameOrInside;
        bool strictlyInside;
        const wchar_t* relative;  // when strictly inside
    };
    const Case cases[] = {
        {L"T:\\s\\root\\a.bin", L"T:\\s\\root", true, true, L"a.bin"},
        {L"T:\\s\\root", L"T:\\s\\root", true, false, nullptr},
        {L"T:\\s\\root\\", L"T:\\s\\root", true, false, nullptr},
        {L"T:\\s\\root", L"T:\\s\\root\\", true, false, nullptr},
        {L"t:\\S\\ROOT\\Sub\\a.bin", L"T:\\s\\root", true, true, L"Sub\\a.bin"},
        {L"T:/s/root/sub/a.bin", L"T:\\s\\root", true, true, L"sub\\a.bin"},
        {L"T:\\s\\\\root\\\\a.bin", L"T:\\s\\root", true, true, L"a.bin"},
        {L"T:\\s\\root2\\a.bin", L"T:\\s\\root", false, false, nullptr},
        {L"T:\\s\\roo", L"T:\\s\\root", false, false, nullptr},
        {L"T:\\s", L"T:\\s\\root", false, false, nullptr},
        {L"U:\\s\\root\\a.bin", L"T:\\s\\root", false, false, nullptr},
        {L"T:\\a.bin", L"T:", true, true, L"a.bin"},
        {L"T:\\a.bin", L"T:\\", true, true, L"a.bin"},
        {L"\\\\?\\T:\\s\\root\\a.bin", L"T:\\s\\root", true, true, L"a.bin"},
        {L"T:\\s\\root\\a.bin", L"\\\\?\\t:\\s\\root", true, true, L"a.bin"},
        {L"\\\\srv\\share\\root\\a", L"\\\\srv\\share\\root", true, true, L"a"},
        {L"\\\\?\\UNC\\srv\\share\\x", L"\\\\srv\\share", true, true, L"x"},
        {L"\\\\srv\\other\\root\\a", L"\\\\srv\\share\\root", false, false, nullptr},
        {L"srv\\share\\a", L"\\\\srv\\share", false, false, nullptr},
        {L"\\\\srv\\share\\a", L"srv\\share", false, false, nullptr},
        {L"T:\\s\\root\\a.bin", L"", false, false, nullptr},
        {L"", L"T:\\s", false, false, nullptr},
    };
    for (const Case& c : cases) {
        const std::string label = wideToUtf8(c.candidate) + " in " + wideToUtf8(c.folder);
        EXPECT_EQ(isSameOrInside(c.candidate, c.folder), c.sameOrInside) << label;
        EXPECT_EQ(isStrictlyInside(c.candidate, c.folder), c.strictlyInside) << label;
        std::wstring relative = L"unchanged";
        EXPECT_EQ(relativeInside(c.candidate, c.folder, relative), c.strictlyInside) << label;
        if (c.relative != nullptr) {
            EXPECT_EQ(relative, c.relative) << label;
        }
    }
}

}  // namespace
}  // namespace korvel
