#include "elevated/CommandLine.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/TextConversion.h"
#include "tests/elevated/StreamCapture.h"

namespace korvel {
namespace {

using test::StreamCapture;

struct Parsed {
    int result = -1;
    HelperOptions options;
    std::string out;
    std::string err;
};

Parsed parse(const std::vector<std::wstring>& args) {
    std::vector<const wchar_t*> argv{L"K:\\KorvelElevated.exe"};
    for (const auto& a : args) argv.push_back(a.c_str());
    Parsed p;
    StreamCapture out(STD_OUTPUT_HANDLE);
    StreamCapture err(STD_ERROR_HANDLE);
    p.result = parseCommandLine(static_cast<int>(argv.size()), argv.data(), p.options);
    p.out = out.text();
    p.err = err.text();
    return p;
}

std::string describe(const std::vector<std::wstring>& args) {
    std::string s;
    for (const auto& a : args) s += "[" + wideToUtf8(a) + "] ";
    return s;
}

// ---------------------------------------------------------------------------
// Every failure: result 1 and exactly one line on standard error.

struct ErrorCase {
    std::vector<std::wstring> args;
    std::wstring message;
};

void expectError(const ErrorCase& c) {
    SCOPED_TRACE(describe(c.args));
    const Parsed p = parse(c.args);
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.err, wideToUtf8(c.message) + "\n");
    EXPECT_EQ(p.out, "");
}

TEST(CommandLineErrors, UnknownArguments) {
    const ErrorCase cases[] = {
        {{L"--Verbose"}, L"Error: Unknown argument: --Verbose"},
        {{L"-V"}, L"Error: Unknown argument: -V"},
        {{L"--cdn=https://cdn"}, L"Error: Unknown argument: --cdn=https://cdn"},
        {{L"remove"}, L"Error: Unknown argument: remove"},
        {{L""}, L"Error: Unknown argument: "},
        {{L"--HELP"}, L"Error: Unknown argument: --HELP"},
        {{L"-H"}, L"Error: Unknown argument: -H"},
        {{L"/h"}, L"Error: Unknown argument: /h"},
        {{L"-?"}, L"Error: Unknown argument: -?"},
        {{L"--install-prereq"}, L"Error: Unknown argument: --install-prereq"},
        {{L"--remove "}, L"Error: Unknown argument: --remove "},
        {{L" --remove"}, L"Error: Unknown argument:  --remove"},
        {{L"--purge=true"}, L"Error: Unknown argument: --purge=true"},
        {{L"-purge"}, L"Error: Unknown argument: -purge"},
        {{L"--progress_pipe", L"x"}, L"Error: Unknown argument: --progress_pipe"},
        {{L"--ziel\u00e9\u4e2d"}, L"Error: Unknown argument: --ziel\u00e9\u4e2d"},
        // Only the first problem is reported.
        {{L"--bogus", L"--also-bogus"}, L"Error: Unknown argument: --bogus"},
        {{L"--bogus", L"--remove"}, L"Error: Unknown argument: --bogus"},
        {{L"--remove", L"--target", L"T:\\x", L"extra"}, L"Error: Unknown argument: extra"},
        // The help flag does not stop parsing.
        {{L"--help", L"--bogus"}, L"Error: Unknown argument: --bogus"},
        {{L"-h", L"-V"}, L"Error: Unknown argument: -V"},
        {{L"/?", L"x"}, L"Error: Unknown argument: x"},
    };
    for (const auto& c : cases) expectError(c);
}

TEST(CommandLineErrors, MissingValues) {
    const ErrorCase cases[] = {
        {{L"--apply-manifest"}, L"Error: --apply-manifest requires manifest URL"},
        {{L"--execute-plan"}, L"Error: --execute-plan requires plan file path"},
        {{L"--cdn"}, L"Error: --cdn requires URL"},
        {{L"--target"}, L"Error: --target requires path"},
        {{L"--session-root"}, L"Error: --session-root requires path"},
        {{L"--files-manifest"}, L"Error: --files-manifest requires path"},
        {{L"--progress-pipe"}, L"Error: --progress-pipe requires pipe name"},
        {{L"--version"}, L"Error: --version requires version string"},
        // A missing value comes before the command's requirements.
        {{L"--remove", L"--target"}, L"Error: --target requires path"},
        {{L"--install-prereqs", L"--cdn"}, L"Error: --cdn requires URL"},
        {{L"--help", L"--cdn"}, L"Error: --cdn requires URL"},
        {{L"--remove", L"--target", L"T:\\x", L"--version"}, L"Error: --version requires version string"},
    };
    for (const auto& c : cases) expectError(c);
}

const std::vector<std::vector<std::wstring>>& commandForms() {
    // Each command as written, with the value that the two valued ones take.
    static const std::vector<std::vector<std::wstring>> forms = {
        {L"--install-prereqs"},       {L"--apply-manifest", L"https://m"}, {L"--write-uninstall"},
        {L"--create-shortcuts"},      {L"--release-session"},              {L"--remove"},
        {L"--execute-plan", L"p.json"},
    };
    return forms;
}

TEST(CommandLineErrors, MultipleCommandsForEveryPair) {
    for (const auto& first : commandForms()) {
        for (const auto& second : commandForms()) {
            std::vector<std::wstring> args = first;
            args.insert(args.end(), second.begin(), second.end());
            expectError({args, L"Error: Multiple commands specified"});
        }
    }
}

TEST(CommandLineErrors, MultipleCommandsComesBeforeMissingValue) {
    const ErrorCase cases[] = {
        {{L"--remove", L"--apply-manifest"}, L"Error: Multiple commands specified"},
        {{L"--remove", L"--execute-plan"}, L"Error: Multiple commands specified"},
        {{L"--apply-manifest", L"u", L"--apply-manifest"}, L"Error: Multiple commands specified"},
        {{L"--install-prereqs", L"--install-prereqs"}, L"Error: Multiple commands specified"},
        {{L"--install-prereqs", L"--install-prereqs", L"--bogus"}, L"Error: Multiple commands specified"},
        {{L"--help", L"--remove", L"--remove"}, L"Error: Multiple commands specified"},
    };
    for (const auto& c : cases) expectError(c);
}

TEST(CommandLineErrors, RequirementsAfterTheLastArgument) {
    const ErrorCase cases[] = {
        {{L"--install-prereqs"}, L"Error: --install-prereqs requires --cdn"},
        {{L"--install-prereqs", L"--cdn", L""}, L"Error: --install-prereqs requires --cdn"},
        {{L"--cdn", L"c", L"--cdn", L"", L"--install-prereqs"}, L"Error: --install-prereqs requires --cdn"},
        {{L"--apply-manifest", L"u"}, L"Error: --apply-manifest requires --target and --cdn"},
        {{L"--apply-manifest", L"u", L"--target", L"t"}, L"Error: --apply-manifest requires --target and --cdn"},
        {{L"--apply-manifest", L"u", L"--cdn", L"c"}, L"Error: --apply-manifest requires --target and --cdn"},
        {{L"--apply-manifest", L"", L"--target", L"t", L"--cdn", L"c"},
         L"Error: --apply-manifest requires --target and --cdn"},
        {{L"--apply-manifest", L"--target", L"--cdn", L"c"},
         L"Error: --apply-manifest requires --target and --cdn"},
        // The first requirement is checked before the pairing of the session options.
        {{L"--apply-manifest", L"u", L"--target", L"t", L"--session-root", L"s"},
         L"Error: --apply-manifest requires --target and --cdn"},
        {{L"--apply-manifest", L"u", L"--target", L"t", L"--cdn", L"c", L"--session-root", L"s"},
         L"Error: --session-root and --files-manifest must be provided together"},
        {{L"--apply-manifest", L"u", L"--target", L"t", L"--cdn", L"c", L"--files-manifest", L"f"},
         L"Error: --session-root and --files-manifest must be provided together"},
        {{L"--apply-manifest", L"u", L"--target", L"t", L"--cdn", L"c", L"--session-root", L"s", L"--files-manifest",
          L""},
         L"Error: --session-root and --files-manifest must be provided together"},
        {{L"--write-uninstall"}, L"Error: --write-uninstall requires --target and --version"},
        {{L"--write-uninstall", L"--target", L"t"}, L"Error: --write-uninstall requires --target and --version"},
        {{L"--write-uninstall", L"--version", L"1.2.3"}, L"Error: --write-uninstall requires --target and --version"},
        {{L"--create-shortcuts"}, L"Error: --create-shortcuts requires --target"},
        {{L"--create-shortcuts", L"--cdn", L"c"}, L"Error: --create-shortcuts requires --target"},
        {{L"--release-session"}, L"Error: --release-session requires --session-root"},
        {{L"--release-session", L"--target", L"t"}, L"Error: --release-session requires --session-root"},
        {{L"--remove"}, L"Error: --remove requires --target"},
        {{L"--remove", L"--target", L""}, L"Error: --remove requires --target"},
        {{L"--remove", L"--purge"}, L"Error: --remove requires --target"},
        {{L"--help", L"--remove"}, L"Error: --remove requires --target"},
        {{L"--remove", L"--help"}, L"Error: --remove requires --target"},
        {{L"--execute-plan", L""}, L"Error: --execute-plan requires plan file path"},
    };
    for (const auto& c : cases) expectError(c);
}

// ---------------------------------------------------------------------------
// Successful parses: result 0, nothing written, the record as expected.

struct GoodCase {
    std::vector<std::wstring> args;
    std::function<void(const HelperOptions&)> check;
};

void expectGood(const GoodCase& c) {
    SCOPED_TRACE(describe(c.args));
    const Parsed p = parse(c.args);
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.out, "");
    c.check(p.options);
}

TEST(CommandLineParse, NoArgumentsGiveAnEmptyRecord) {
    expectGood({{}, [](const HelperOptions& o) {
                    EXPECT_EQ(o.command, HelperCommand::None);
                    EXPECT_TRUE(o.cdn.empty());
                    EXPECT_TRUE(o.manifestUrl.empty());
                    EXPECT_TRUE(o.target.empty());
                    EXPECT_TRUE(o.version.empty());
                    EXPECT_TRUE(o.sessionRoot.empty());
                    EXPECT_TRUE(o.filesManifest.empty());
                    EXPECT_TRUE(o.progressPipe.empty());
                    EXPECT_TRUE(o.planFile.empty());
                    EXPECT_FALSE(o.purge);
                    EXPECT_FALSE(o.verbose);
                    EXPECT_FALSE(o.help);
                }});
}

TEST(CommandLineParse, EachCommandWithWhatItNeeds) {
    const GoodCase cases[] = {
        {{L"--install-prereqs", L"--cdn", L"https://cdn/"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.command, HelperCommand::InstallPrereqs);
             EXPECT_EQ(o.cdn, L"https://cdn/");
         }},
        {{L"--apply-manifest", L"https://m/x.json", L"--target", L"C:\\K", L"--cdn", L"https://c"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.command, HelperCommand::ApplyManifest);
             EXPECT_EQ(o.manifestUrl, L"https://m/x.json");
             EXPECT_EQ(o.target, L"C:\\K");
             EXPECT_EQ(o.cdn, L"https://c");
             EXPECT_TRUE(o.sessionRoot.empty());
         }},
        {{L"--cdn", L"c", L"--target", L"t", L"--apply-manifest", L"u", L"--session-root", L"T:\\s",
          L"--files-manifest", L"T:\\s\\f.json"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.command, HelperCommand::ApplyManifest);
             EXPECT_EQ(o.sessionRoot, L"T:\\s");
             EXPECT_EQ(o.filesManifest, L"T:\\s\\f.json");
         }},
        {{L"--write-uninstall", L"--target", L"C:\\K", L"--version", L"2.3.4"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.command, HelperCommand::WriteUninstall);
             EXPECT_EQ(o.version, L"2.3.4");
         }},
        {{L"--create-shortcuts", L"--target", L"C:\\K"},
         [](const HelperOptions& o) { EXPECT_EQ(o.command, HelperCommand::CreateShortcuts); }},
        {{L"--release-session", L"--session-root", L"T:\\s"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.command, HelperCommand::ReleaseSession);
             EXPECT_EQ(o.sessionRoot, L"T:\\s");
         }},
        {{L"--remove", L"--target", L"C:\\K", L"--purge"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.command, HelperCommand::Remove);
             EXPECT_TRUE(o.purge);
         }},
        {{L"--execute-plan", L"T:\\plan.json"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.command, HelperCommand::ExecutePlan);
             EXPECT_EQ(o.planFile, L"T:\\plan.json");
         }},
        // Options a command does not use are accepted and kept.
        {{L"--execute-plan", L"p", L"--target", L"C:\\K", L"--purge"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.command, HelperCommand::ExecutePlan);
             EXPECT_EQ(o.target, L"C:\\K");
             EXPECT_TRUE(o.purge);
         }},
        {{L"--remove", L"--target", L"t", L"--session-root", L"s", L"--version", L"1", L"--cdn", L"c"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.command, HelperCommand::Remove);
             EXPECT_EQ(o.sessionRoot, L"s");
         }},
    };
    for (const auto& c : cases) expectGood(c);
}

TEST(CommandLineParse, CommandValuesAreTheDispatchNumbers) {
    EXPECT_EQ(static_cast<int>(HelperCommand::None), 0);
    EXPECT_EQ(static_cast<int>(HelperCommand::InstallPrereqs), 1);
    EXPECT_EQ(static_cast<int>(HelperCommand::ApplyManifest), 2);
    EXPECT_EQ(static_cast<int>(HelperCommand::WriteUninstall), 3);
    EXPECT_EQ(static_cast<int>(HelperCommand::CreateShortcuts), 4);
    EXPECT_EQ(static_cast<int>(HelperCommand::ReleaseSession), 5);
    EXPECT_EQ(static_cast<int>(HelperCommand::Remove), 6);
    EXPECT_EQ(static_cast<int>(HelperCommand::ExecutePlan), 7);
}

TEST(CommandLineParse, ValuesTakeTheNextArgumentWhateverItIs) {
    const GoodCase cases[] = {
        {{L"--cdn", L"--verbose"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.cdn, L"--verbose");
             EXPECT_FALSE(o.verbose);
             EXPECT_EQ(o.command, HelperCommand::None);
         }},
        {{L"--remove", L"--target", L"--purge"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.target, L"--purge");
             EXPECT_FALSE(o.purge);
         }},
        {{L"--execute-plan", L"--remove"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.command, HelperCommand::ExecutePlan);
             EXPECT_EQ(o.planFile, L"--remove");
         }},
        {{L"--progress-pipe", L"--help"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.progressPipe, L"--help");
             EXPECT_FALSE(o.help);
         }},
        {{L"--apply-manifest", L"--install-prereqs", L"--target", L"t", L"--cdn", L"c"},
         [](const HelperOptions& o) {
             EXPECT_EQ(o.command, HelperCommand::ApplyManifest);
             EXPECT_EQ(o.manifestUrl, L"--install-prereqs");
         }},
        // A repeated option keeps its last value.
        {{L"--remove", L"--target", L"first", L"--target", L"second"},
         [](const HelperOptions& o) { EXPECT_EQ(o.target, L"second"); }},
        {{L"--progress-pipe", L"\\\\.\\pipe\\a", L"--progress-pipe", L"\\\\.\\pipe\\b"},
         [](const HelperOptions& o) { EXPECT_EQ(o.progressPipe, L"\\\\.\\pipe\\b"); }},
        // Values are copied unchanged: no trimming, case change or normalisation.
        {{L"--remove", L"--target", L"  T:\\Some Dir\\..\\X. "},
         [](const HelperOptions& o) { EXPECT_EQ(o.target, L"  T:\\Some Dir\\..\\X. "); }},
        {{L"--remove", L"--target", L"T:\\\u00e9\u4e2d\U0001F600"},
         [](const HelperOptions& o) { EXPECT_EQ(o.target, L"T:\\\u00e9\u4e2d\U0001F600"); }},
        {{L"--version", L""}, [](const HelperOptions& o) { EXPECT_TRUE(o.version.empty()); }},
    };
    for (const auto& c : cases) expectGood(c);
}

TEST(CommandLineParse, FlagsAndHelp) {
    const GoodCase cases[] = {
        {{L"--help"},
         [](const HelperOptions& o) {
             EXPECT_TRUE(o.help);
             EXPECT_EQ(o.command, HelperCommand::None);
         }},
        {{L"-h"}, [](const HelperOptions& o) { EXPECT_TRUE(o.help); }},
        {{L"/?"}, [](const HelperOptions& o) { EXPECT_TRUE(o.help); }},
        {{L"--help", L"--help"}, [](const HelperOptions& o) { EXPECT_TRUE(o.help); }},
        {{L"--verbose"},
         [](const HelperOptions& o) {
             EXPECT_TRUE(o.verbose);
             EXPECT_FALSE(o.help);
         }},
        {{L"-v"}, [](const HelperOptions& o) { EXPECT_TRUE(o.verbose); }},
        {{L"--purge"}, [](const HelperOptions& o) { EXPECT_TRUE(o.purge); }},
        // Parsing goes on after the help flag.
        {{L"--help", L"--remove", L"--target", L"t", L"-v"},
         [](const HelperOptions& o) {
             EXPECT_TRUE(o.help);
             EXPECT_TRUE(o.verbose);
             EXPECT_EQ(o.command, HelperCommand::Remove);
             EXPECT_EQ(o.target, L"t");
         }},
        {{L"--remove", L"--target", L"t", L"/?"},
         [](const HelperOptions& o) {
             EXPECT_TRUE(o.help);
             EXPECT_EQ(o.command, HelperCommand::Remove);
         }},
    };
    for (const auto& c : cases) expectGood(c);
}

// ---------------------------------------------------------------------------
// Usage.

std::vector<std::string> usageLines(const std::string& p) {
    return {
        "Korvel Elevated Helper v1.0.0",
        "Privileged operations for Korvel installation and updates",
        "",
        "Usage:",
        "  " + p + " --execute-plan <plan-file.json>",
        "  " + p + " --install-prereqs --cdn <root-url>",
        "  " + p + " --apply-manifest <manifest-url> --target <path> --cdn <root-url>",
        "  " + p + " --write-uninstall --target <path> --version <x.y.z>",
        "  " + p + " --create-shortcuts --target <path>",
        "  " + p + " --release-session --session-root <path>",
        "  " + p + " --remove --target <path> [--purge]",
        "",
        "Commands:",
        "  --execute-plan         Execute a batch of operations from JSON plan (single UAC prompt)",
        "  --install-prereqs      Install VC++ and DirectX prerequisites",
        "  --apply-manifest       Download, verify and apply update manifest",
        "  --write-uninstall      Write uninstall registry entries",
        "  --create-shortcuts     Create Start Menu shortcuts",
        "  --release-session      Remove a prepared download session",
        "  --remove               Remove installation (with optional --purge)",
        "",
        "Options:",
        "  --cdn <url>            CDN root URL for downloads",
        "  --session-root <path>  Use pre-downloaded session contents",
        "  --files-manifest <path> Descriptor JSON for pre-downloaded files",
        "  --target <path>        Installation target directory",
        "  --version <x.y.z>      Version string for uninstall entry",
        "  --purge                Remove user data when uninstalling",
        "  --progress-pipe <name> Internal: named pipe for streaming JSON logs",
        "  --verbose, -v          Enable verbose logging",
        "  --help, -h, /?         Show this help message",
        "",
        "Exit Codes:",
        "  0    Success",
        "  1    Invalid arguments",
        "  2    Insufficient privileges",
        "  100+ Command-specific errors (see documentation)",
        "",
        "Output: Progress and status information is written as JSONL to stdout.",
        "Errors and diagnostics are written to stderr.",
    };
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
}

TEST(CommandLineUsage, TextLineByLineOnStandardOutput) {
    for (const std::wstring program : {L"K:\\KorvelElevated.exe", L"KorvelElevated", L"C:\\Pr\u00f6gr\u00e4m \u4e2d\\k.exe",
                                       L""}) {
        SCOPED_TRACE(wideToUtf8(program));
        StreamCapture out(STD_OUTPUT_HANDLE);
        StreamCapture err(STD_ERROR_HANDLE);
        printUsage(program);
        EXPECT_EQ(out.text(), joinLines(usageLines(wideToUtf8(program))));
        EXPECT_EQ(err.text(), "");
    }
}

}  // namespace
}  // namespace korvel
