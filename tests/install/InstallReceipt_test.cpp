#include <windows.h>

#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "common/UniqueResource.h"
#include "install/InstallReceipt.h"
#include "tests/common/FileOperationsTesting.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;
namespace fs = std::filesystem;

InstallReceipt sampleReceipt() {
    InstallReceipt r;
    r.version = L"2.1.0";
    r.installDate = L"2026-01-02T03:04:05Z";
    r.installPath = L"D:\\Spiele\\K\u00f6rvel";
    r.launcherPath = r.installPath + L"\\Launcher";
    r.launcher = {L"2.1.0", {L"D:\\Spiele\\K\u00f6rvel\\Launcher\\KorvelLauncher.exe"}};
    r.helper = {L"1.0.0", {L"a.exe", L"b.exe", L"c.exe"}};
    r.shortcuts = {{L"Korvel", L"START_MENU", L"ALL_USERS"}, {L"Korvel", L"DESKTOP", L"ALL_USERS"}};
    r.uninstallKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvel";
    return r;
}

// What JsonCpp itself writes for this receipt with two-space indentation.
std::string fixtureText() {
    Json::Value root;
    root["version"] = "2.1.0";
    root["installDate"] = "2026-01-02T03:04:05Z";
    root["installPath"] = "D:\\Spiele\\K\xC3\xB6rvel";
    root["launcherPath"] = "D:\\Spiele\\K\xC3\xB6rvel\\Launcher";
    root["components"]["launcher"]["version"] = "2.1.0";
    root["components"]["launcher"]["files"].append("D:\\Spiele\\K\xC3\xB6rvel\\Launcher\\KorvelLauncher.exe");
    root["components"]["helper"]["version"] = "1.0.0";
    for (const char* f : {"a.exe", "b.exe", "c.exe"}) root["components"]["helper"]["files"].append(f);
    for (const char* type : {"START_MENU", "DESKTOP"}) {
        Json::Value s;
        s["name"] = "Korvel";
        s["type"] = type;
        s["scope"] = "ALL_USERS";
        root["shortcuts"].append(s);
    }
    root["registry"]["uninstallKey"] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvel";
    root["services"] = Json::Value(Json::arrayValue);
    root["scheduledTasks"] = Json::Value(Json::arrayValue);
    root["firewallRules"] = Json::Value(Json::arrayValue);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    return Json::writeString(builder, root);
}

std::vector<std::wstring> filesIn(const fs::path& folder) { return test::namesIn(folder); }

TEST(InstallReceiptText, ByteForByteWhatJsonCppWrites) {
    const std::string text = receiptToJson(sampleReceipt());
    EXPECT_EQ(text, fixtureText());
    // Pure ASCII, escapes for the non-ASCII letter, no carriage return, no final newline.
    for (char c : text) EXPECT_LT(static_cast<unsigned char>(c), 0x80u);
    EXPECT_NE(text.find("K\\u00f6rvel"), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.back(), '}');
    // Members in byte order of their names.
    const char* const order[] = {"\"components\"", "\"firewallRules\"", "\"installDate\"", "\"installPath\"",
                                 "\"launcherPath\"", "\"registry\"", "\"scheduledTasks\"", "\"services\"",
                                 "\"shortcuts\"", "\n  \"version\""};
    size_t last = 0;
    for (const char* key : order) {
        const size_t at = text.find(key);
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GT(at, last) << key;
        last = at;
    }
    EXPECT_LT(text.find("\"files\""), text.find("\"version\" : \"1.0.0\""));
    EXPECT_LT(text.find("\"scope\""), text.find("\"type\""));
}

TEST(InstallReceiptText, NoComponentGivesNullAndEmptyListsStayArrays) {
    InstallReceipt r = createInstallReceipt(L"C:\\K", L"1");
    const std::string text = receiptToJson(r);
    EXPECT_NE(text.find("\"components\" : null"), std::string::npos) << text;
    EXPECT_NE(text.find("\"shortcuts\" : []"), std::string::npos);
    EXPECT_NE(text.find("\"registry\" : \n  {\n    \"uninstallKey\" : \"\"\n  }"), std::string::npos) << text;
    EXPECT_EQ(r.launcherPath, L"C:\\K\\Launcher");
    EXPECT_TRUE(std::regex_match(std::string(r.installDate.begin(), r.installDate.end()),
                                 std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z)")));
}

TEST(InstallReceiptText, ComponentsByExactName) {
    InstallReceipt r;
    StdoutCapture capture;
    setComponent(r, L"client", L"3", {L"x"});
    setComponent(r, L"Client", L"4", {L"y"});
    EXPECT_EQ(r.client.version, L"3");
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "WARNING"), "Unknown component: Client"));
}

class ReceiptFile : public ::testing::Test {
protected:
    ScratchDir dir;
    fs::path path() const { return dir / L"InstallReceipt.json"; }
};

TEST_F(ReceiptFile, WrittenIntoAFolderThatIsCreated) {
    const fs::path nested = dir / L"new" / L"deeper" / L"InstallReceipt.json";
    StdoutCapture capture;
    ASSERT_EQ(writeInstallReceipt(sampleReceipt(), nested.wstring()), ErrorCode::Success);
    EXPECT_EQ(test::readFile(nested), fixtureText());
    EXPECT_EQ(filesIn(nested.parent_path()), std::vector<std::wstring>{L"InstallReceipt.json"});
    const auto info = test::logMessages(capture.events(), "INFO");
    EXPECT_TRUE(test::anyStartsWith(info, "Writing install receipt: " + nested.string()));
    EXPECT_TRUE(test::anyStartsWith(info, "Install receipt written successfully"));
}

TEST_F(ReceiptFile, UnpairedSurrogateWritesNothing) {
    InstallReceipt r = sampleReceipt();
    r.version = std::wstring(L"2.\xD800");
    StdoutCapture capture;
    EXPECT_EQ(writeInstallReceipt(r, path().wstring()), ErrorCode::InternalError);
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "ERROR"),
                                    "Exception writing receipt: Invalid UTF-16 input"));
    EXPECT_TRUE(filesIn(dir.path()).empty());
}

TEST_F(ReceiptFile, ReadOnlyReceiptStaysAsItWas) {
    test::writeFile(path(), "old receipt");
    ASSERT_TRUE(SetFileAttributesW(path().c_str(), FILE_ATTRIBUTE_READONLY));
    StdoutCapture capture;
    EXPECT_EQ(writeInstallReceipt(sampleReceipt(), path().wstring()), ErrorCode::FileWriteFailed);
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "ERROR"),
                                    "Failed to open receipt file for writing"));
    EXPECT_EQ(test::readFile(path()), "old receipt");
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::wstring>{L"InstallReceipt.json"});
}

TEST_F(ReceiptFile, FolderInThePlaceOfTheReceipt) {
    fs::create_directories(path());
    StdoutCapture capture;
    EXPECT_EQ(writeInstallReceipt(sampleReceipt(), path().wstring()), ErrorCode::FileWriteFailed);
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::wstring>{L"InstallReceipt.json"});
    EXPECT_TRUE(fs::is_directory(path()));
}

TEST_F(ReceiptFile, ReplaceThatFailsLeavesTheOldReceiptAndNoTemporaryFile) {
    test::writeFile(path(), "old receipt");
    // Open for reading and writing by others, but not for deletion: the new
    // text is written in full and only the final replacement fails.
    ScopedHandle held(CreateFileW(path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    StdoutCapture capture;
    EXPECT_EQ(writeInstallReceipt(sampleReceipt(), path().wstring()), ErrorCode::FileWriteFailed);
    held.close();
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "ERROR"), "Failed to write receipt file"));
    EXPECT_EQ(test::readFile(path()), "old receipt");
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::wstring>{L"InstallReceipt.json"});
}

TEST_F(ReceiptFile, ExistingReceiptIsReplacedWhole) {
    test::writeFile(path(), std::string(10000, 'x'));
    StdoutCapture capture;
    ASSERT_EQ(writeInstallReceipt(sampleReceipt(), path().wstring()), ErrorCode::Success);
    EXPECT_EQ(test::readFile(path()), fixtureText());
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::wstring>{L"InstallReceipt.json"});
}

TEST(UtcTimestamp, Format) {
    const std::wstring stamp = formatUtcTimestamp();
    EXPECT_TRUE(std::regex_match(std::string(stamp.begin(), stamp.end()),
                                 std::regex(R"(20\d{2}-(0[1-9]|1[0-2])-[0-3]\d[T][0-2]\d:[0-5]\d:[0-6]\dZ)")));
}

}  // namespace
}  // namespace korvel
