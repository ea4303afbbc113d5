#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/EventLogger.h"
#include "elevated/ExecutionPlan.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;

const char kValidTypes[] =
    "'. Valid types: install_prereqs, apply_manifest, write_uninstall, create_shortcuts, write_receipt, "
    "release_session, prune_orphans";

struct Outcome {
    ErrorCode code = ErrorCode::Success;
    std::vector<Json::Value> events;
    std::vector<PlanOperation> operations;
};

Outcome loadBytes(const std::string& bytes) {
    ScratchDir dir;
    const std::filesystem::path plan = dir / L"plan.json";
    test::writeFile(plan, bytes);
    Outcome out;
    StdoutCapture capture;
    out.code = ExecutionPlan::load(plan.wstring(), out.operations);
    out.events = capture.events();
    return out;
}

std::vector<Json::Value> errorEvents(const std::vector<Json::Value>& events) {
    std::vector<Json::Value> out;
    for (const Json::Value& e : events) {
        if (e["event_type"].asString() == "error") out.push_back(e);
    }
    return out;
}

std::string nested(int depth) { return "{\"operations\": " + std::string(depth, '[') + std::string(depth, ']') + "}"; }

TEST(ExecutionPlanLoad, EveryLoadErrorHasItsCodeAndDetails) {
    const struct {
        std::string bytes;
        ErrorCode code;
        std::string details;  // exact, or a prefix when prefix is set
        bool prefix;
    } cases[] = {
        {"", ErrorCode::InvalidArguments, "Failed to convert plan string", false},
        {"\xC3\x28", ErrorCode::InvalidArguments, "Plan file is not strict UTF-8: ", true},
        {"{\"operations\": []}\xFF", ErrorCode::InvalidArguments, "Plan file is not strict UTF-8: ", true},
        {std::string("{\"operations\": [\0]}", 19), ErrorCode::InvalidArguments, "Plan JSON contains an embedded NUL",
         false},
        {"{\"operations\": [", ErrorCode::InvalidArguments, "JSON parse error: * Line 1, Column 17", true},
        {"not json", ErrorCode::InvalidArguments, "JSON parse error: ", true},
        {nested(1001), ErrorCode::InvalidArguments, "JSON parse error: Exceeded stackLimit in readValue().", false},
        {"{\"operations\": [{\"type\": \"write_receipt\", \"cdnUrl\": \"a\\u0000b\"}]}", ErrorCode::InvalidArguments,
         "Plan JSON contains an escaped embedded NUL", false},
        {"{\"x\\u0000\": 1, \"operations\": []}", ErrorCode::InvalidArguments,
         "Plan JSON contains an escaped embedded NUL", false},
        {"[]", ErrorCode::InvalidArguments, "Plan must be a JSON object", false},
        {"\"operations\"", ErrorCode::InvalidArguments, "Plan must be a JSON object", false},
        {"{}", ErrorCode::InvalidArguments, "Plan must have 'operations' array", false},
        {"{\"operations\": {}}", ErrorCode::InvalidArguments, "Plan must have 'operations' array", false},
        {"{\"operations\": null}", ErrorCode::InvalidArguments, "Plan must have 'operations' array", false},
        {"{\"operations\": [{\"type\": 5}]}", ErrorCode::InvalidArguments, "Operation 0 missing 'type' field", false},
        {"{\"operations\": [42]}", ErrorCode::InvalidArguments, "Operation 0 missing 'type' field", false},
        {"{\"operations\": [{\"type\": \"write_receipt\"}, {}, {\"type\": \"x\"}]}", ErrorCode::InvalidArguments,
         "Operation 1 missing 'type' field", false},
        {"{\"operations\": [{\"type\": \"Frobnicate\"}]}", ErrorCode::InvalidArguments,
         std::string("Operation 0: Unknown operation type: 'Frobnicate") + kValidTypes, false},
        {"{\"operations\": [{\"type\": \"prune_orphans\"}, {\"type\": \"apply-manifest\"}]}",
         ErrorCode::InvalidArguments, std::string("Operation 1: Unknown operation type: 'apply-manifest") + kValidTypes,
         false},
        {"{\"operations\": [{\"type\": \" apply_manifest\"}]}", ErrorCode::InvalidArguments,
         std::string("Operation 0: Unknown operation type: ' apply_manifest") + kValidTypes, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 80));
        const Outcome out = loadBytes(c.bytes);
        EXPECT_EQ(out.code, c.code);
        const std::vector<Json::Value> errors = errorEvents(out.events);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0]["operation"].asString(), "execution_plan");
        EXPECT_EQ(errors[0]["error_code"].asInt(), toInt(c.code));
        const std::string details = errors[0]["details"].asString();
        if (c.prefix) {
            EXPECT_EQ(details.substr(0, c.details.size()), c.details) << details;
        } else {
            EXPECT_EQ(details, c.details);
        }
        ASSERT_FALSE(out.events.empty());
        EXPECT_EQ(out.events[0]["status"].asString(), "loading_plan");
    }
}

TEST(ExecutionPlanLoad, MissingFileAndFolderInsteadOfFile) {
    ScratchDir dir;
    std::vector<PlanOperation> operations;
    {
        StdoutCapture capture;
        EXPECT_EQ(ExecutionPlan::load((dir / L"absent.json").wstring(), operations), ErrorCode::FileNotFound);
        const auto errors = errorEvents(capture.events());
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0]["details"].asString(), "Plan file not found");
    }
    {
        StdoutCapture capture;
        EXPECT_EQ(ExecutionPlan::load(dir.path().wstring(), operations), ErrorCode::InternalError);
        const auto errors = errorEvents(capture.events());
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0]["details"].asString(), "Failed to read plan file: Failed to open file");
    }
}

TEST(ExecutionPlanLoad, ReaderDefaultsCommentsTrailingCommasBomAndRepeats) {
    const Outcome out = loadBytes(
        "\xEF\xBB\xBF// a plan\n{\n  /* the list */ \"operations\": [\n"
        "    {\"type\": \"write_receipt\", \"version\": \"1\", \"version\": \"2\",},\n"
        "  ],\n  \"extra\": true,\n} trailing text is not read");
    ASSERT_EQ(out.code, ErrorCode::Success);
    ASSERT_EQ(out.operations.size(), 1u);
    EXPECT_EQ(out.operations[0].type, PlanOperationType::WriteReceipt);
    EXPECT_EQ(out.operations[0].version, L"2");
    bool logged = false;
    for (const Json::Value& e : out.events)
        logged = logged || e["message"].asString() == "Loaded execution plan with 1 operations";
    EXPECT_TRUE(logged);
}

TEST(ExecutionPlanLoad, EmptyListLoads) {
    const Outcome out = loadBytes("{\"operations\": []}");
    EXPECT_EQ(out.code, ErrorCode::Success);
    EXPECT_TRUE(out.operations.empty());
    bool logged = false;
    for (const Json::Value& e : out.events)
        logged = logged || e["message"].asString() == "Loaded execution plan with 0 operations";
    EXPECT_TRUE(logged);
}

TEST(ExecutionPlanLoad, TypeNamesInAnyAsciiCaseWithOrWithoutUnderscores) {
    const struct {
        const char* name;
        PlanOperationType type;
    } cases[] = {
        {"install_prereqs", PlanOperationType::InstallPrereqs}, {"INSTALLPREREQS", PlanOperationType::InstallPrereqs},
        {"Apply_Manifest", PlanOperationType::ApplyManifest},   {"APPLYMANIFEST", PlanOperationType::ApplyManifest},
        {"write_uninstall", PlanOperationType::WriteUninstall}, {"WriteUninstall", PlanOperationType::WriteUninstall},
        {"create_shortcuts", PlanOperationType::CreateShortcuts}, {"createshortcuts", PlanOperationType::CreateShortcuts},
        {"WRITE_RECEIPT", PlanOperationType::WriteReceipt},     {"writereceipt", PlanOperationType::WriteReceipt},
        {"release_session", PlanOperationType::ReleaseSession}, {"ReleaseSession", PlanOperationType::ReleaseSession},
        {"PRUNE_ORPHANS", PlanOperationType::PruneOrphans},     {"PruneOrphans", PlanOperationType::PruneOrphans},
        {"pruneorphans", PlanOperationType::PruneOrphans},
    };
    for (const auto& c : cases) {
        PlanOperationType type = PlanOperationType::InstallPrereqs;
        std::string error;
        EXPECT_TRUE(parseOperationType(c.name, type, error)) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    for (const char* bad : {"apply-manifest", " apply_manifest", "apply_manifest ", "prune__orphans", "", "write",
                            "\xC3\x89write_receipt"}) {
        PlanOperationType type = PlanOperationType::InstallPrereqs;
        std::string error;
        EXPECT_FALSE(parseOperationType(bad, type, error)) << bad;
        EXPECT_EQ(error, std::string("Unknown operation type: '") + bad + kValidTypes);
    }
}

TEST(ExecutionPlanLoad, MembersOfTheWrongTypeAreIgnored) {
    const Outcome out = loadBytes(
        "{\"operations\": [{\"type\": \"prune_orphans\", \"dryRun\": \"true\", \"targetPath\": 42, \"purge\": 1,"
        " \"version\": null, \"component\": [\"client\"], \"sessionRoot\": {\"a\": 1}}]}");
    ASSERT_EQ(out.code, ErrorCode::Success);
    ASSERT_EQ(out.operations.size(), 1u);
    const PlanOperation& op = out.operations[0];
    EXPECT_FALSE(op.dryRun);
    EXPECT_FALSE(op.purge);
    EXPECT_EQ(op.targetPath, L"");
    EXPECT_EQ(op.version, L"");
    EXPECT_EQ(op.component, L"");
    EXPECT_EQ(op.sessionRoot, L"");
}

TEST(ExecutionPlanLoad, EveryOperationTypeLoadsWithItsFields) {
    const Outcome out = loadBytes(R"({"operations": [
        {"type": "install_prereqs", "cdnUrl": "https://cdn.example/root/"},
        {"type": "apply_manifest", "cdnUrl": "https://cdn.example/", "manifestUrl": "https://cdn.example/m.json",
         "targetPath": "C:\\Korvel\\Client", "sessionRoot": "C:\\S", "filesManifest": "C:\\S\\files.json"},
        {"type": "write_uninstall", "targetPath": "C:\\Korvel", "version": "2.1.0",
         "launcherExecutable": "C:\\Korvel\\Launcher\\KorvelLauncher.exe",
         "uninstallerExecutable": "C:\\Korvel\\Launcher\\KorvelUninstall.exe"},
        {"type": "create_shortcuts", "targetPath": "C:\\Korvel", "launcherSubdir": "Launcher",
         "launcherExecutable": "C:\\Korvel\\Launcher\\KorvelLauncher.exe", "launcherWorkingDir": "C:\\Korvel\\Launcher"},
        {"type": "write_receipt", "targetPath": "C:\\Korvel", "version": "2.1.0", "launcherExecutable": "L.exe"},
        {"type": "release_session", "sessionRoot": "C:\\S", "purge": true},
        {"type": "prune_orphans", "targetPath": "C:\\Korvel\\Client", "sessionRoot": "C:\\S",
         "filesManifest": "C:\\S\\files.json", "component": "client", "dryRun": true}
    ]})");
    ASSERT_EQ(out.code, ErrorCode::Success);
    ASSERT_EQ(out.operations.size(), 7u);
    const std::vector<PlanOperation>& ops = out.operations;
    EXPECT_EQ(ops[0].type, PlanOperationType::InstallPrereqs);
    EXPECT_EQ(ops[0].cdnUrl, L"https://cdn.example/root/");
    EXPECT_EQ(ops[1].type, PlanOperationType::ApplyManifest);
    EXPECT_EQ(ops[1].manifestUrl, L"https://cdn.example/m.json");
    EXPECT_EQ(ops[1].targetPath, L"C:\\Korvel\\Client");
    EXPECT_EQ(ops[1].sessionRoot, L"C:\\S");
    EXPECT_EQ(ops[1].filesManifest, L"C:\\S\\files.json");
    EXPECT_EQ(ops[2].type, PlanOperationType::WriteUninstall);
    EXPECT_EQ(ops[2].version, L"2.1.0");
    EXPECT_EQ(ops[2].launcherExecutable, L"C:\\Korvel\\Launcher\\KorvelLauncher.exe");
    EXPECT_EQ(ops[2].uninstallerExecutable, L"C:\\Korvel\\Launcher\\KorvelUninstall.exe");
    EXPECT_EQ(ops[3].type, PlanOperationType::CreateShortcuts);
    EXPECT_EQ(ops[3].launcherSubdir, L"Launcher");
    EXPECT_EQ(ops[3].launcherWorkingDir, L"C:\\Korvel\\Launcher");
    EXPECT_EQ(ops[4].type, PlanOperationType::WriteReceipt);
    EXPECT_EQ(ops[4].launcherExecutable, L"L.exe");
    EXPECT_EQ(ops[5].type, PlanOperationType::ReleaseSession);
    EXPECT_TRUE(ops[5].purge);
    EXPECT_EQ(ops[6].type, PlanOperationType::PruneOrphans);
    EXPECT_EQ(ops[6].component, L"client");
    EXPECT_TRUE(ops[6].dryRun);
    EXPECT_FALSE(ops[0].dryRun);
    EXPECT_EQ(ops[0].targetPath, L"");
}

TEST(ExecutionPlanLoad, NonAsciiTextIsConvertedAndPathsKeptAsWritten) {
    const Outcome out = loadBytes(
        "{\"operations\": [{\"type\": \"write_receipt\", \"targetPath\": \"C:/Spiele/K\xC3\xB6rvel/\","
        " \"version\": \"\\u00e9\"}]}");
    ASSERT_EQ(out.code, ErrorCode::Success);
    EXPECT_EQ(out.operations[0].targetPath, L"C:/Spiele/K\u00f6rvel/");
    EXPECT_EQ(out.operations[0].version, L"\u00e9");
}

TEST(ExecutionPlanParse, TextThatIsNotValidUtf16IsRefused) {
    std::vector<PlanOperation> operations;
    StdoutCapture capture;
    EXPECT_EQ(ExecutionPlan::parse(std::wstring(L"{\"operations\": [\xD800]}"), operations),
              ErrorCode::InvalidArguments);
    const auto errors = errorEvents(capture.events());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["details"].asString().rfind("Failed to convert plan string: ", 0), 0u);
}

}  // namespace
}  // namespace korvel
