#include <windows.h>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <filesystem>
#include <memory>
#include <string>

#include "elevated/PlanWriteReceipt.h"
#include "tests/common/FileOperationsTesting.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;
namespace fs = std::filesystem;

Json::Value parseFile(const fs::path& file) {
    const std::string text = test::readFile(file);
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors)) << errors;
    return root;
}

std::string utf8(const std::wstring& w) { return std::string(w.begin(), w.end()); }

TEST(PlanWriteReceipt, HelperComponentShortcutsAndKey) {
    ScratchDir dir;
    const std::wstring target = (dir / L"Install").wstring();  // does not exist yet
    PlanOperation op;
    op.type = PlanOperationType::WriteReceipt;
    op.targetPath = target;
    op.version = L"2.1.0";
    StdoutCapture capture;
    ASSERT_EQ(runPlanWriteReceipt(op), ErrorCode::Success);
    const Json::Value r = parseFile(dir / L"Install" / L"InstallReceipt.json");
    EXPECT_EQ(r["version"].asString(), "2.1.0");
    EXPECT_EQ(r["installPath"].asString(), utf8(target));
    EXPECT_EQ(r["launcherPath"].asString(), utf8(target) + "\\Launcher");
    EXPECT_EQ(r["components"].getMemberNames(), std::vector<std::string>{"helper"});
    EXPECT_EQ(r["components"]["helper"]["version"].asString(), "1.0.0");
    const Json::Value& files = r["components"]["helper"]["files"];
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].asString(), utf8(target) + "\\Launcher\\KorvelElevated.exe");
    EXPECT_EQ(files[1].asString(), utf8(target) + "\\Launcher\\KorvelElevatedLauncher.exe");
    EXPECT_EQ(files[2].asString(), utf8(target) + "\\Launcher\\KorvelUninstall.exe");
    ASSERT_EQ(r["shortcuts"].size(), 2u);
    EXPECT_EQ(r["shortcuts"][0]["type"].asString(), "START_MENU");
    EXPECT_EQ(r["shortcuts"][1]["type"].asString(), "DESKTOP");
    EXPECT_EQ(r["shortcuts"][1]["scope"].asString(), "ALL_USERS");
    EXPECT_EQ(r["registry"]["uninstallKey"].asString(),
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvel");
    EXPECT_EQ(r["services"], Json::Value(Json::arrayValue));

    const auto events = test::eventsWithOperation(capture.events(), "write_receipt");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["status"].asString(), "starting");
    EXPECT_EQ(events[1]["status"].asString(), "completed");
}

TEST(PlanWriteReceipt, LauncherAsThePlanNamesItAndATrailingBackslash) {
    ScratchDir dir;
    const std::wstring target = dir.path().wstring() + L"\\";
    PlanOperation op;
    op.targetPath = target;
    op.version = L"3.0";
    op.launcherExecutable = L"Launcher/KorvelLauncher.exe";
    StdoutCapture capture;
    ASSERT_EQ(runPlanWriteReceipt(op), ErrorCode::Success);
    const Json::Value r = parseFile(dir / L"InstallReceipt.json");
    EXPECT_EQ(r["launcherPath"].asString(), utf8(target) + "\\Launcher");
    EXPECT_EQ(r["components"]["launcher"]["version"].asString(), "3.0");
    EXPECT_EQ(r["components"]["launcher"]["files"][0].asString(), "Launcher/KorvelLauncher.exe");
    EXPECT_EQ(r["components"]["helper"]["files"][0].asString(), utf8(target) + "\\Launcher\\KorvelElevated.exe");
}

TEST(PlanWriteReceipt, MissingValuesAndFailures) {
    ScratchDir dir;
    for (int missing = 0; missing < 2; ++missing) {
        PlanOperation op;
        op.targetPath = missing == 0 ? L"" : dir.path().wstring();
        op.version = missing == 1 ? L"" : L"1.0";
        StdoutCapture capture;
        EXPECT_EQ(runPlanWriteReceipt(op), ErrorCode::InvalidArguments);
        const auto events = test::eventsWithOperation(capture.events(), "write_receipt");
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[1]["details"].asString(), "Missing required parameters: targetPath, version");
    }
    test::writeFile(dir / L"InstallReceipt.json", "old");
    ASSERT_TRUE(SetFileAttributesW((dir / L"InstallReceipt.json").c_str(), FILE_ATTRIBUTE_READONLY));
    PlanOperation op;
    op.targetPath = dir.path().wstring();
    op.version = L"1.0";
    StdoutCapture capture;
    EXPECT_EQ(runPlanWriteReceipt(op), ErrorCode::FileWriteFailed);
    const auto events = test::eventsWithOperation(capture.events(), "write_receipt");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1]["error_code"].asInt(), 149);
    EXPECT_EQ(events[1]["details"].asString(), "Failed to write install receipt");
    EXPECT_EQ(test::readFile(dir / L"InstallReceipt.json"), "old");
}

}  // namespace
}  // namespace korvel
