// The uninstaller's entry: command line, console texts on each stream, the
// elevation refusal and the handling of escaping exceptions.
#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/elevated/StreamCapture.h"
#include "tests/uninstall/UninstallerRun.h"
#include "uninstall/UninstallOptions.h"
#include "uninstall/Uninstaller.h"

namespace korvel {
namespace {

using test::ProgramRun;
using test::runUninstallerWith;
using test::StreamCapture;

struct ParseCase {
    std::vector<std::wstring> args;
    bool ok;
    bool continueRun;
    UninstallOptions expected;
    std::string err;
};

UninstallOptions with(void (*set)(UninstallOptions&)) {
    UninstallOptions o;
    set(o);
    return o;
}

TEST(UninstallCommandLine, ParsesTheTable) {
    const std::string unknownTail = "Use --help for usage information\n";
    const std::vector<ParseCase> cases = {
        {{}, true, true, UninstallOptions(), ""},
        {{L"--force", L"--purge", L"--keep-logs", L"--quiet", L"--verbose", L"--force"},
         true,
         true,
         with([](UninstallOptions& o) { o.force = o.purge = o.keepLogs = o.quiet = o.verbose = true; }),
         ""},
        {{L"--install-path", L"--force"}, true, true, with([](UninstallOptions& o) { o.installPath = L"--force"; }),
         ""},
        // The last value wins, even an empty one.
        {{L"--install-path", L"A", L"--install-path", L""}, true, true, UninstallOptions(), ""},
        {{L"--progress-pipe", L"--x", L"--quiet"},
         true,
         true,
         with([](UninstallOptions& o) {
             o.progressPipe = L"--x";
             o.quiet = true;
         }),
         ""},
        {{L"--install-path"}, false, true, UninstallOptions(), "Error: --install-path requires a path\n"},
        {{L"--progress-pipe"}, false, true, UninstallOptions(), "Error: --progress-pipe requires a pipe name\n"},
        {{L"--FORCE"}, false, true, UninstallOptions(), "Error: Unknown option: --FORCE\n" + unknownTail},
        {{L""}, false, true, UninstallOptions(), "Error: Unknown option: \n" + unknownTail},
        {{L"--bogus", L"--help"}, false, true, UninstallOptions(), "Error: Unknown option: --bogus\n" + unknownTail},
        {{L"--help", L"--bogus"}, true, false, UninstallOptions(), ""},
        {{L"--version", L"--bogus"}, true, false, UninstallOptions(), ""},
        {{L"positional"}, false, true, UninstallOptions(), "Error: Unknown option: positional\n" + unknownTail},
    };
    for (const ParseCase& c : cases) {
        std::vector<const wchar_t*> argv{L"KorvelUninstall.exe"};
        for (const std::wstring& a : c.args) argv.push_back(a.c_str());
        UninstallOptions options;
        bool continueRun = true;
        StreamCapture err(STD_ERROR_HANDLE);
        const bool ok = parseArguments(static_cast<int>(argv.size()), argv.data(), options, continueRun);
        const std::string label = c.args.empty() ? std::string("(none)") : std::to_string(c.args.size()) + " args";
        EXPECT_EQ(ok, c.ok) << label;
        EXPECT_EQ(continueRun, c.continueRun) << label;
        EXPECT_EQ(err.text(), c.err) << label;
        if (!c.ok || !c.continueRun) continue;
        EXPECT_EQ(options.force, c.expected.force) << label;
        EXPECT_EQ(options.purge, c.expected.purge) << label;
        EXPECT_EQ(options.keepLogs, c.expected.keepLogs) << label;
        EXPECT_EQ(options.quiet, c.expected.quiet) << label;
        EXPECT_EQ(options.verbose, c.expected.verbose) << label;
        EXPECT_EQ(options.progressPipe, c.expected.progressPipe) << label;
        EXPECT_EQ(options.installPath, c.expected.installPath) << label;
    }
}

TEST(UninstallCommandLine, HelpAndVersionGoToStandardOutputEvenWhenQuiet) {
    const ProgramRun help = runUninstallerWith({L"--quiet", L"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out, uninstallUsageText());
    EXPECT_EQ(help.err, "");
    EXPECT_NE(help.out.find("Korvel Uninstaller v1.0.0\n\nUsage: KorvelUninstall.exe [OPTIONS]\n\nOptions:\n"),
              std::string::npos);
    EXPECT_NE(help.out.find("  --purge              Remove user data (%LOCALAPPDATA%\\Korvel)\n"), std::string::npos);
    EXPECT_NE(help.out.find("  10   Installation not found\n"), std::string::npos);
    EXPECT_EQ(help.out.substr(help.out.size() - 36), "  200+ Process termination failures\n");

    const ProgramRun version = runUninstallerWith({L"--version", L"--quiet"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.err, "");
    EXPECT_TRUE(std::regex_match(
        version.out,
        std::regex("Korvel Uninstaller v1\\.0\\.0\nBuilt: [A-Z][a-z]{2} [1-9][0-9]? [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\n")))
        << version.out;
}

TEST(UninstallCommandLine, ErrorsExitOneWithoutEvents) {
    const ProgramRun bad = runUninstallerWith({L"--quiet", L"--nope"});
    EXPECT_EQ(bad.code, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "Error: Unknown option: --nope\nUse --help for usage information\n");
}

TEST(UninstallCommandLine, NotElevatedExitsTwoWithoutEventsAlsoWhenQuiet) {
    for (bool quiet : {false, true}) {
        const ProgramRun run = runUninstallerWith(quiet ? std::vector<std::wstring>{L"--quiet", L"--force"}
                                      : std::vector<std::wstring>{L"--force"},
                                false);
        EXPECT_EQ(run.code, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "Error: This program requires administrator privileges\nPlease run as administrator\n");
    }
}

TEST(UninstallCommandLine, ProcessTokenReadsElevatedUnderWine) {
    // Wine gives every process an elevated token; on Windows this test runs
    // from an elevated prompt, as the program's manifest demands.
    EXPECT_TRUE(isProcessElevated());
}

TEST(UninstallEntry, EscapingExceptionsEndWithFour) {
    {
        StreamCapture out(STD_OUTPUT_HANDLE);
        StreamCapture err(STD_ERROR_HANDLE);
        EXPECT_EQ(runUninstallerGuarded([]() -> int { throw std::runtime_error("boom"); }), 4);
        EXPECT_EQ(err.text(), "Fatal uninstaller error: boom\n");
        EXPECT_NE(out.text().find("\"message\":\"Unhandled uninstaller exception: boom\""), std::string::npos);
        EXPECT_NE(out.text().find("\"level\":\"FATAL\""), std::string::npos);
    }
    {
        StreamCapture out(STD_OUTPUT_HANDLE);
        StreamCapture err(STD_ERROR_HANDLE);
        EXPECT_EQ(runUninstallerGuarded([]() -> int { throw 7; }), 4);
        EXPECT_EQ(err.text(), "");
        EXPECT_NE(out.text().find("Unhandled non-standard uninstaller exception"), std::string::npos);
    }
    EXPECT_EQ(runUninstallerGuarded([] { return 147; }), 147);
}

}  // namespace
}  // namespace korvel
