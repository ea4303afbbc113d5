#include "orphan/PruneOrphans.h"

#include "common/ErrorCodes.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "manifest/SessionPaths.h"
#include "orphan/OrphanCleanup.h"
#include "tests/support/TestSupport.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <json/writer.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvel {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::ScratchDir;
using test::StdoutCapture;

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    test::writeFile(path, bytes);
}

// One line per event: what a reader of the stream would check.
std::vector<std::string> summary(const StdoutCapture& capture) {
    std::vector<std::string> out;
    for (const Json::Value& ev : capture.events()) {
        const std::string type = ev["event_type"].asString();
        std::string line;
        if (type == "diagnostic") {
            line = ev["level"].asString() + "|" + ev["message"].asString();
            if (ev.isMember("component")) line += "|" + ev["component"].asString();
        } else if (type == "error") {
            line = "error|" + ev["operation"].asString() + "|" + std::to_string(ev["error_code"].asInt()) + "|" +
                   ev["details"].asString();
        } else if (ev["operation"].asString() == "file:delete") {
            line = "file:delete|" + ev["file_path"].asString() + "|" + (ev["success"].asBool() ? "ok" : "failed");
            if (ev.isMember("system_error_code")) line += "|" + std::to_string(ev["system_error_code"].asUInt());
        } else {
            line = type + "|" + ev["operation"].asString() + "|" + ev["status"].asString();
            if (ev.isMember("details")) line += "|" + ev["details"].asString();
        }
        out.push_back(line);
    }
    return out;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Sets an environment variable for the life of the object.
class EnvVar {
public:
    EnvVar(const wchar_t* name, const wchar_t* value) : name_(name) { SetEnvironmentVariableW(name, value); }
    ~EnvVar() { SetEnvironmentVariableW(name_, nullptr); }

private:
    const wchar_t* name_;
};

// A target tree and a session folder with its files manifest.
class PruneFixture : public ::testing::Test {
public:
    void SetUp() override {
        SetEnvironmentVariableW(L"KORVEL_ORPHAN_CLEANUP", nullptr);
        SetEnvironmentVariableW(L"KORVEL_ORPHAN_CLEANUP_DRYRUN", nullptr);
        target = scratch / L"target";
        session = scratch / L"session";
        manifest = session / L"files.json";
        fs::create_directories(session);
        // Kept: listed (in other case and separators), or below a listed file.
        writeFile(target / L"App.exe", "app");
        writeFile(target / L"bin" / L"Core.DLL", "core");
        // Orphans: a file at the top, a file in a folder of its own, an
        // empty folder.
        writeFile(target / L"old.dll", std::string(10, 'o'));
        writeFile(target / L"gone" / L"stale.txt", std::string(20, 's'));
        fs::create_directories(target / L"bin" / L"empty");
        writeManifest(R"({"sessionRoot":"x","files":[{"file":"app.exe","path":"p1"},{"file":"Bin\\core.dll","path":"p2"}]})");
    }

    void writeManifest(const std::string& text) { test::writeFile(manifest, text); }

    PruneOrphansRequest request(const wchar_t* component = L"client") const {
        PruneOrphansRequest r;
        r.targetPath = target.wstring();
        r.component = component;
        r.sessionRoot = session.wstring();
        r.filesManifest = manifest.wstring();
        return r;
    }

    std::string t(const std::wstring& rel) const { return wideToUtf8((target / rel).wstring()); }

    ScratchDir scratch;
    fs::path target;
    fs::path session;
    fs::path manifest;
};

// A stand-in for GetEnvironmentVariableW that remembers what was asked and
// can fail for one name.
std::vector<std::wstring> g_asked;
std::wstring g_failing;
DWORD WINAPI recordingReader(LPCWSTR name, LPWSTR buffer, DWORD size) {
    g_asked.emplace_back(name);
    if (g_failing == name) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return GetEnvironmentVariableW(name, buffer, size);
}
// Reports a length it never fills, as a value that keeps growing would.
DWORD WINAPI growingReader(LPCWSTR, LPWSTR, DWORD size) { return size + 10; }

bool present(const fs::path& p) { return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST_F(PruneFixture, RemovesOrphansKeepsExpectedAndReportsEveryStep) {
    StdoutCapture capture;
    ASSERT_EQ(runPruneOrphans(request()), 0);
    const std::string m = wideToUtf8(manifest.wstring());
    std::string targetJson = wideToUtf8(target.wstring());
    std::string escaped;
    for (char c : targetJson) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    const std::vector<std::string> expected = {
        "status|prune_orphans|starting",
        "status|orphan_cleanup|starting",
        "INFO|Starting orphan cleanup for client",
        "INFO|Reading expected files from: " + m,
        "INFO|Read 2 expected files from manifest",
        "INFO|Building local inventory of: " + targetJson,
        "INFO|Found 7 items in local inventory",
        "INFO|Wrote local-inventory.json with 7 entries",
        "INFO|Built allowlist with 0 entries for client",
        "status|orphan_cleanup|orphan_cleanup_started|{\"component\":\"client\",\"expectedCount\":2,"
        "\"observedCount\":7,\"targetPath\":\"" + escaped + "\"}",
        "INFO|Computing orphans from 7 observed items against 2 expected files",
        "INFO|Found 2 orphan files and 2 orphan directories",
        // The walk's order: depth first, each folder's entries as listed.
        "status|orphan_cleanup|orphan_candidate|{\"path\":\"gone/stale.txt\",\"size\":20,\"type\":\"file\"}",
        "status|orphan_cleanup|orphan_candidate|{\"path\":\"old.dll\",\"size\":10,\"type\":\"file\"}",
        "status|orphan_cleanup|orphan_candidate|{\"path\":\"bin/empty\",\"size\":0,\"type\":\"dir\"}",
        "status|orphan_cleanup|orphan_candidate|{\"path\":\"gone\",\"size\":0,\"type\":\"dir\"}",
        "file:delete|" + t(L"gone\\stale.txt") + "|ok",
        "status|orphan_cleanup|orphan_removed|{\"path\":\"gone/stale.txt\",\"size\":20}",
        "file:delete|" + t(L"old.dll") + "|ok",
        "status|orphan_cleanup|orphan_removed|{\"path\":\"old.dll\",\"size\":10}",
        "file:delete|" + t(L"bin\\empty") + "|ok",
        "status|orphan_cleanup|orphan_removed|{\"path\":\"bin/empty\",\"size\":0}",
        "file:delete|" + t(L"gone") + "|ok",
        "status|orphan_cleanup|orphan_removed|{\"path\":\"gone\",\"size\":0}",
        "INFO|Wrote orphan-report.json",
        "status|orphan_cleanup|orphan_cleanup_complete|{\"bytesFreed\":30,\"dirsRemoved\":2,\"filesRemoved\":2,"
        "\"filesSkipped\":0}",
        "INFO|Orphan cleanup completed: 2 files, 2 dirs removed, 30 bytes freed, 0 skipped",
        "status|orphan_cleanup|completed",
        "INFO|Orphan cleanup completed: 2 files removed, 2 directories removed, 30 bytes freed",
        "status|prune_orphans|completed",
    };
    EXPECT_EQ(joined(summary(capture)), joined(expected));

    EXPECT_EQ(readFile(target / L"App.exe"), "app");
    EXPECT_EQ(readFile(target / L"bin" / L"Core.DLL"), "core");
    EXPECT_FALSE(present(target / L"old.dll"));
    EXPECT_FALSE(present(target / L"gone"));
    EXPECT_FALSE(present(target / L"bin" / L"empty"));

    const auto item = [](bool dir, const char* path, int size, bool last) {
        return std::string("  {\r\n    \"isDirectory\" : ") + (dir ? "true" : "false") +
               ",\r\n    \"isSymlink\" : false,\r\n    \"path\" : \"" + path + "\",\r\n    \"size\" : " +
               std::to_string(size) + "\r\n  }" + (last ? "\r\n" : ",\r\n");
    };
    EXPECT_EQ(readFile(session / L"local-inventory.json"),
              "[\r\n" + item(false, "app.exe", 3, false) + item(true, "bin", 0, false) +
                  item(false, "bin/core.dll", 4, false) + item(true, "bin/empty", 0, false) +
                  item(true, "gone", 0, false) + item(false, "gone/stale.txt", 20, false) +
                  item(false, "old.dll", 10, true) + "]");
    EXPECT_EQ(readFile(session / L"orphan-report.json"),
              "{\r\n  \"bytesFreed\" : 30,\r\n  \"dirsRemoved\" : 2,\r\n  \"filesRemoved\" : 2,\r\n"
              "  \"filesSkipped\" : 0,\r\n  \"orphans\" : \r\n  [\r\n"
              "    {\r\n      \"path\" : \"gone/stale.txt\",\r\n      \"size\" : 20,\r\n      \"type\" : \"file\"\r\n"
              "    },\r\n"
              "    {\r\n      \"path\" : \"old.dll\",\r\n      \"size\" : 10,\r\n      \"type\" : \"file\"\r\n    },\r\n"
              "    {\r\n      \"path\" : \"bin/empty\",\r\n      \"size\" : 0,\r\n      \"type\" : \"directory\"\r\n"
              "    },\r\n"
              "    {\r\n      \"path\" : \"gone\",\r\n      \"size\" : 0,\r\n      \"type\" : \"directory\"\r\n    }\r\n"
              "  ],\r\n  \"skippedPaths\" : []\r\n}");
    // Nothing is left under a temporary name.
    size_t count = 0;
    for (const auto& e : fs::directory_iterator(session)) {
        (void)e;
        ++count;
    }
    EXPECT_EQ(count, 3u);
}

TEST_F(PruneFixture, DryRunFromThePlanDeletesNothingAndDoesNotReadItsVariable) {
    EnvVar dry(L"KORVEL_ORPHAN_CLEANUP_DRYRUN", L"1");
    g_asked.clear();
    g_failing.clear();
    PruneOrphansRequest r = request();
    r.dryRun = true;
    StdoutCapture capture;
    ASSERT_EQ(runPruneOrphans(r, recordingReader), 0);
    EXPECT_EQ(g_asked, std::vector<std::wstring>{L"KORVEL_ORPHAN_CLEANUP"});
    const std::vector<std::string> events = summary(capture);
    EXPECT_TRUE(contains(events, "INFO|Orphan cleanup running in dry-run mode (via execution plan)")) << joined(events);
    EXPECT_TRUE(contains(events, "INFO|Dry-run mode: would remove 2 files and 2 directories")) << joined(events);
    EXPECT_TRUE(contains(events, "status|orphan_cleanup|orphan_cleanup_complete|{\"bytesFreed\":30,"
                                 "\"dirsRemoved\":2,\"filesRemoved\":2,\"filesSkipped\":0}"));
    EXPECT_EQ(events.back(), "status|prune_orphans|completed");
    for (const std::string& e : events) {
        EXPECT_EQ(e.find("file:delete"), std::string::npos) << e;
        EXPECT_EQ(e.find("orphan_removed"), std::string::npos) << e;
    }
    EXPECT_EQ(readFile(target / L"old.dll"), std::string(10, 'o'));
    EXPECT_TRUE(present(target / L"bin" / L"empty"));
    EXPECT_TRUE(present(target / L"gone" / L"stale.txt"));
    const std::string report = readFile(session / L"orphan-report.json");
    EXPECT_EQ(report.rfind("{\r\n  \"bytesFreed\" : 30,\r\n  \"dirsRemoved\" : 2,\r\n  \"filesRemoved\" : 2,\r\n", 0),
              0u)
        << report;
    EXPECT_NE(report.find("\"skippedPaths\" : []"), std::string::npos);
}

TEST_F(PruneFixture, EnvironmentSwitches) {
    struct Case {
        const wchar_t* cleanup;  // nullptr: not set
        const wchar_t* dryRun;
        const char* outcome;  // "disabled", "dry" or "real"
    } cases[] = {
        {L"FALSE", nullptr, "disabled"}, {L"false", nullptr, "disabled"}, {L"0", nullptr, "disabled"},
        {L"no", nullptr, "real"},        {L"off", nullptr, "real"},       {L" 0", nullptr, "real"},
        {L"1", nullptr, "real"},         {L"true", nullptr, "real"},      {nullptr, L"TRUE", "dry"},
        {nullptr, L"1", "dry"},          {nullptr, L"tRuE", "dry"},       {nullptr, L"yes", "real"},
        {nullptr, L"2", "real"},         {nullptr, L"", "real"},          {nullptr, L" 1", "real"},
        {L"0", L"1", "disabled"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cleanup ? wideToUtf8(c.cleanup) : "-") + " / " +
                     (c.dryRun ? wideToUtf8(c.dryRun) : "-"));
        SetUp();
        SetEnvironmentVariableW(L"KORVEL_ORPHAN_CLEANUP", c.cleanup);
        SetEnvironmentVariableW(L"KORVEL_ORPHAN_CLEANUP_DRYRUN", c.dryRun);
        std::vector<std::string> events;
        {
            StdoutCapture capture;
            EXPECT_EQ(runPruneOrphans(request()), 0);
            events = summary(capture);
        }
        SetEnvironmentVariableW(L"KORVEL_ORPHAN_CLEANUP", nullptr);
        SetEnvironmentVariableW(L"KORVEL_ORPHAN_CLEANUP_DRYRUN", nullptr);
        const std::string outcome = c.outcome;
        const bool dryLine =
            contains(events, "INFO|Orphan cleanup running in dry-run mode (via KORVEL_ORPHAN_CLEANUP_DRYRUN=1)");
        EXPECT_EQ(dryLine, outcome == "dry") << joined(events);
        if (outcome == "disabled") {
            EXPECT_EQ(joined(events), joined({"status|prune_orphans|starting",
                                              "INFO|Orphan cleanup disabled via KORVEL_ORPHAN_CLEANUP=0",
                                              "status|prune_orphans|skipped"}));
        } else {
            EXPECT_EQ(events.back(), "status|prune_orphans|completed");
        }
        EXPECT_EQ(present(target / L"old.dll"), outcome != "real");
    }
}

TEST_F(PruneFixture, ADryRunAskedForButUnreadableIsStillADryRun) {
    EnvVar dry(L"KORVEL_ORPHAN_CLEANUP_DRYRUN", L"1");
    g_asked.clear();
    g_failing = L"KORVEL_ORPHAN_CLEANUP_DRYRUN";
    StdoutCapture capture;
    EXPECT_EQ(runPruneOrphans(request(), recordingReader), 0);
    g_failing.clear();
    const std::vector<std::string> events = summary(capture);
    EXPECT_TRUE(contains(events, "INFO|Orphan cleanup running in dry-run mode (via KORVEL_ORPHAN_CLEANUP_DRYRUN=1)"))
        << joined(events);
    EXPECT_EQ(events.back(), "status|prune_orphans|completed");
    EXPECT_TRUE(present(target / L"old.dll"));
    EXPECT_TRUE(present(target / L"gone" / L"stale.txt"));
}

// Throws where the operation first reads its switches, after the existence
// tests: a failure there must end in a skip that deletes nothing and lets
// the plan go on.
DWORD WINAPI throwingReader(LPCWSTR, LPWSTR, DWORD) { throw std::runtime_error("environment unavailable"); }

TEST_F(PruneFixture, AnExceptionPastTheParameterChecksIsASkip) {
    StdoutCapture capture;
    EXPECT_EQ(runPruneOrphans(request(), throwingReader), 0);
    EXPECT_EQ(joined(summary(capture)),
              joined({"status|prune_orphans|starting",
                      "WARNING|Orphan cleanup skipped after exception: environment unavailable|execution_plan",
                      "status|prune_orphans|skipped|environment unavailable"}));
    EXPECT_TRUE(present(target / L"old.dll"));
    EXPECT_TRUE(present(target / L"gone" / L"stale.txt"));
}

TEST(EnvironmentValue, OnlyNotFoundIsNotSetAndLongValuesAreReadWhole) {
    SetEnvironmentVariableW(L"KORVEL_TEST_VALUE", nullptr);
    EXPECT_EQ(readEnvironmentValue(L"KORVEL_TEST_VALUE").state, EnvironmentValue::State::NotSet);
    SetEnvironmentVariableW(L"KORVEL_TEST_VALUE", L"");
    EnvironmentValue empty = readEnvironmentValue(L"KORVEL_TEST_VALUE");
    EXPECT_EQ(empty.state, EnvironmentValue::State::Set);
    EXPECT_EQ(empty.value, L"");
    const std::wstring longValue(5000, L'x');
    SetEnvironmentVariableW(L"KORVEL_TEST_VALUE", longValue.c_str());
    EnvironmentValue read = readEnvironmentValue(L"KORVEL_TEST_VALUE");
    EXPECT_EQ(read.state, EnvironmentValue::State::Set);
    EXPECT_EQ(read.value, longValue);
    SetEnvironmentVariableW(L"KORVEL_TEST_VALUE", nullptr);
    EXPECT_EQ(readEnvironmentValue(L"KORVEL_TEST_VALUE", growingReader).state, EnvironmentValue::State::Unreadable);
    g_failing = L"KORVEL_TEST_VALUE";
    EXPECT_EQ(readEnvironmentValue(L"KORVEL_TEST_VALUE", recordingReader).state, EnvironmentValue::State::Unreadable);
    g_failing.clear();
}

TEST_F(PruneFixture, ALongDryRunValueIsReadAndIsNotADryRun) {
    const std::wstring value = L"true" + std::wstring(300, L' ');
    EnvVar dry(L"KORVEL_ORPHAN_CLEANUP_DRYRUN", value.c_str());
    StdoutCapture capture;
    EXPECT_EQ(runPruneOrphans(request()), 0);
    EXPECT_FALSE(present(target / L"old.dll"));
}

TEST_F(PruneFixture, ParameterChecks) {
    struct Case {
        const char* name;
        PruneOrphansRequest r;
        int code;
        const char* details;
    };
    PruneOrphansRequest noTarget = request(), noComponent = request(L""), trailing = request(L"launcher "),
                        other = request(L"server"), noSession = request(), noManifest = request();
    noTarget.targetPath.clear();
    noSession.sessionRoot.clear();
    noManifest.filesManifest.clear();
    const Case cases[] = {
        {"target", noTarget, 1, "Missing targetPath"},
        {"component", noComponent, 1, "Missing component (must be 'client' or 'launcher')"},
        {"trailing blank", trailing, 1, "Invalid component: must be 'client' or 'launcher'"},
        {"other", other, 1, "Invalid component: must be 'client' or 'launcher'"},
        {"session", noSession, 1, "Missing session parameters: sessionRoot and filesManifest are required"},
        {"manifest", noManifest, 1, "Missing session parameters: sessionRoot and filesManifest are required"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StdoutCapture capture;
        EXPECT_EQ(runPruneOrphans(c.r), c.code);
        EXPECT_EQ(joined(summary(capture)),
                  joined({"status|prune_orphans|starting", std::string("error|prune_orphans|1|") + c.details}));
    }
    EXPECT_TRUE(present(target / L"old.dll"));
    for (const wchar_t* accepted : {L"Launcher", L"CLIENT"}) {
        PruneOrphansRequest r = request(accepted);
        r.dryRun = true;
        StdoutCapture capture;
        EXPECT_EQ(runPruneOrphans(r), 0);
        EXPECT_EQ(summary(capture).back(), "status|prune_orphans|completed");
    }
}

TEST_F(PruneFixture, EverySkipDeletesNothing) {
    struct Case {
        const char* name;
        std::function<void(PruneFixture&, PruneOrphansRequest&)> prepare;
        const char* status;  // details of the prune_orphans "skipped" status
        const char* skippedDetails;  // details of orphan_cleanup_skipped, "" when the engine did not run
    };
    const Case cases[] = {
        {"session root missing",
         [](PruneFixture& f, PruneOrphansRequest& r) { r.sessionRoot = (f.scratch / L"nosession").wstring(); },
         "Session root is unavailable", ""},
        {"session root missing wins over the disabled switch",
         [](PruneFixture& f, PruneOrphansRequest& r) {
             r.sessionRoot = (f.scratch / L"nosession").wstring();
             SetEnvironmentVariableW(L"KORVEL_ORPHAN_CLEANUP", L"0");
         },
         "Session root is unavailable", ""},
        {"session root a file: it cannot be held, nothing is written into it",
         [](PruneFixture& f, PruneOrphansRequest& r) { r.sessionRoot = (f.target / L"old.dll").wstring(); },
         "Session root is unavailable", ""},
        {"files manifest missing",
         [](PruneFixture& f, PruneOrphansRequest& r) { r.filesManifest = (f.session / L"none.json").wstring(); },
         "Files manifest is unavailable", ""},
        {"files manifest is a folder",
         [](PruneFixture& f, PruneOrphansRequest& r) { r.filesManifest = f.session.wstring(); },
         "expected-files manifest could not be read safely",
         "{\"reason\":\"expected-files manifest could not be read safely\"}"},
        {"files manifest unsafe",
         [](PruneFixture& f, PruneOrphansRequest&) { f.writeManifest(R"({"files":[{"file":"..\\old.dll"}]})"); },
         "expected-files manifest could not be read safely",
         "{\"reason\":\"expected-files manifest could not be read safely\"}"},
        {"files manifest empty",
         [](PruneFixture& f, PruneOrphansRequest&) { f.writeManifest(R"({"files":[]})"); },
         "expected-files manifest was empty; no files were deleted",
         "{\"reason\":\"expected-files manifest was empty; no files were deleted\"}"},
        {"target missing",
         [](PruneFixture& f, PruneOrphansRequest& r) { r.targetPath = (f.scratch / L"notarget").wstring(); },
         "cleanup root could not be pinned safely",
         "{\"reason\":\"cleanup root could not be pinned safely\",\"system_error_code\":2}"},
        {"target is a file",
         [](PruneFixture& f, PruneOrphansRequest& r) { r.targetPath = (f.target / L"old.dll").wstring(); },
         "cleanup root could not be pinned safely",
         "{\"reason\":\"cleanup root could not be pinned safely\",\"system_error_code\":5}"},
        {"target not fully qualified",
         [](PruneFixture& f, PruneOrphansRequest& r) {
             SetCurrentDirectoryW(f.scratch.path().c_str());
             r.targetPath = L"target";
         },
         "cleanup root refused by the dangerous-root check: not a fully qualified path",
         "{\"reason\":\"cleanup root refused by the dangerous-root check: not a fully qualified path\"}"},
        {"target a volume root",
         [](PruneFixture&, PruneOrphansRequest& r) { r.targetPath = L"T:\\"; },
         "cleanup root refused by the dangerous-root check: a volume or share root",
         "{\"reason\":\"cleanup root refused by the dangerous-root check: a volume or share root\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        PruneOrphansRequest r = request();
        c.prepare(*this, r);
        std::vector<std::string> events;
        {
            StdoutCapture capture;
            EXPECT_EQ(runPruneOrphans(r), 0);
            events = summary(capture);
        }
        SetEnvironmentVariableW(L"KORVEL_ORPHAN_CLEANUP", nullptr);
        SetCurrentDirectoryW(L"T:\\");
        EXPECT_EQ(events.back(), std::string("status|prune_orphans|skipped|") + c.status) << joined(events);
        const std::string skipped = std::string("status|orphan_cleanup|orphan_cleanup_skipped|") + c.skippedDetails;
        EXPECT_EQ(contains(events, skipped), *c.skippedDetails != 0) << joined(events);
        if (*c.skippedDetails != 0) {
            // WARNING line with the reason (and the Windows error when there is one).
            bool warned = false;
            for (const std::string& e : events) warned |= e.rfind("WARNING|Orphan cleanup skipped: ", 0) == 0;
            EXPECT_TRUE(warned) << joined(events);
        }
        EXPECT_EQ(readFile(target / L"old.dll"), std::string(10, 'o'));
        EXPECT_TRUE(present(target / L"gone" / L"stale.txt"));
        EXPECT_TRUE(present(target / L"bin" / L"empty"));
        EXPECT_FALSE(present(session / L"orphan-report.json"));
        EXPECT_FALSE(present(session / L"local-inventory.json"));
        fs::remove_all(target);
        fs::remove_all(session);
    }
}

// A delta session carries only what changed: after an apply of the same
// target in the plan, every file of its manifest is expected, and the
// descriptor is the one the apply read.
TEST_F(PruneFixture, AnEarlierApplyOfTheTargetKeepsItsWholeRelease) {
    std::wstring targetFinal;
    uint32_t error = 0;
    ASSERT_TRUE(resolveFinalPath(target.wstring(), targetFinal, error)) << error;
    AppliedRelease applied;
    applied.targetFinalPath = targetFinal;
    applied.manifestFiles = {"App.exe", "old.dll"};
    applied.readDescriptor = true;
    applied.descriptorPath = manifest.wstring();
    applied.descriptorNames = {"bin/core.dll"};
    // Rewritten after the apply read it: names nothing that is there.
    writeManifest(R"({"files":[{"file":"elsewhere.txt","path":"p"}]})");
    AppliedRelease otherTarget = applied;
    otherTarget.targetFinalPath = (scratch / L"other").wstring();
    struct Case {
        const char* name;
        std::vector<AppliedRelease> earlier;
        bool oldKept;
        bool coreKept;
        const char* read;
    } cases[] = {
        {"the same target", {otherTarget, applied}, true, true, "INFO|Read 3 expected files from manifest"},
        {"another target keeps to the descriptor on disk", {otherTarget}, false, false,
         "INFO|Read 1 expected files from manifest"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        writeManifest(R"({"files":[{"file":"elsewhere.txt","path":"p"}]})");
        PruneOrphansRequest r = request();
        r.earlierApplies = &c.earlier;
        StdoutCapture capture;
        ASSERT_EQ(runPruneOrphans(r), 0);
        const std::vector<std::string> events = summary(capture);
        EXPECT_EQ(events.back(), "status|prune_orphans|completed") << joined(events);
        EXPECT_TRUE(contains(events, c.read)) << joined(events);
        EXPECT_EQ(present(target / L"App.exe"), c.oldKept);
        EXPECT_EQ(present(target / L"old.dll"), c.oldKept);
        EXPECT_EQ(present(target / L"bin" / L"Core.DLL"), c.coreKept);
        EXPECT_FALSE(present(target / L"gone"));
        EXPECT_FALSE(present(target / L"bin" / L"empty"));
        fs::remove_all(target);
        fs::remove_all(session);
    }
}

TEST_F(PruneFixture, LockedAndReadOnlyOrphans) {
    writeFile(target / L"ro.txt", "ro");
    SetFileAttributesW((target / L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    ScopedHandle lock(CreateFileW((target / L"gone" / L"stale.txt").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    StdoutCapture capture;
    ASSERT_EQ(runPruneOrphans(request()), 0);
    lock.close();
    const std::vector<std::string> events = summary(capture);
    const std::string sharing = wideToUtf8(formatWin32Error(ERROR_SHARING_VIOLATION));
    const std::string notEmpty = wideToUtf8(formatWin32Error(ERROR_DIR_NOT_EMPTY));
    Json::StreamWriterBuilder compact;
    compact["indentation"] = "";
    EXPECT_TRUE(contains(events, "file:delete|" + t(L"gone\\stale.txt") + "|failed|32")) << joined(events);
    EXPECT_TRUE(contains(events, "status|orphan_cleanup|orphan_skipped_locked|{\"error\":" +
                                     Json::writeString(compact, Json::Value(sharing)) + ",\"path\":\"gone/stale.txt\"}"))
        << joined(events);
    EXPECT_TRUE(contains(events, "WARNING|Failed to remove directory gone: " + notEmpty)) << joined(events);
    EXPECT_TRUE(contains(events, "status|orphan_cleanup|orphan_cleanup_complete|{\"bytesFreed\":12,"
                                 "\"dirsRemoved\":1,\"filesRemoved\":2,\"filesSkipped\":1}"))
        << joined(events);
    EXPECT_FALSE(present(target / L"ro.txt"));
    EXPECT_FALSE(present(target / L"old.dll"));
    EXPECT_TRUE(present(target / L"gone" / L"stale.txt"));
    const std::string report = readFile(session / L"orphan-report.json");
    EXPECT_NE(report.find("\"skippedPaths\" : \r\n  [\r\n    \"gone/stale.txt\"\r\n  ]"), std::string::npos) << report;
}

TEST_F(PruneFixture, ReportsThatCannotBePutInPlaceAreWarningsNotSuccesses) {
    // A folder where each report goes: the text is written under a
    // temporary name but cannot replace it.
    fs::create_directories(session / L"local-inventory.json" / L"x");
    fs::create_directories(session / L"orphan-report.json" / L"x");
    StdoutCapture capture;
    ASSERT_EQ(runPruneOrphans(request()), 0);
    const std::vector<std::string> events = summary(capture);
    EXPECT_TRUE(contains(events, "WARNING|Failed to write local-inventory.json")) << joined(events);
    EXPECT_TRUE(contains(events, "WARNING|Failed to write orphan-report.json")) << joined(events);
    for (const std::string& e : events) EXPECT_EQ(e.find("INFO|Wrote "), std::string::npos) << e;
    EXPECT_TRUE(contains(events, "INFO|Orphan cleanup completed: 2 files, 2 dirs removed, 30 bytes freed, 0 skipped. "
                                 "Warnings: Failed to write local-inventory.json; Failed to write orphan-report.json; "))
        << joined(events);
    EXPECT_EQ(events.back(), "status|prune_orphans|completed");
    EXPECT_FALSE(present(target / L"old.dll"));
    size_t count = 0;
    for (const auto& e : fs::directory_iterator(session)) {
        (void)e;
        ++count;
    }
    EXPECT_EQ(count, 3u) << "no temporary file is left behind";
}

TEST(ReplaceFileContents, ReplacesTheEntryAndLeavesNothingElse) {
    ScratchDir dir;
    const fs::path target = dir / L"report.json";
    test::writeFile(target, "old old old");
    HeldSessionRoot folder;
    std::string failure;
    ASSERT_TRUE(holdSessionRoot(dir.path().wstring(), folder, failure)) << failure;
    ASSERT_TRUE(replaceFileContentsAt(folder.handle.get(), L"report.json", "new"));
    EXPECT_EQ(readFile(target), "new");
    // A second name of the old file keeps the old bytes: the entry is
    // replaced, never written through.
    ASSERT_TRUE(CreateHardLinkW((dir / L"alias.json").c_str(), target.c_str(), nullptr));
    ASSERT_TRUE(replaceFileContentsAt(folder.handle.get(), L"report.json", "newer"));
    EXPECT_EQ(readFile(target), "newer");
    EXPECT_EQ(readFile(dir / L"alias.json"), "new");
    // A name that would leave the folder, or no folder at all.
    EXPECT_FALSE(replaceFileContentsAt(folder.handle.get(), L"missing\\r.json", "x"));
    EXPECT_FALSE(replaceFileContentsAt(folder.handle.get(), L"..\\r.json", "x"));
    EXPECT_FALSE(replaceFileContentsAt(nullptr, L"r.json", "x"));
    size_t count = 0;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        (void)e;
        ++count;
    }
    EXPECT_EQ(count, 2u);
}

TEST_F(PruneFixture, ContainmentViolationStopsTheDeletion) {
    // An entry whose path leads elsewhere than target + key.
    writeFile(scratch / L"outside" / L"secret.txt", "secret");
    OrphanCleanup cleanup;
    PinnedDirectory root;
    uint32_t error = 0;
    ASSERT_TRUE(openDirectoryNoReparse(target.wstring(), root, error, FILE_READ_ATTRIBUTES));
    InventoryEntry bad;
    bad.key = "secret.txt";
    bad.fullPath = (scratch / L"outside" / L"secret.txt").wstring();
    bad.size = 6;
    InventoryEntry later;
    later.key = "old.dll";
    later.fullPath = (target / L"old.dll").wstring();
    OrphanCleanupResult result;
    StdoutCapture capture;
    EXPECT_EQ(cleanup.deleteOrphans(target.wstring(), root, {bad, later}, {}, result), 145);
    const std::vector<std::string> events = summary(capture);
    EXPECT_EQ(joined(events), joined({"file:delete|" + wideToUtf8(bad.fullPath) + "|failed|5",
                                      "error|orphan_cleanup|145|Fatal containment failure while deleting: secret.txt"}));
    EXPECT_EQ(readFile(scratch / L"outside" / L"secret.txt"), "secret");
    EXPECT_TRUE(present(target / L"old.dll"));
    EXPECT_EQ(result.filesRemoved, 0);
}

TEST_F(PruneFixture, NonAsciiKeysAreEscaped) {
    writeFile(target / L"\u00c4pfel.txt", "a");
    StdoutCapture capture;
    ASSERT_EQ(runPruneOrphans(request()), 0);
    EXPECT_NE(capture.text().find("\\\\u00c4pfel.txt"), std::string::npos) << capture.text();
    EXPECT_NE(readFile(session / L"orphan-report.json").find("\"\\u00c4pfel.txt\""), std::string::npos);
    EXPECT_NE(readFile(session / L"local-inventory.json").find("\"\\u00c4pfel.txt\""), std::string::npos);
    EXPECT_FALSE(present(target / L"\u00c4pfel.txt"));
}

}  // namespace
}  // namespace korvel
