#include <windows.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/EventLogger.h"
#include "common/UniqueResource.h"
#include "install/RegistryManager.h"
#include "tests/common/FileOperationsTesting.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;
namespace fs = std::filesystem;

struct RegValue {
    DWORD type = 0;
    std::wstring text;
    DWORD number = 0;
    DWORD size = 0;
};

// Every value of the uninstall key, read back through the registry API.
std::map<std::wstring, RegValue> readKey(bool& exists) {
    std::map<std::wstring, RegValue> values;
    RegistryKeyHandle key;
    exists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, RegistryManager::kUninstallKeyPath, 0, KEY_READ, key.put()) ==
             ERROR_SUCCESS;
    if (!exists) return values;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        BYTE data[4096];
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        RegValue v;
        v.type = type;
        v.size = size;
        if (type == REG_SZ) v.text.assign(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
        if (type == REG_DWORD) v.number = *reinterpret_cast<const DWORD*>(data);
        values[std::wstring(name, nameLength)] = v;
    }
    return values;
}

std::map<std::wstring, RegValue> readKey() {
    bool exists = false;
    return readKey(exists);
}

void deleteKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, RegistryManager::kUninstallKeyPath); }

void setDword(const wchar_t* name, DWORD value) {
    RegistryKeyHandle key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, RegistryManager::kUninstallKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_SUCCESS);
}

// REG_SZ stored with its terminating NUL.
void expectText(const std::map<std::wstring, RegValue>& values, const std::wstring& name, const std::wstring& text) {
    auto it = values.find(name);
    ASSERT_NE(it, values.end()) << std::string(name.begin(), name.end());
    EXPECT_EQ(it->second.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(it->second.text, text + L'\0') << std::string(name.begin(), name.end());
    EXPECT_EQ(it->second.size, (text.size() + 1) * sizeof(wchar_t));
}

void expectNumber(const std::map<std::wstring, RegValue>& values, const std::wstring& name, DWORD number) {
    auto it = values.find(name);
    ASSERT_NE(it, values.end()) << std::string(name.begin(), name.end());
    EXPECT_EQ(it->second.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(it->second.number, number) << std::string(name.begin(), name.end());
}

std::wstring todayUtc() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_s(&parts, &now);
    wchar_t text[16];
    swprintf(text, 16, L"%04d%02d%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
    return text;
}

class UninstallEntry : public ::testing::Test {
protected:
    void SetUp() override { deleteKey(); }
    void TearDown() override { deleteKey(); }
};

TEST_F(UninstallEntry, WritesEveryValueWithItsType) {
    ScratchDir dir;
    const std::wstring install = dir.path().wstring();
    test::writeFile(dir / L"KorvelLauncher.exe", std::string(3000, 'a'));
    fs::create_directories(dir / L"Client" / L"data");
    test::writeFile(dir / L"Client" / L"data" / L"pack.bin", std::string(8000, 'b'));

    StdoutCapture capture;
    ASSERT_EQ(RegistryManager().writeUninstallInfo(install, L"1.2.3", L"", L""), ErrorCode::Success);
    const auto values = readKey();
    expectText(values, L"DisplayName", L"Korvel");
    expectText(values, L"DisplayVersion", L"1.2.3");
    expectText(values, L"Publisher", L"Tessaly Works");
    expectText(values, L"InstallLocation", install);
    expectText(values, L"UninstallString", L"\"" + install + L"\\KorvelLauncher.exe\" --uninstall");
    expectText(values, L"DisplayIcon", install + L"\\KorvelLauncher.exe,0");
    expectText(values, L"HelpLink", L"https://support.tessaly.works/korvel");
    expectText(values, L"URLInfoAbout", L"https://korvel.tessaly.works/updates");
    expectText(values, L"URLUpdateInfo", L"https://korvel.tessaly.works/updates");
    expectText(values, L"InstallDate", todayUtc());
    expectText(values, L"Language", L"1033");
    expectText(values, L"Comments", L"Korvel - Virtual World Platform");
    expectText(values, L"Contact", L"Tessaly Works");
    expectNumber(values, L"EstimatedSize", 10);  // 11000 bytes
    expectNumber(values, L"VersionMajor", 1);
    expectNumber(values, L"VersionMinor", 2);
    expectNumber(values, L"NoModify", 1);
    expectNumber(values, L"NoRepair", 1);
    expectNumber(values, L"NoRemove", 0);
    EXPECT_EQ(values.count(L"ModifyPath"), 0u);
    EXPECT_EQ(values.count(L"InstallSource"), 0u);
    EXPECT_EQ(values.size(), 19u);

    const auto events = test::eventsWithOperation(capture.events(), "registry:write_uninstall_info");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0]["success"].asBool());
    EXPECT_EQ(events[0]["key_path"].asString(), "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvel");
}

TEST_F(UninstallEntry, UninstallerAndIconPathsWhenTheyExist) {
    ScratchDir dir;
    const std::wstring install = dir.path().wstring();
    const std::wstring uninstaller = (dir / L"Launcher" / L"KorvelUninstall.exe").wstring();
    const std::wstring icon = (dir / L"Launcher" / L"Korvel.ico").wstring();
    fs::create_directories(dir / L"Launcher");
    test::writeFile(uninstaller, "x");
    test::writeFile(icon, "x");
    test::writeFile(dir / L"uninstall.exe", "x");

    StdoutCapture capture;
    ASSERT_EQ(RegistryManager().writeUninstallInfo(install, L"3.0", icon, uninstaller), ErrorCode::Success);
    auto values = readKey();
    expectText(values, L"UninstallString", L"\"" + uninstaller + L"\"");
    expectText(values, L"DisplayIcon", icon + L",0");

    // Named but missing: the folder's uninstall.exe, and the launcher's icon.
    ASSERT_EQ(RegistryManager().writeUninstallInfo(install, L"3.0", icon + L".gone", uninstaller + L".gone"),
              ErrorCode::Success);
    values = readKey();
    expectText(values, L"UninstallString", L"\"" + install + L"\\uninstall.exe\"");
    expectText(values, L"DisplayIcon", install + L"\\KorvelLauncher.exe,0");
}

TEST_F(UninstallEntry, TrailingBackslashDoublesOnlyInTheUninstallExeCandidate) {
    ScratchDir dir;
    const std::wstring install = dir.path().wstring() + L"\\";
    EXPECT_EQ(RegistryManager::buildUninstallString(install, L""), L"\"" + install + L"KorvelLauncher.exe\" --uninstall");
    test::writeFile(dir / L"uninstall.exe", "x");
    EXPECT_EQ(RegistryManager::buildUninstallString(install, L""), L"\"" + install + L"\\uninstall.exe\"");

    StdoutCapture capture;
    ASSERT_EQ(RegistryManager().writeUninstallInfo(install, L"1.0", L"", L""), ErrorCode::Success);
    const auto values = readKey();
    expectText(values, L"InstallLocation", install);
    expectText(values, L"UninstallString", L"\"" + install + L"\\uninstall.exe\"");
    expectText(values, L"DisplayIcon", install + L"KorvelLauncher.exe,0");
}

TEST_F(UninstallEntry, ZeroVersionPiecesAreNotWrittenAndEarlierValuesStay) {
    ScratchDir dir;
    setDword(L"VersionMajor", 7);
    setDword(L"EstimatedSize", 99);
    StdoutCapture capture;
    ASSERT_EQ(RegistryManager().writeUninstallInfo((dir / L"empty").wstring(), L"0.5.1", L"", L""),
              ErrorCode::Success);
    const auto values = readKey();
    expectNumber(values, L"VersionMajor", 7);
    expectNumber(values, L"VersionMinor", 5);
    expectNumber(values, L"EstimatedSize", 99);
    expectText(values, L"DisplayVersion", L"0.5.1");
}

TEST(VersionPieces, MajorAndMinorFromTheVersionText) {
    const struct {
        const wchar_t* version;
        uint32_t major;
        uint32_t minor;
    } cases[] = {
        {L"1.2.3", 1, 2},   {L"10", 10, 0},        {L"2.x", 2, 0},          {L"1.", 1, 0},
        {L"0.5.1", 0, 5},   {L" 4. 6", 4, 6},      {L"3b.7c", 3, 7},        {L"", 0, 0},
        {L"x.1", 0, 1},     {L"4294967295.1", 4294967295u, 1}, {L"4294967296.1", 0, 1}, {L"+3.-1", 0, 0},
        {L"1..2", 1, 0},    {L".9", 0, 9},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RegistryManager::parseVersionMajor(c.version), c.major) << c.version[0];
        EXPECT_EQ(RegistryManager::parseVersionMinor(c.version), c.minor) << c.version[0];
    }
}

TEST_F(UninstallEntry, InstallFolderMustBeFullyQualified) {
    for (const wchar_t* dir : {L"", L"Korvel", L"..\\Korvel", L"C:Korvel", L"\\Korvel", L"\\\\.\\C:\\Korvel"}) {
        StdoutCapture capture;
        EXPECT_EQ(RegistryManager().writeUninstallInfo(dir, L"1.0.0", L"", L""), ErrorCode::InstallPathInvalid);
        bool exists = true;
        readKey(exists);
        EXPECT_FALSE(exists);
        EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "ERROR"),
                                        "Install folder is not a fully qualified path: "));
        EXPECT_TRUE(test::eventsWithOperation(capture.events(), "registry:write_uninstall_info").empty());
    }
}

TEST_F(UninstallEntry, RemovalTwiceSucceedsBothTimes) {
    ScratchDir dir;
    EventLogger::instance().verbose = true;
    {
        StdoutCapture capture;
        ASSERT_EQ(RegistryManager().writeUninstallInfo(dir.path().wstring(), L"1.0", L"", L""), ErrorCode::Success);
    }
    for (int round = 0; round < 2; ++round) {
        StdoutCapture capture;
        EXPECT_EQ(RegistryManager().removeUninstallInfo(), ErrorCode::Success);
        bool exists = true;
        readKey(exists);
        EXPECT_FALSE(exists);
        const auto events = test::eventsWithOperation(capture.events(), "registry:remove_uninstall_info");
        ASSERT_EQ(events.size(), 1u);
        EXPECT_TRUE(events[0]["success"].asBool());
        const std::string expected = round == 0 ? "Registry key deleted successfully: " : "Registry key not found for deletion: ";
        EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "DEBUG"),
                                        expected + "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvel"));
    }
    EventLogger::instance().verbose = false;
}

TEST(EstimatedSize, UnreadableFolderIsSkippedAndTheRestCounted) {
    ScratchDir dir;
    fs::create_directories(dir / L"a_locked" / L"inner");
    fs::create_directories(dir / L"b_open" / L"deeper");
    fs::create_directories(dir / L"c_open");
    test::writeFile(dir / L"top.bin", std::string(1024, 'x'));
    test::writeFile(dir / L"a_locked" / L"hidden.bin", std::string(50 * 1024, 'x'));
    test::writeFile(dir / L"b_open" / L"deeper" / L"one.bin", std::string(2048, 'x'));
    test::writeFile(dir / L"c_open" / L"two.bin", std::string(3072 + 1000, 'x'));
    EXPECT_EQ(RegistryManager::calculateEstimatedSize(dir.path().wstring()), 56u);

    // Held with no sharing: the walk cannot open or list it.
    ScopedHandle held(CreateFileW((dir / L"a_locked").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(held.valid());
    EXPECT_EQ(RegistryManager::calculateEstimatedSize(dir.path().wstring()), 6u);
    EXPECT_EQ(RegistryManager::calculateEstimatedSize((dir / L"absent").wstring()), 0u);
    EXPECT_EQ(RegistryManager::calculateEstimatedSize(L""), 0u);
    EXPECT_EQ(RegistryManager::calculateEstimatedSize((dir / L"top.bin").wstring()), 0u);
}

TEST_F(UninstallEntry, WriteGoesOnWithAnUnreadableSubfolder) {
    ScratchDir dir;
    fs::create_directories(dir / L"locked");
    test::writeFile(dir / L"file.bin", std::string(4096, 'x'));
    ScopedHandle held(CreateFileW((dir / L"locked").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(held.valid());
    StdoutCapture capture;
    ASSERT_EQ(RegistryManager().writeUninstallInfo(dir.path().wstring(), L"1.0", L"", L""), ErrorCode::Success);
    expectNumber(readKey(), L"EstimatedSize", 4);
}

// A text value as stored, byte for byte, in a scratch key of the current
// user (nothing shared with the uninstall entry's tests).
TEST(ReadStringValue, TextUpToTheFirstNulOfAStringValueOnly) {
    const std::wstring keyPath = L"Software\\KorvelTest\\ReadStringValue-" + std::to_wstring(GetCurrentProcessId());
    RegistryKeyHandle key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
    struct Case {
        const wchar_t* name;
        DWORD type;
        std::string bytes;  // raw data, UTF-16LE for text
        ErrorCode result;
        std::wstring text;
    };
    auto utf16 = [](const std::wstring& text) {
        return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    };
    const Case cases[] = {
        {L"Plain", REG_SZ, utf16(std::wstring(L"C:\\Korvel") + L'\0'), ErrorCode::Success, L"C:\\Korvel"},
        {L"NoTerminator", REG_SZ, utf16(L"C:\\Korvel"), ErrorCode::Success, L"C:\\Korvel"},
        {L"Expand", REG_EXPAND_SZ, utf16(std::wstring(L"%ProgramFiles%\\Korvel") + L'\0'), ErrorCode::Success,
         L"%ProgramFiles%\\Korvel"},
        {L"InnerNul", REG_SZ, utf16(std::wstring(L"C:\\A") + L'\0' + L"B" + L'\0'), ErrorCode::Success, L"C:\\A"},
        {L"OddSize", REG_SZ, utf16(L"C:\\K") + "x", ErrorCode::Success, L"C:\\K"},
        {L"OneByte", REG_SZ, "x", ErrorCode::Success, L""},
        {L"Empty", REG_SZ, "", ErrorCode::Success, L""},
        {L"Number", REG_DWORD, std::string("\x01\x00\x00\x00", 4), ErrorCode::RegistryValueNotFound, L"kept"},
        {L"Binary", REG_BINARY, utf16(L"C:\\Korvel"), ErrorCode::RegistryValueNotFound, L"kept"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(RegSetValueExW(key.get(), c.name, 0, c.type, reinterpret_cast<const BYTE*>(c.bytes.data()),
                                 static_cast<DWORD>(c.bytes.size())),
                  ERROR_SUCCESS);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        std::wstring text = L"kept";
        EXPECT_EQ(RegistryManager::readStringValue(key, c.name, text), c.result);
        EXPECT_EQ(text, c.text);
    }
    std::wstring text = L"kept";
    EXPECT_EQ(RegistryManager::readStringValue(key, L"Missing", text), ErrorCode::RegistryValueNotFound);
    EXPECT_EQ(RegistryManager::readStringValue(RegistryKeyHandle(), L"Plain", text), ErrorCode::RegistryAccessDenied);
    EXPECT_EQ(text, L"kept");
    key.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KorvelTest");
}

}  // namespace
}  // namespace korvel
