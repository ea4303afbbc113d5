// Reading the install receipt back: receipts the writer makes are accepted,
// receipts whose paths leave the install folder are refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/InstallReceipt.h"
#include "tests/support/TestSupport.h"
#include "uninstall/InstallReceiptReader.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::writeFile;

InstallReceipt writtenReceipt(const std::wstring& installPath) {
    InstallReceipt receipt = createInstallReceipt(installPath, L"2.1.0");
    setComponent(receipt, L"launcher", L"2.1.0", {installPath + L"\\Launcher\\KorvelLauncher.exe"});
    setComponent(receipt, L"helper", L"1.0.0",
                 {installPath + L"\\Launcher\\KorvelElevated.exe", installPath + L"\\Launcher\\KorvelUninstall.exe"});
    receipt.shortcuts = {{L"Korvel", L"START_MENU", L"ALL_USERS"}, {L"Korvel", L"DESKTOP", L"ALL_USERS"}};
    receipt.uninstallKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvel";
    return receipt;
}

TEST(InstallReceiptReader, ReadsWhatTheWriterWrote) {
    ScratchDir dir;
    const std::wstring root = dir.path().wstring();
    const InstallReceipt written = writtenReceipt(root);
    ASSERT_EQ(writeInstallReceipt(written, getReceiptPath(root).wstring()), ErrorCode::Success);

    InstallReceipt read;
    ASSERT_EQ(readInstallReceipt(getReceiptPath(root), read), ErrorCode::Success);
    EXPECT_EQ(read.version, L"2.1.0");
    EXPECT_EQ(read.installDate, written.installDate);
    EXPECT_EQ(read.installPath, root);
    EXPECT_EQ(read.launcherPath, root + L"\\Launcher");
    EXPECT_EQ(read.launcher.files, written.launcher.files);
    EXPECT_EQ(read.helper.version, L"1.0.0");
    EXPECT_EQ(read.helper.files.size(), 2u);
    EXPECT_TRUE(read.client.version.empty());
    ASSERT_EQ(read.shortcuts.size(), 2u);
    EXPECT_EQ(read.shortcuts[1].type, L"DESKTOP");
    EXPECT_EQ(read.uninstallKey, written.uninstallKey);
}

TEST(InstallReceiptReader, RefusesReceiptsWhosePathsLeaveTheInstallFolder) {
    ScratchDir dir;
    const std::wstring root = (dir.path() / L"Korvel").wstring();
    struct Case {
        const char* name;
        void (*change)(InstallReceipt&, const std::wstring& root);
        ErrorCode expected;
    };
    const std::vector<Case> cases = {
        {"as written", [](InstallReceipt&, const std::wstring&) {}, ErrorCode::Success},
        {"launcher in a sibling that shares the prefix",
         [](InstallReceipt& r, const std::wstring& root) { r.launcherPath = root + L"Evil\\Launcher"; },
         ErrorCode::InvalidArguments},
        {"component file in a sibling that shares the prefix",
         [](InstallReceipt& r, const std::wstring& root) { r.helper.files.push_back(root + L"2\\x.exe"); },
         ErrorCode::InvalidArguments},
        {"launcher through ..",
         [](InstallReceipt& r, const std::wstring& root) { r.launcherPath = root + L"\\..\\Other"; },
         ErrorCode::InvalidArguments},
        {"install path with ..",
         [](InstallReceipt& r, const std::wstring& root) {
             r.installPath = root + L"\\..\\Korvel";
             r.launcherPath.clear();
             r.launcher.files.clear();
             r.helper.files.clear();
         },
         ErrorCode::InvalidArguments},
        {"component file outside",
         [](InstallReceipt& r, const std::wstring&) { r.launcher.files.push_back(L"C:\\Windows\\System32\\x.dll"); },
         ErrorCode::InvalidArguments},
        {"relative component file below the root",
         [](InstallReceipt& r, const std::wstring&) { r.client = {L"3", {L"Client\\KorvelClient.exe"}}; },
         ErrorCode::Success},
        {"relative component file through ..",
         [](InstallReceipt& r, const std::wstring&) { r.client = {L"3", {L"..\\x.exe"}}; },
         ErrorCode::InvalidArguments},
        {"drive-relative install path",
         [](InstallReceipt& r, const std::wstring&) {
             r.installPath = L"C:Korvel";
             r.launcherPath.clear();
             r.launcher.files.clear();
             r.helper.files.clear();
         },
         ErrorCode::InvalidArguments},
        {"rooted install path without drive",
         [](InstallReceipt& r, const std::wstring&) {
             r.installPath = L"\\Korvel";
             r.launcherPath.clear();
             r.launcher.files.clear();
             r.helper.files.clear();
         },
         ErrorCode::InvalidArguments},
        {"empty install path",
         [](InstallReceipt& r, const std::wstring&) {
             r.installPath.clear();
             r.launcherPath.clear();
             r.launcher.files.clear();
             r.helper.files.clear();
         },
         ErrorCode::InvalidArguments},
        {"install path with a trailing backslash",
         [](InstallReceipt& r, const std::wstring& root) { r.installPath = root + L"\\"; },
         ErrorCode::Success},
    };
    for (const Case& c : cases) {
        InstallReceipt receipt = writtenReceipt(root);
        c.change(receipt, root);
        const std::wstring file = (dir.path() / L"receipt.json").wstring();
        ASSERT_EQ(writeInstallReceipt(receipt, file), ErrorCode::Success) << c.name;
        InstallReceipt read;
        EXPECT_EQ(readInstallReceipt(file, read), c.expected) << c.name;
    }
}

std::string padded(std::string text, size_t size) {
    text.resize(size, ' ');
    return text;
}

TEST(InstallReceiptReader, HandlesOddDocuments) {
    ScratchDir dir;
    const std::string root = "T:\\\\unit\\\\K";
    struct Case {
        const char* name;
        std::string text;
        ErrorCode expected;
    };
    const std::vector<Case> cases = {
        {"null document", "null", ErrorCode::InvalidArguments},
        {"array document", "[1]", ErrorCode::InternalError},
        {"not JSON", "{", ErrorCode::InvalidArguments},
        {"raw NUL", "{\"installPath\":\"" + root + "\"}" + std::string(1, '\0'), ErrorCode::InvalidArguments},
        {"escaped NUL", "{\"installPath\":\"" + root + "\",\"version\":\"a\\u0000b\"}", ErrorCode::InvalidArguments},
        {"number version", "{\"installPath\":\"" + root + "\",\"version\":2}", ErrorCode::Success},
        {"array version", "{\"installPath\":\"" + root + "\",\"version\":[]}", ErrorCode::InternalError},
        {"null components, object shortcuts",
         "{\"installPath\":\"" + root + "\",\"components\":null,\"shortcuts\":{}}", ErrorCode::Success},
        {"invalid UTF-8", "{\"installPath\":\"" + root + "\",\"version\":\"\xff\"}", ErrorCode::InternalError},
        // A valid receipt at the cap is read; one byte more is refused.
        {"33,554,432 bytes", padded("{\"installPath\":\"" + root + "\"}", 33554432), ErrorCode::Success},
        {"33,554,433 bytes", padded("{\"installPath\":\"" + root + "\"}", 33554433), ErrorCode::InvalidArguments},
    };
    for (const Case& c : cases) {
        const auto file = dir.path() / L"receipt.json";
        writeFile(file, c.text);
        InstallReceipt read;
        EXPECT_EQ(readInstallReceipt(file, read), c.expected) << c.name;
        if (std::string(c.name) == "number version") {
            EXPECT_EQ(read.version, L"2");
        }
    }
    InstallReceipt read;
    EXPECT_EQ(readInstallReceipt(dir.path() / L"missing.json", read), ErrorCode::FileNotFound);
}

TEST(InstallReceiptReader, PathRules) {
    EXPECT_TRUE(hasDotDotComponent(L"C:\\a\\..\\b"));
    EXPECT_TRUE(hasDotDotComponent(L"a/../b"));
    EXPECT_FALSE(hasDotDotComponent(L"C:\\a\\...\\b..\\..c"));
    EXPECT_TRUE(isSafeInstallRoot(L"C:\\Program Files\\Korvel"));
    EXPECT_TRUE(isSafeInstallRoot(L"\\\\server\\share\\Korvel"));
    EXPECT_TRUE(isSafeInstallRoot(L"Korvel"));  // resolved against the current folder
    EXPECT_FALSE(isSafeInstallRoot(L"C:"));
    EXPECT_FALSE(isSafeInstallRoot(L"/Korvel"));
    EXPECT_TRUE(isPathContainedIn(L"", L"C:\\K"));
    EXPECT_TRUE(isPathContainedIn(L"C:\\K", L"C:\\K"));
    EXPECT_TRUE(isPathContainedIn(L"c:\\k\\x", L"C:\\K"));
    EXPECT_TRUE(isPathContainedIn(L"C:\\K\\x", L"C:\\K\\"));
    EXPECT_FALSE(isPathContainedIn(L"C:\\KK\\x", L"C:\\K"));
    EXPECT_FALSE(isPathContainedIn(L"C:\\x", L"C:\\K"));
    EXPECT_FALSE(isPathContainedIn(L"C:x", L"C:\\K"));
    EXPECT_FALSE(isPathContainedIn(L"\\x", L"C:\\K"));
    EXPECT_FALSE(isPathContainedIn(L"x", L""));
}

}  // namespace
}  // namespace korvel
