// Writing a whole text to a handle: every byte in order (beyond one
// piece, too), nothing for nothing, and false when the handle takes none.
#include "common/WriteAllBytes.h"

#include "common/UniqueResource.h"
#include "tests/support/TestSupport.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace korvel {
namespace {

using test::ScratchDir;

std::string readAll(const std::wstring& path) {
    const ScopedHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    if (!h.valid()) return "<missing>";
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h.get(), buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    return out;
}

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

TEST(WriteAllBytes, WritesEveryByteInOrder) {
    ScratchDir dir;
    // Empty, small, exactly one piece, and beyond one piece.
    for (const size_t size : {size_t{0}, size_t{5}, size_t{1} << 20, (size_t{1} << 20) * 2 + 123}) {
        for (const bool flush : {false, true}) {
            const std::wstring path = (dir / (L"out-" + std::to_wstring(size) + (flush ? L"-f" : L""))).wstring();
            const std::string bytes = pattern(size);
            {
                const ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                                    FILE_ATTRIBUTE_NORMAL, nullptr));
                ASSERT_TRUE(file.valid());
                EXPECT_TRUE(writeAllBytes(file.get(), bytes, flush)) << size;
            }
            EXPECT_EQ(readAll(path), bytes) << size << " flush " << flush;
        }
    }
}

TEST(WriteAllBytes, FalseWhenTheHandleTakesNothing) {
    ScratchDir dir;
    const std::wstring path = (dir / L"readonly-handle").wstring();
    {
        const ScopedHandle make(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(make.valid());
    }
    const ScopedHandle reading(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                           nullptr));
    ASSERT_TRUE(reading.valid());
    EXPECT_FALSE(writeAllBytes(reading.get(), "text", false));
    EXPECT_EQ(readAll(path), "");
}

}  // namespace
}  // namespace korvel
