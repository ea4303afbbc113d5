#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/DangerousRoot.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

std::wstring env(const wchar_t* name) {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = GetEnvironmentVariableW(name, buffer, MAX_PATH + 1);
    return (n > 0 && n <= MAX_PATH) ? std::wstring(buffer, n) : std::wstring();
}

std::wstring upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(towupper(c));
    return text;
}

TEST(FullyQualifiedPath, DriveRootsAndSharesOnly) {
    const struct {
        const wchar_t* path;
        bool qualified;
    } cases[] = {
        {L"C:\\", true},
        {L"C:\\Program Files\\Korvel", true},
        {L"c:/games/korvel", true},
        {L"\\\\server\\share", true},
        {L"\\\\server\\share\\korvel", true},
        {L"//server/share/korvel", true},
        {L"\\\\?\\C:\\Korvel", true},
        {L"\\\\?\\UNC\\server\\share\\korvel", true},
        {L"", false},
        {L"Korvel", false},
        {L"..\\Korvel", false},
        {L"C:", false},
        {L"C:Korvel", false},
        {L"\\Korvel", false},
        {L"/Korvel", false},
        {L"\\\\server", false},
        {L"\\\\server\\", false},
        {L"\\\\.\\C:\\Korvel", false},
        {L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\", false},
        {L"\\\\?\\UNC\\server", false},
        {L"1:\\Korvel", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isFullyQualifiedPath(c.path), c.qualified) << std::string(c.path, c.path + wcslen(c.path));
    EXPECT_FALSE(isFullyQualifiedPath(std::wstring(L"C:\\Korvel\0x", 11)));
}

TEST(DangerousRoot, RefusesSystemAndUserFoldersInAnySpelling) {
    const std::wstring profile = env(L"USERPROFILE");
    const std::wstring temp = env(L"TEMP");
    ASSERT_FALSE(profile.empty());
    ASSERT_FALSE(temp.empty());
    wchar_t windowsBuffer[MAX_PATH + 1] = {};
    GetWindowsDirectoryW(windowsBuffer, MAX_PATH + 1);
    const std::wstring windows = windowsBuffer;
    const std::wstring profiles = std::filesystem::path(profile).parent_path().wstring();

    const std::vector<std::wstring> refused = {
        L"C:\\",
        L"c:",
        L"T:\\",
        L"K:/",
        L"\\\\server\\share",
        L"\\\\server\\share\\",
        windows,
        upper(windows) + L"\\",
        L"C:\\Windows\\System32",
        L"c:/windows/system32/drivers",
        L"C:\\windows\\temp",
        L"C:\\Program Files",
        L"C:\\PROGRAM FILES\\",
        L"C:\\Program Files (x86)",
        L"C:\\Program Files\\Common Files",
        L"C:\\Windows\\..\\Program Files",
        L"C:\\ProgramData",
        L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu",
        L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs",
        profiles,
        profiles + L"\\Public",
        profiles + L"\\Public\\Desktop",
        profile,
        upper(profile),
        profile + L"\\Desktop",
        profile + L"\\Documents",
        profile + L"\\Downloads",
        profile + L"\\AppData",
        profile + L"\\AppData\\Roaming",
        profile + L"\\AppData\\Local",
        profile + L"\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu",
        profile + L"\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs",
        temp,
        L"\\\\?\\" + windows,
        profiles + L"\\Someone Else",
        L"Korvel",
        L"C:Korvel",
        L"\\Korvel",
        L"",
    };
    for (const std::wstring& path : refused) {
        EXPECT_TRUE(isDangerousRoot(path)) << std::string(path.begin(), path.end());
        EXPECT_FALSE(dangerousRootReason(path).empty());
    }
}

TEST(DangerousRoot, LetsAProductFolderGo) {
    test::ScratchDir dir;
    const std::wstring profile = env(L"USERPROFILE");
    const std::wstring temp = env(L"TEMP");
    const std::vector<std::wstring> allowed = {
        L"C:\\Program Files\\Korvel",
        L"C:\\Program Files (x86)\\Korvel\\",
        L"C:\\ProgramData\\Korvel",
        L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Korvel",
        profile + L"\\AppData\\Local\\Korvel",
        profile + L"\\Documents\\Korvel",
        temp + L"\\KorvelCache",
        dir.path().wstring(),
        (dir.path() / L"install").wstring(),
        L"D:\\Games\\Korvel",
        L"C:\\Windows\\Temp\\KorvelSession",
        L"\\\\server\\share\\Korvel",
    };
    for (const std::wstring& path : allowed)
        EXPECT_EQ(dangerousRootReason(path), L"") << std::string(path.begin(), path.end());
}

TEST(DangerousRoot, ProtectedListNamesTheSystemFolders) {
    const std::vector<std::wstring> folders = protectedFolders();
    const auto has = [&folders](const std::wstring& wanted) {
        for (const std::wstring& f : folders) {
            std::wstring trimmed = f;
            while (trimmed.size() > 3 && (trimmed.back() == L'\\' || trimmed.back() == L'/')) trimmed.pop_back();
            if (CompareStringOrdinal(trimmed.c_str(), -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL) return true;
        }
        return false;
    };
    EXPECT_TRUE(has(L"C:\\windows"));
    EXPECT_TRUE(has(L"C:\\Program Files"));
    EXPECT_TRUE(has(L"C:\\ProgramData"));
    EXPECT_TRUE(has(env(L"USERPROFILE") + L"\\Downloads"));
}

}  // namespace
}  // namespace korvel
