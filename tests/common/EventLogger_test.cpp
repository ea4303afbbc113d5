#include "common/EventLogger.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "common/ErrorCodes.h"
#include "common/TextConversion.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;

EventLogger& logger() { return EventLogger::instance(); }

// Everything one call writes to standard output.
std::string capture(const std::function<void()>& call) {
    StdoutCapture cap;
    call();
    return cap.text();
}

Json::Value parseLine(const std::string& line) {
    Json::CharReaderBuilder builder;
    Json::Value v;
    std::string errs;
    std::istringstream in(line);
    EXPECT_TRUE(Json::parseFromStream(builder, in, &v, &errs)) << errs << " in " << line;
    return v;
}

// The single line a call writes, checked to be exactly one "\n"-terminated
// line of pure ASCII.
std::string singleLine(const std::function<void()>& call) {
    const std::string text = capture(call);
    EXPECT_FALSE(text.empty());
    if (text.empty()) return text;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    for (unsigned char c : text) EXPECT_LT(c, 0x80) << text;
    return text;
}

Json::Value singleEvent(const std::function<void()>& call) { return parseLine(singleLine(call)); }

// Member names of a flat JSON object in the order they were written.
std::vector<std::string> keysInOrder(const std::string& line) {
    std::vector<std::string> keys;
    bool inString = false;
    std::string current;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (inString) {
            if (c == '\\') {
                current.push_back(c);
                current.push_back(line[++i]);
            } else if (c == '"') {
                inString = false;
                if (i + 1 < line.size() && line[i + 1] == ':') keys.push_back(current);
            } else {
                current.push_back(c);
            }
        } else if (c == '"') {
            inString = true;
            current.clear();
        }
    }
    return keys;
}

std::set<std::string> memberSet(const Json::Value& v) {
    const auto names = v.getMemberNames();
    return std::set<std::string>(names.begin(), names.end());
}

const std::set<std::string> kEnvelope = {"event_type", "pid", "process", "timestamp"};

std::set<std::string> withEnvelope(std::set<std::string> keys) {
    keys.insert(kEnvelope.begin(), kEnvelope.end());
    return keys;
}

// ---------------------------------------------------------------------------
// Each event kind: its type and exactly its keys.

struct KindCase {
    const char* name;
    std::function<void()> call;
    const char* eventType;
    std::set<std::string> keys;
};

std::vector<KindCase> kindCases() {
    return {
        {"progress", [] { logger().progress("op", 42, "d"); }, "progress", {"operation", "progress", "details"}},
        {"progress without details", [] { logger().progress("op", 42); }, "progress", {"operation", "progress"}},
        {"status", [] { logger().status("op", "running", "d"); }, "status", {"operation", "status", "details"}},
        {"status without details", [] { logger().status("op", "running"); }, "status", {"operation", "status"}},
        {"error", [] { logger().error(141, "op", "d"); }, "error",
         {"operation", "error_code", "error_message", "details"}},
        {"error without details", [] { logger().error(141, "op"); }, "error",
         {"operation", "error_code", "error_message"}},
        {"completion", [] { logger().completion("op", true, "d"); }, "completion",
         {"operation", "success", "details"}},
        {"completion without details", [] { logger().completion("op", false); }, "completion",
         {"operation", "success"}},
        {"log", [] { logger().log(LogLevel::Info, "m", "Comp"); }, "diagnostic", {"level", "message", "component"}},
        {"log without component", [] { logger().log(LogLevel::Warning, "m"); }, "diagnostic", {"level", "message"}},
        {"downloadProgress", [] { logger().downloadProgress("f", 1, 2); }, "progress",
         {"operation", "progress", "details"}},
        {"fileOperation ok", [] { logger().fileOperation("copy", L"T:\\a", true, 0, true); }, "status",
         {"operation", "file_path", "success"}},
        {"fileOperation ok ignores error", [] { logger().fileOperation("copy", L"T:\\a", true, 5, true); }, "status",
         {"operation", "file_path", "success"}},
        {"fileOperation failed, no error", [] { logger().fileOperation("copy", L"T:\\a", false, 0, true); }, "error",
         {"operation", "file_path", "success"}},
        {"fileOperation failed", [] { logger().fileOperation("copy", L"T:\\a", false, 5, true); }, "error",
         {"operation", "file_path", "success", "system_error_code", "error_message"}},
        {"fileOperation failed as status", [] { logger().fileOperation("copy", L"T:\\a", false, 5, false); },
         "status", {"operation", "file_path", "success", "system_error_code", "error_message"}},
        {"prereqInstall", [] { logger().prereqInstall("vc", "installing", "14.0"); }, "status",
         {"operation", "component", "status", "version"}},
        {"prereqInstall without version", [] { logger().prereqInstall("vc", "installing"); }, "status",
         {"operation", "component", "status"}},
        {"manifestProcessing", [] { logger().manifestProcessing("http://m", "parsed", 0); }, "status",
         {"operation", "manifest_url", "status", "files_processed"}},
        {"manifestProcessing without count", [] { logger().manifestProcessing("http://m", "parsed"); }, "status",
         {"operation", "manifest_url", "status"}},
        {"manifestProcessing negative count", [] { logger().manifestProcessing("http://m", "parsed", -7); },
         "status", {"operation", "manifest_url", "status"}},
        {"registryOperation ok", [] { logger().registryOperation("write", "HKLM\\X", true); }, "status",
         {"operation", "key_path", "success"}},
        {"registryOperation failed", [] { logger().registryOperation("write", "HKLM\\X", false); }, "error",
         {"operation", "key_path", "success"}},
        {"shortcutCreate ok", [] { logger().shortcutCreate("Korvel", "C:\\K.exe", true); }, "status",
         {"operation", "shortcut_name", "target_path", "success"}},
        {"shortcutCreate failed", [] { logger().shortcutCreate("Korvel", "C:\\K.exe", false); }, "error",
         {"operation", "shortcut_name", "target_path", "success"}},
    };
}

TEST(EventLoggerKinds, EachKindHasItsTypeAndExactlyItsKeys) {
    for (const KindCase& c : kindCases()) {
        SCOPED_TRACE(c.name);
        const Json::Value v = singleEvent(c.call);
        EXPECT_EQ(v["event_type"].asString(), c.eventType);
        EXPECT_EQ(memberSet(v), withEnvelope(c.keys));
    }
}

TEST(EventLoggerKinds, MembersAreWrittenInAscendingByteOrder) {
    for (const KindCase& c : kindCases()) {
        SCOPED_TRACE(c.name);
        const std::string line = singleLine(c.call);
        const std::vector<std::string> keys = keysInOrder(line);
        std::vector<std::string> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(keys, sorted) << line;
        EXPECT_EQ(keys.size(), withEnvelope(c.keys).size()) << line;
    }
}

TEST(EventLoggerEnvelope, HoldsTimestampTypeProcessAndPid) {
    const std::regex shape(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z$)");
    for (const KindCase& c : kindCases()) {
        SCOPED_TRACE(c.name);
        const Json::Value v = singleEvent(c.call);
        ASSERT_TRUE(v["timestamp"].isString());
        EXPECT_TRUE(std::regex_match(v["timestamp"].asString(), shape)) << v["timestamp"].asString();
        EXPECT_EQ(v["process"].asString(), "KorvelElevated");
        ASSERT_TRUE(v["pid"].isUInt());
        EXPECT_EQ(v["pid"].asUInt(), GetCurrentProcessId());
    }
}

std::string utcNow() {
    SYSTEMTIME st;
    GetSystemTime(&st);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond, st.wMilliseconds);
    return text;
}

TEST(EventLoggerEnvelope, TimestampIsTheCurrentUtcTime) {
    // Fixed-width ISO texts compare in time order.
    const std::string before = utcNow();
    const std::string stamp = EventLogger::currentTimestamp();
    const std::string after = utcNow();
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
}

TEST(EventLoggerFormat, StatusLineIsCompactAndExact) {
    const std::string line = singleLine([] { logger().status("op", "running", "some details"); });
    const Json::Value v = parseLine(line);
    const std::string expected = "{\"details\":\"some details\",\"event_type\":\"status\",\"operation\":\"op\",\"pid\":" +
                                 std::to_string(GetCurrentProcessId()) +
                                 ",\"process\":\"KorvelElevated\",\"status\":\"running\",\"timestamp\":\"" +
                                 v["timestamp"].asString() + "\"}\n";
    EXPECT_EQ(line, expected);
}

TEST(EventLoggerFormat, ErrorLineIsExact) {
    const std::string line = singleLine([] { logger().error(141, "main_operation"); });
    const Json::Value v = parseLine(line);
    EXPECT_EQ(line, "{\"error_code\":141,\"error_message\":\"File not found\",\"event_type\":\"error\","
                    "\"operation\":\"main_operation\",\"pid\":" +
                        std::to_string(GetCurrentProcessId()) + ",\"process\":\"KorvelElevated\",\"timestamp\":\"" +
                        v["timestamp"].asString() + "\"}\n");
}

TEST(EventLoggerFormat, BooleansAndIntegersAreBareTokens) {
    const std::string done = singleLine([] { logger().completion("x", true); });
    EXPECT_NE(done.find("\"success\":true,"), std::string::npos) << done;
    const std::string failed = singleLine([] { logger().completion("x", false); });
    EXPECT_NE(failed.find("\"success\":false,"), std::string::npos) << failed;
    const std::string progress = singleLine([] { logger().progress("x", 7); });
    EXPECT_NE(progress.find("\"progress\":7,"), std::string::npos) << progress;
}

// ---------------------------------------------------------------------------
// Values of the kinds.

TEST(EventLoggerValues, ErrorCarriesCodeAndTableMessage) {
    struct {
        int code;
        const char* message;
    } cases[] = {{4, "Internal error occurred"}, {7, "Failed to connect to logging pipe"},
                 {141, "File not found"},        {0, "Operation completed successfully"},
                 {149, "Unknown error"},         {150, "Unknown error"},
                 {999, "Unknown error"},         {-1, "Unknown error"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const Json::Value v = singleEvent([&] { logger().error(c.code, "op", "why"); });
        EXPECT_EQ(v["error_code"].asInt(), c.code);
        EXPECT_EQ(v["error_message"].asString(), c.message);
        EXPECT_EQ(v["operation"].asString(), "op");
        EXPECT_EQ(v["details"].asString(), "why");
    }
}

TEST(EventLoggerValues, PercentIsClampedToZeroToHundred) {
    struct {
        int in;
        int out;
    } cases[] = {{INT_MIN, 0}, {-1000, 0}, {-1, 0},   {0, 0},       {1, 1},
                 {50, 50},     {99, 99},   {100, 100}, {101, 100}, {INT_MAX, 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const Json::Value v = singleEvent([&] { logger().progress("op", c.in); });
        EXPECT_EQ(v["progress"].asInt(), c.out);
        EXPECT_TRUE(v["progress"].isInt());
    }
}

TEST(EventLoggerValues, DownloadProgress) {
    struct {
        uint64_t downloaded;
        uint64_t total;
        int percent;
        const char* details;
    } cases[] = {
        {0, 0, 0, "Downloaded 0 B"},
        {512, 0, 0, "Downloaded 512 B"},
        {1536, 1048576, 0, "Downloaded 1.5 KB of 1.0 MB"},
        {512, 1024, 50, "Downloaded 512 B of 1.0 KB"},
        {1023, 1024, 99, "Downloaded 1023 B of 1.0 KB"},
        {1024, 1024, 100, "Downloaded 1.0 KB of 1.0 KB"},
        {4096, 1024, 100, "Downloaded 4.0 KB of 1.0 KB"},
        {1ull << 40, 1ull << 41, 50, "Downloaded 1.0 TB of 2.0 TB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.details);
        const Json::Value v = singleEvent([&] { logger().downloadProgress("setup.exe", c.downloaded, c.total); });
        EXPECT_EQ(v["event_type"].asString(), "progress");
        EXPECT_EQ(v["operation"].asString(), "download:setup.exe");
        EXPECT_EQ(v["progress"].asInt(), c.percent);
        EXPECT_EQ(v["details"].asString(), c.details);
    }
}

TEST(EventLoggerValues, FormatByteSize) {
    struct {
        uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 B"},
        {1, "1 B"},
        {512, "512 B"},
        {1023, "1023 B"},
        {1024, "1.0 KB"},
        {1126, "1.1 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024.0 KB"},  // just under a megabyte, rounded for display
        {1048576, "1.0 MB"},
        {1572864, "1.5 MB"},
        {1ull << 30, "1.0 GB"},
        {5ull << 30, "5.0 GB"},
        {1ull << 40, "1.0 TB"},
        {1ull << 50, "1024.0 TB"},
        {1ull << 51, "2048.0 TB"},
        {UINT64_MAX, "16777216.0 TB"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatByteSize(c.bytes), c.text) << c.bytes;
}

TEST(EventLoggerValues, FileOperationFields) {
    const Json::Value ok = singleEvent([] { logger().fileOperation("copy", L"T:\\dir\\a.txt", true, 0, true); });
    EXPECT_EQ(ok["operation"].asString(), "file:copy");
    EXPECT_EQ(ok["file_path"].asString(), "T:\\dir\\a.txt");
    EXPECT_TRUE(ok["success"].asBool());

    const Json::Value failed = singleEvent([] { logger().fileOperation("delete", L"T:\\b", false, 5, true); });
    EXPECT_EQ(failed["event_type"].asString(), "error");
    EXPECT_FALSE(failed["success"].asBool());
    ASSERT_TRUE(failed["system_error_code"].isUInt());
    EXPECT_EQ(failed["system_error_code"].asUInt(), 5u);
    EXPECT_EQ(failed["error_message"].asString(), wideToUtf8(formatWin32Error(5)));
    EXPECT_FALSE(failed.isMember("error_code"));

    // A code with the top bit set stays an unsigned number.
    const Json::Value big = singleEvent([] { logger().fileOperation("x", L"T:\\b", false, 0x80070005u, false); });
    EXPECT_EQ(big["system_error_code"].asUInt(), 0x80070005u);
    const std::string raw = singleLine([] { logger().fileOperation("x", L"T:\\b", false, 0x80070005u, false); });
    EXPECT_NE(raw.find("\"system_error_code\":2147942405,"), std::string::npos) << raw;
}

TEST(EventLoggerValues, FileOperationPathIsUtf8AndNeverThrows) {
    const Json::Value v = singleEvent([] { logger().fileOperation("copy", L"T:\\d\u00e9j\u00e0\\\u4e2d.txt", true, 0, false); });
    EXPECT_EQ(v["file_path"].asString(), "T:\\d\xC3\xA9j\xC3\xA0\\\xE4\xB8\xAD.txt");
    // A lone surrogate cannot be converted strictly; the event still goes out.
    std::wstring broken = L"T:\\x";
    broken.push_back(static_cast<wchar_t>(0xD800));
    const Json::Value b = singleEvent([&] { logger().fileOperation("copy", broken, true, 0, false); });
    EXPECT_EQ(b["operation"].asString(), "file:copy");
    EXPECT_EQ(b["file_path"].asString().rfind("T:\\x", 0), 0u);
}

TEST(EventLoggerValues, OtherKindsFields) {
    const Json::Value p = singleEvent([] { logger().prereqInstall("vcredist", "installed", "14.38"); });
    EXPECT_EQ(p["operation"].asString(), "prereq_install");
    EXPECT_EQ(p["component"].asString(), "vcredist");
    EXPECT_EQ(p["status"].asString(), "installed");
    EXPECT_EQ(p["version"].asString(), "14.38");

    const Json::Value m = singleEvent([] { logger().manifestProcessing("https://cdn/m.json", "applied", 12); });
    EXPECT_EQ(m["operation"].asString(), "manifest_processing");
    EXPECT_EQ(m["manifest_url"].asString(), "https://cdn/m.json");
    EXPECT_EQ(m["files_processed"].asInt(), 12);
    const Json::Value m0 = singleEvent([] { logger().manifestProcessing("u", "s", 0); });
    EXPECT_EQ(m0["files_processed"].asInt(), 0);

    const Json::Value r = singleEvent([] { logger().registryOperation("delete", "HKLM\\SOFTWARE\\K", false); });
    EXPECT_EQ(r["operation"].asString(), "registry:delete");
    EXPECT_EQ(r["key_path"].asString(), "HKLM\\SOFTWARE\\K");
    EXPECT_FALSE(r["success"].asBool());

    const Json::Value s = singleEvent([] { logger().shortcutCreate("Korvel", "C:\\K\\KorvelLauncher.exe", true); });
    EXPECT_EQ(s["operation"].asString(), "shortcut_create");
    EXPECT_EQ(s["shortcut_name"].asString(), "Korvel");
    EXPECT_EQ(s["target_path"].asString(), "C:\\K\\KorvelLauncher.exe");
    EXPECT_TRUE(s["success"].asBool());

    const Json::Value d = singleEvent([] { logger().log(LogLevel::Error, "broke", "FileOperations"); });
    EXPECT_EQ(d["level"].asString(), "ERROR");
    EXPECT_EQ(d["message"].asString(), "broke");
    EXPECT_EQ(d["component"].asString(), "FileOperations");
}

// A component's log helper writes the same diagnostic as a log call naming
// the component.
TEST(EventLoggerValues, ComponentLogLinesCarryTheirComponent) {
    const ComponentLog logLine("RegistryManager");
    const Json::Value d = singleEvent([&] { logLine(LogLevel::Warning, "slow"); });
    EXPECT_EQ(d["event_type"].asString(), "diagnostic");
    EXPECT_EQ(d["level"].asString(), "WARNING");
    EXPECT_EQ(d["message"].asString(), "slow");
    EXPECT_EQ(d["component"].asString(), "RegistryManager");
}

TEST(EventLoggerValues, EmptyOptionalTextsAreLeftOut) {
    EXPECT_FALSE(singleEvent([] { logger().status("op", "s", ""); }).isMember("details"));
    EXPECT_FALSE(singleEvent([] { logger().progress("op", 1, ""); }).isMember("details"));
    EXPECT_FALSE(singleEvent([] { logger().error(4, "op", ""); }).isMember("details"));
    EXPECT_FALSE(singleEvent([] { logger().completion("op", true, ""); }).isMember("details"));
    EXPECT_FALSE(singleEvent([] { logger().log(LogLevel::Info, "m", ""); }).isMember("component"));
    EXPECT_FALSE(singleEvent([] { logger().prereqInstall("c", "s", ""); }).isMember("version"));
    // Empty required texts stay, as empty strings.
    const Json::Value v = singleEvent([] { logger().status("", ""); });
    EXPECT_TRUE(v["operation"].isString());
    EXPECT_EQ(v["status"].asString(), "");
    EXPECT_EQ(singleEvent([] { logger().log(LogLevel::Info, ""); })["message"].asString(), "");
}

// ---------------------------------------------------------------------------
// Escapes: every line is pure ASCII and one line.

TEST(EventLoggerEscapes, NonAsciiAndControlCharactersAreEscaped) {
    struct {
        const char* name;
        std::string message;
        const char* escaped;  // how the message is written inside its quotes
    } cases[] = {
        {"e acute", "caf\xC3\xA9", "caf\\u00e9"},
        {"cjk", "\xE4\xB8\xAD\xE6\x96\x87", "\\u4e2d\\u6587"},
        {"outside the BMP", "\xF0\x9F\x98\x80", "\\ud83d\\ude00"},
        {"line feed", "a\nb", "a\\nb"},
        {"carriage return", "a\rb", "a\\rb"},
        {"tab", "a\tb", "a\\tb"},
        {"other control", std::string("a\x01" "b\x1f"), "a\\u0001b\\u001f"},
        {"nul", std::string("a\0b", 3), "a\\u0000b"},
        {"quote and backslash", "say \"C:\\x\"", "say \\\"C:\\\\x\\\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string line = singleLine([&] { logger().log(LogLevel::Info, c.message); });
        EXPECT_NE(line.find(std::string("\"message\":\"") + c.escaped + "\""), std::string::npos) << line;
        EXPECT_EQ(parseLine(line)["message"].asString(), c.message);
    }
}

TEST(EventLoggerEscapes, InvalidUtf8StillGivesOneAsciiLine) {
    for (const std::string& bad : {std::string("\xFF\xFE"), std::string("a\xC3"), std::string("\xED\xA0\x80")}) {
        const std::string line = singleLine([&] { logger().status("op", "s", bad); });
        EXPECT_TRUE(parseLine(line).isMember("details")) << line;
    }
}

TEST(EventLoggerEscapes, EveryFieldIsEscaped) {
    const std::string e = "\xC3\xA9";
    const std::string line = singleLine([&] { logger().shortcutCreate("n" + e, "t" + e, true); });
    EXPECT_NE(line.find("\"shortcut_name\":\"n\\u00e9\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"target_path\":\"t\\u00e9\""), std::string::npos) << line;
}

// ---------------------------------------------------------------------------
// Levels and the verbose flag.

class VerboseGuard {
public:
    explicit VerboseGuard(bool on) : saved_(logger().verbose) { logger().verbose = on; }
    ~VerboseGuard() { logger().verbose = saved_; }

private:
    bool saved_;
};

TEST(EventLoggerLevels, NamesOfLevelsAndTypes) {
    EXPECT_STREQ(logLevelName(LogLevel::Debug), "DEBUG");
    EXPECT_STREQ(logLevelName(LogLevel::Info), "INFO");
    EXPECT_STREQ(logLevelName(LogLevel::Warning), "WARNING");
    EXPECT_STREQ(logLevelName(LogLevel::Error), "ERROR");
    EXPECT_STREQ(logLevelName(LogLevel::Fatal), "FATAL");
    EXPECT_STREQ(logLevelName(static_cast<LogLevel>(5)), "UNKNOWN");
    EXPECT_STREQ(logLevelName(static_cast<LogLevel>(-1)), "UNKNOWN");
    EXPECT_STREQ(eventTypeName(EventType::Progress), "progress");
    EXPECT_STREQ(eventTypeName(EventType::Status), "status");
    EXPECT_STREQ(eventTypeName(EventType::Error), "error");
    EXPECT_STREQ(eventTypeName(EventType::Completion), "completion");
    EXPECT_STREQ(eventTypeName(EventType::Diagnostic), "diagnostic");
    EXPECT_STREQ(eventTypeName(static_cast<EventType>(9)), "unknown");
}

TEST(EventLoggerLevels, DebugIsWrittenOnlyWhenVerbose) {
    {
        VerboseGuard quiet(false);
        EXPECT_EQ(capture([] { logger().log(LogLevel::Debug, "hidden", "C"); }), "");
        for (LogLevel level : {LogLevel::Info, LogLevel::Warning, LogLevel::Error, LogLevel::Fatal}) {
            EXPECT_EQ(singleEvent([&] { logger().log(level, "shown"); })["level"].asString(), logLevelName(level));
        }
        // An unknown level is not DEBUG, so it is written.
        EXPECT_EQ(singleEvent([] { logger().log(static_cast<LogLevel>(9), "odd"); })["level"].asString(), "UNKNOWN");
    }
    {
        VerboseGuard loud(true);
        const Json::Value v = singleEvent([] { logger().log(LogLevel::Debug, "shown", "C"); });
        EXPECT_EQ(v["level"].asString(), "DEBUG");
        EXPECT_EQ(v["message"].asString(), "shown");
    }
}

TEST(EventLoggerOutput, EachEventIsOneLineInCallOrder) {
    const std::string text = capture([] {
        logger().status("a", "1");
        logger().progress("b", 2);
        logger().log(LogLevel::Info, "c");
    });
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_EQ(parseLine(lines[0])["operation"].asString(), "a");
    EXPECT_EQ(parseLine(lines[1])["operation"].asString(), "b");
    EXPECT_EQ(parseLine(lines[2])["message"].asString(), "c");
}

// ---------------------------------------------------------------------------
// Pipe names.

TEST(EventLoggerPipeName, OnlyPlainPipeNamesAreAccepted) {
    struct {
        const wchar_t* name;
        bool accepted;
    } cases[] = {
        {L"\\\\.\\pipe\\korvel", true},
        {L"\\\\.\\PIPE\\korvel", true},
        {L"\\\\.\\PiPe\\korvel-1234.progress", true},
        {L"\\\\.\\pipe\\LOCAL\\korvel", true},
        {L"\\\\.\\pipe\\a b", true},
        {L"\\\\.\\pipe\\.x", true},
        {L"\\\\.\\pipe\\", false},
        {L"\\\\.\\pipe", false},
        {L"", false},
        {L"korvel", false},
        {L"T:\\victim.txt", false},
        {L"\\\\?\\pipe\\korvel", false},
        {L"//./pipe/korvel", false},
        {L"\\\\.\\pipe/korvel", false},
        {L"\\\\server\\pipe\\korvel", false},
        {L"\\\\.\\pipex\\korvel", false},
        {L"\\\\.\\C:\\victim.txt", false},
        {L"\\\\.\\pipe\\..\\T:\\victim.txt", false},
        {L"\\\\.\\pipe\\x\\..\\..\\T:\\victim.txt", false},
        {L"\\\\.\\pipe\\../T:/victim.txt", false},
        {L"\\\\.\\pipe\\x/../../T:/victim.txt", false},
        {L"\\\\.\\pipe\\.", false},
        {L"\\\\.\\pipe\\..", false},
        {L"\\\\.\\pipe\\...", false},
        {L"\\\\.\\pipe\\.. \\T:\\x", false},
        {L"\\\\.\\pipe\\a\\\\b", false},
        {L"\\\\.\\pipe\\a\\", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isPipeName(c.name), c.accepted) << wideToUtf8(c.name);
    std::wstring withNul = L"\\\\.\\pipe\\a";
    withNul.push_back(L'\0');
    withNul += L"\\..\\..\\T:\\x";
    EXPECT_FALSE(isPipeName(withNul));
}

TEST(EventLoggerPipeName, NonPipeNamesAreNeverOpened) {
    ScratchDir dir;
    const std::filesystem::path victim = dir / L"victim.txt";
    test::writeFile(victim, "precious");
    const std::wstring relative = L"\\\\.\\pipe\\..\\" + victim.wstring();
    for (const std::wstring& name : {victim.wstring(), relative, (dir / L"new.txt").wstring()}) {
        std::lock_guard<std::mutex> lock(logger().mutex);
        EXPECT_FALSE(logger().connectPipe(name, 0)) << wideToUtf8(name);
        EXPECT_FALSE(logger().pipeHandle.valid());
    }
    EXPECT_EQ(test::readFile(victim), "precious");
    EXPECT_FALSE(std::filesystem::exists(dir / L"new.txt"));
    // The victim can still be opened without sharing: nothing holds it.
    ScopedHandle h(CreateFileW(victim.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(h.valid());
}

// ---------------------------------------------------------------------------
// Delivery over the pipe, with a pipe server on a thread of this process.

std::wstring uniquePipeName() {
    static int counter = 0;
    return L"\\\\.\\pipe\\korvel-unit-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
}

// One instance of a named pipe whose reader thread records the lines it
// reads; after `dropAfter` lines (when not negative) it disconnects and
// closes the instance.
class PipeInstance {
public:
    PipeInstance(const std::wstring& name, int dropAfter) : dropAfter_(dropAfter) {
        handle_.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 0,
                                       65536, 0, nullptr));
        EXPECT_TRUE(handle_.valid());
        reader_ = std::thread([this] { run(); });
    }
    ~PipeInstance() {
        if (reader_.joinable()) reader_.join();
    }
    PipeInstance(const PipeInstance&) = delete;
    PipeInstance& operator=(const PipeInstance&) = delete;

    // Waits for the reader to end (the client closed, or the drop).
    std::vector<std::string> finish() {
        if (reader_.joinable()) reader_.join();
        std::lock_guard<std::mutex> lock(m_);
        return lines_;
    }
    void waitForLines(size_t n) {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return lines_.size() >= n || done_; });
    }

private:
    void run() {
        if (!handle_.valid()) return;
        if (!ConnectNamedPipe(handle_.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
        std::string line;
        for (;;) {
            char c;
            DWORD got = 0;
            if (!ReadFile(handle_.get(), &c, 1, &got, nullptr) || got == 0) break;
            line.push_back(c);
            if (c != '\n') continue;
            std::lock_guard<std::mutex> lock(m_);
            lines_.push_back(line);
            line.clear();
            cv_.notify_all();
            if (static_cast<int>(lines_.size()) == dropAfter_) break;
        }
        DisconnectNamedPipe(handle_.get());
        handle_.reset();
        std::lock_guard<std::mutex> lock(m_);
        done_ = true;
        cv_.notify_all();
    }

    int dropAfter_;
    ScopedHandle handle_;
    std::thread reader_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    bool done_ = false;
};

// Binds the logger to a pipe for one test and restores plain standard
// output afterwards.
class PipeBinding {
public:
    explicit PipeBinding(const std::wstring& name, uint32_t reconnectMs) {
        std::lock_guard<std::mutex> lock(logger().mutex);
        logger().pipeName = name;
        logger().reconnectTimeoutMs = reconnectMs;
        connected_ = logger().connectPipe(name, 5000);
    }
    ~PipeBinding() { release(); }
    PipeBinding(const PipeBinding&) = delete;
    PipeBinding& operator=(const PipeBinding&) = delete;
    bool connected() const { return connected_; }
    // Closes the client end, so that the server's reader ends.
    void release() {
        std::lock_guard<std::mutex> lock(logger().mutex);
        logger().pipeHandle.reset();
        logger().pipeName.clear();
        logger().reconnectTimeoutMs = 15000;
    }

private:
    bool connected_ = false;
};

std::string operationOf(const std::string& line) { return parseLine(line)["operation"].asString(); }

std::vector<std::string> operations(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(operationOf(l));
    return out;
}

std::vector<std::string> stdoutOperations(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(operationOf(l));
    return out;
}

TEST(EventLoggerPipe, LinesGoToThePipeAndNotToStandardOutput) {
    const std::wstring name = uniquePipeName();
    PipeInstance server(name, -1);
    StdoutCapture cap;
    PipeBinding binding(name, 500);
    ASSERT_TRUE(binding.connected());
    logger().status("one", "s");
    logger().progress("two", 5, "caf\xC3\xA9");
    logger().log(LogLevel::Info, "three");
    binding.release();
    const auto lines = server.finish();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(operationOf(lines[0]), "one");
    EXPECT_EQ(operationOf(lines[1]), "two");
    EXPECT_EQ(parseLine(lines[2])["message"].asString(), "three");
    for (const auto& l : lines) {
        EXPECT_EQ(l.back(), '\n');
        EXPECT_EQ(l.find('\r'), std::string::npos);
    }
    EXPECT_NE(lines[1].find("caf\\u00e9"), std::string::npos);
    EXPECT_EQ(cap.text(), "");
}

// Each line is flushed: a call returns only once the server has read the
// whole line, so nothing of it is left in the pipe when the call returns.
// The server takes its time before it reads, which a call that did not wait
// would not.
TEST(EventLoggerPipe, EachLineIsReadBeforeTheCallReturns) {
    const std::wstring name = uniquePipeName();
    ScopedHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 65536, 0, nullptr));
    ASSERT_TRUE(server.valid());
    const HANDLE pipe = server.get();
    std::thread reader([pipe] {
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
        for (;;) {
            DWORD available = 0;
            while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available == 0) Sleep(5);
            if (available == 0) return;  // the client went away
            Sleep(300);
            std::string chunk(available, '\0');
            DWORD got = 0;
            if (!ReadFile(pipe, &chunk[0], available, &got, nullptr) || got == 0) return;
        }
    });
    bool connected;
    {
        PipeBinding binding(name, 500);
        connected = binding.connected();
        EXPECT_TRUE(connected);
        for (int i = 1; connected && i <= 3; ++i) {
            logger().status("line", std::to_string(i));
            DWORD left = 1;
            EXPECT_TRUE(PeekNamedPipe(pipe, nullptr, 0, nullptr, &left, nullptr));
            EXPECT_EQ(left, 0u);
        }
    }
    if (!connected) {
        // The reader still waits for a client: one that comes and goes ends it.
        ScopedHandle client(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    reader.join();
    DisconnectNamedPipe(pipe);
}

TEST(EventLoggerPipe, LineThatFailedReachesThePipeWhenTheReconnectionSucceeds) {
    const std::wstring name = uniquePipeName();
    auto first = std::make_unique<PipeInstance>(name, 1);
    StdoutCapture cap;
    PipeBinding binding(name, 20000);
    ASSERT_TRUE(binding.connected());
    // The second instance exists before the first one drops its client.
    PipeInstance second(name, -1);
    logger().status("one", "s");
    const auto firstLines = first->finish();
    logger().status("two", "s");
    logger().status("three", "s");
    binding.release();
    EXPECT_EQ(operations(firstLines), std::vector<std::string>({"one"}));
    EXPECT_EQ(operations(second.finish()), std::vector<std::string>({"two", "three"}));
    EXPECT_EQ(cap.text(), "");
}

TEST(EventLoggerPipe, LostPipeThenLaterLinesTryOnceWithoutWaiting) {
    const std::wstring name = uniquePipeName();
    auto first = std::make_unique<PipeInstance>(name, 1);
    StdoutCapture cap;
    PipeBinding binding(name, 300);
    ASSERT_TRUE(binding.connected());
    logger().status("one", "s");
    first->finish();

    // Nothing serves the pipe: the line goes to standard output after the
    // one reconnection attempt.
    logger().status("two", "s");
    EXPECT_EQ(stdoutOperations(cap.text()), std::vector<std::string>({"two"}));

    // From now on a line makes one immediate attempt. Were it to wait its
    // full time-out, it would find the pipe that appears a moment later.
    logger().reconnectTimeoutMs = 60000;
    std::unique_ptr<PipeInstance> late;
    std::atomic<bool> created{false};
    std::thread maker([&] {
        Sleep(1500);
        late = std::make_unique<PipeInstance>(name, -1);
        created = true;
    });
    logger().status("three", "s");
    EXPECT_EQ(stdoutOperations(cap.text()), std::vector<std::string>({"two", "three"}));
    maker.join();
    ASSERT_TRUE(created);

    // The pipe is back: the next line's immediate attempt finds it.
    logger().status("four", "s");
    logger().status("five", "s");
    binding.release();
    EXPECT_EQ(operations(late->finish()), std::vector<std::string>({"four", "five"}));
    EXPECT_EQ(stdoutOperations(cap.text()), std::vector<std::string>({"two", "three"}));
}

TEST(EventLoggerPipe, AfterReconnectingALaterLossWaitsAgain) {
    const std::wstring name = uniquePipeName();
    auto first = std::make_unique<PipeInstance>(name, 1);
    StdoutCapture cap;
    PipeBinding binding(name, 200);
    ASSERT_TRUE(binding.connected());
    logger().status("one", "s");
    first->finish();
    logger().status("two", "s");  // reconnection fails: standard output

    auto second = std::make_unique<PipeInstance>(name, 1);
    logger().status("three", "s");  // immediate attempt connects
    second->finish();

    // The pipe was lost again; this time the reconnection waits its full
    // time-out and so finds the server that comes back a moment later.
    logger().reconnectTimeoutMs = 20000;
    std::unique_ptr<PipeInstance> third;
    std::thread maker([&] {
        Sleep(1000);
        third = std::make_unique<PipeInstance>(name, -1);
    });
    logger().status("four", "s");
    maker.join();
    binding.release();
    EXPECT_EQ(operations(third->finish()), std::vector<std::string>({"four"}));
    EXPECT_EQ(stdoutOperations(cap.text()), std::vector<std::string>({"two"}));
}

TEST(EventLoggerPipe, ConnectWaitsForAPipeThatComesUpLate) {
    const std::wstring name = uniquePipeName();
    std::unique_ptr<PipeInstance> late;
    std::thread maker([&] {
        Sleep(800);
        late = std::make_unique<PipeInstance>(name, -1);
    });
    bool connected;
    {
        std::lock_guard<std::mutex> lock(logger().mutex);
        connected = logger().connectPipe(name, 20000);
    }
    maker.join();
    EXPECT_TRUE(connected);
    {
        std::lock_guard<std::mutex> lock(logger().mutex);
        logger().pipeHandle.reset();
    }
    // The server's reader ends once the client end is closed.
    EXPECT_TRUE(late->finish().empty());
}

TEST(EventLoggerPipe, ConnectGivesUpOnAMissingPipe) {
    std::lock_guard<std::mutex> lock(logger().mutex);
    EXPECT_FALSE(logger().connectPipe(uniquePipeName(), 300));
    EXPECT_FALSE(logger().pipeHandle.valid());
}

}  // namespace
}  // namespace korvel
