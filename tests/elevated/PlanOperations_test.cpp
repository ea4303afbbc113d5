#include "elevated/PlanOperations.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/TextConversion.h"
#include "elevated/PlanExecutor.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

TEST(PlanOperations, DefaultLauncherPath) {
    const struct {
        std::wstring target;
        std::wstring subdir;
        std::wstring launcher;
    } cases[] = {
        {L"C:\\Game", L"Launcher", L"C:\\Game\\Launcher\\KorvelLauncher.exe"},
        {L"C:\\Game", L"", L"C:\\Game\\KorvelLauncher.exe"},
        {L"C:\\Game\\", L"Launcher", L"C:\\Game\\Launcher\\KorvelLauncher.exe"},
        {L"C:\\Game", L"Launcher\\", L"C:\\Game\\Launcher\\KorvelLauncher.exe"},
        {L"C:\\Game", L"Bin\\Launcher", L"C:\\Game\\Bin\\Launcher\\KorvelLauncher.exe"},
        // An absolute subfolder replaces the installation folder.
        {L"C:\\Game", L"D:\\Elsewhere", L"D:\\Elsewhere\\KorvelLauncher.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(wideToUtf8(c.target + L" + " + c.subdir));
        PlanOperation op;
        op.type = PlanOperationType::CreateShortcuts;
        op.targetPath = c.target;
        op.launcherSubdir = c.subdir;
        EXPECT_EQ(defaultLauncherPath(op), c.launcher);
    }
}

// The executor stops at the first failure: later operations never start,
// even ones that would have succeeded.
TEST(PlanExecutor, StopsAtTheFirstFailure) {
    test::ScratchDir scratch;
    const std::filesystem::path keep = scratch / L"session";
    std::filesystem::create_directories(keep / L"files");
    test::writeFile(keep / L"files" / L"a.bin", "x");

    std::vector<PlanOperation> ops(3);
    ops[0].type = PlanOperationType::ReleaseSession;
    ops[0].sessionRoot = (scratch / L"gone").wstring();
    ops[1].type = PlanOperationType::WriteUninstall;  // no values: fails with 1
    ops[2].type = PlanOperationType::ReleaseSession;
    ops[2].sessionRoot = keep.wstring();

    test::StdoutCapture capture;
    EXPECT_EQ(PlanExecutor::execute(ops), ErrorCode::InvalidArguments);
    EXPECT_TRUE(std::filesystem::exists(keep / L"files" / L"a.bin"));
    std::vector<std::string> seen;
    for (const Json::Value& e : capture.events()) {
        if (e["operation"].asString() == "execution_plan")
            seen.push_back(e["event_type"].asString() + ":" + e.get("status", "").asString() +
                           e.get("details", "").asString() + std::to_string(e.get("progress", -1).asInt()));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"status:executing-1", "status:operation_0-1", "progress:33",
                                              "status:operation_1-1",
                                              "error:Operation 1 failed, aborting plan-1"}));
}

TEST(PlanExecutor, ReleaseRemovesTheWholeSessionFolder) {
    test::ScratchDir scratch;
    const std::filesystem::path session = scratch / L"session";
    std::filesystem::create_directories(session / L"a" / L"b");
    test::writeFile(session / L"a" / L"b" / L"c.bin", "x");
    test::writeFile(session / L"top.json", "{}");
    PlanOperation op;
    op.type = PlanOperationType::ReleaseSession;
    op.sessionRoot = session.wstring();
    test::StdoutCapture capture;
    EXPECT_EQ(runPlanReleaseSession(op), ErrorCode::Success);
    EXPECT_FALSE(std::filesystem::exists(session));
    EXPECT_TRUE(std::filesystem::exists(scratch.path()));
}

}  // namespace
}  // namespace korvel
