#include "launcher/Launcher.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/ErrorCodes.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "tests/elevated/StreamCapture.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::StreamCapture;

std::string describe(const std::vector<std::wstring>& args) {
    std::string s;
    for (const auto& a : args) s += "[" + wideToUtf8(a) + "] ";
    return s;
}

// What the Windows command-line parser makes of a parameter string.
std::vector<std::wstring> splitLikeWindows(const std::wstring& parameters) {
    int count = 0;
    const std::wstring line = L"helper.exe " + parameters;
    LocalMemory memory(reinterpret_cast<HLOCAL>(CommandLineToArgvW(line.c_str(), &count)));
    std::vector<std::wstring> args;
    auto** argv = reinterpret_cast<wchar_t**>(memory.get());
    for (int i = 1; argv != nullptr && i < count; ++i) args.emplace_back(argv[i]);
    return args;
}

// ---------------------------------------------------------------------------
// Quoting: the exact forms, and the Windows parser turning them back into
// the same arguments.

TEST(LauncherQuoting, ExactForms) {
    const struct {
        std::wstring arg;
        std::wstring quoted;
    } cases[] = {
        {L"", L"\"\""},
        {L"--execute-plan", L"--execute-plan"},
        {L"C:\\plans\\plan.json", L"C:\\plans\\plan.json"},
        {L"C:\\dir\\", L"C:\\dir\\"},
        {L"line\nfeed\vtab", L"line\nfeed\vtab"},
        {L"a b", L"\"a b\""},
        {L"a\tb", L"\"a\tb\""},
        {L"C:\\Program Files\\", L"\"C:\\Program Files\\\\\""},
        {L"C:\\Program Files\\\\", L"\"C:\\Program Files\\\\\\\\\""},
        {L"say \\\"hi\\\"", L"\"say \\\\\\\"hi\\\\\\\"\""},
        {L"a\"b", L"\"a\\\"b\""},
        {L"\"", L"\"\\\"\""},
        {L"a\\\\b c", L"\"a\\\\b c\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(wideToUtf8(c.arg));
        EXPECT_EQ(quoteWindowsArg(c.arg), c.quoted);
    }
}

TEST(LauncherQuoting, JoinedLineSplitsBackIntoTheSameArguments) {
    const std::vector<std::wstring> args{
        L"--progress-pipe", L"\\\\.\\pipe\\korvel", L"--execute-plan", L"C:\\My Plans\\plan one.json", L"",
        L"trailing\\", L"blank and trailing\\", L"two trailing \\\\", L"quote\"inside", L"\\\"", L"tab\there",
        L"\"\"", L"  ", L"\\\\server\\share\\a b\\", L"ends in quote\"", L"unicode \u00e9\u4e2d"};
    const std::wstring line = joinCommandLine(args);
    EXPECT_EQ(splitLikeWindows(line), args) << wideToUtf8(line);
}

TEST(LauncherQuoting, JoinUsesSingleSpacesOnly) {
    EXPECT_EQ(joinCommandLine({}), L"");
    EXPECT_EQ(joinCommandLine({L"a"}), L"a");
    EXPECT_EQ(joinCommandLine({L"--progress-pipe", L"p", L"--execute-plan", L"C:\\x.json"}),
              L"--progress-pipe p --execute-plan C:\\x.json");
    EXPECT_EQ(joinCommandLine({L"", L"a b", L""}), L"\"\" \"a b\" \"\"");
}

// ---------------------------------------------------------------------------
// The command line.

struct Parsed {
    bool ok = false;
    LauncherOptions options;
    std::string err;
    std::string out;
};

Parsed parse(const std::vector<std::wstring>& args) {
    std::vector<const wchar_t*> argv{L"K:\\KorvelElevatedLauncher.exe"};
    for (const auto& a : args) argv.push_back(a.c_str());
    Parsed p;
    StreamCapture out(STD_OUTPUT_HANDLE);
    StreamCapture err(STD_ERROR_HANDLE);
    p.ok = parseLauncherArgs(static_cast<int>(argv.size()), argv.data(), p.options);
    p.err = err.text();
    p.out = out.text();
    return p;
}

class LauncherArgs : public ::testing::Test {
protected:
    void SetUp() override {
        helper_ = (scratch_ / L"helper.exe").wstring();
        test::writeFile(helper_, "MZ");
    }
    test::ScratchDir scratch_;
    std::wstring helper_;
};

TEST_F(LauncherArgs, Errors) {
    const std::wstring missing = (scratch_ / L"absent" / L"KorvelElevated.exe").wstring();
    const std::wstring folder = scratch_.path().wstring();
    const struct {
        std::vector<std::wstring> args;
        std::wstring message;
    } cases[] = {
        {{}, L"Error: --pipe is required"},
        {{L"--helper", helper_}, L"Error: --pipe is required"},
        {{L"--helper", helper_, L"--pipe"}, L"Error: --pipe requires a pipe name"},
        {{L"--pipe", L"p", L"--helper"}, L"Error: --helper requires a path"},
        {{L"--helper", helper_, L"--pipe", L""}, L"Error: --pipe is required"},
        {{L"--helper", helper_, L"--", L"--pipe", L"p"}, L"Error: --pipe is required"},
        {{L"--pipe", L"p", L"--helper", missing}, L"Error: Helper executable not found: " + missing},
        // A folder would open a file manager under "runas" and never end.
        {{L"--pipe", L"p", L"--helper", folder}, L"Error: Helper executable not found: " + folder},
        {{L"--pipe", L"p", L"--helper", folder + L"\\"}, L"Error: Helper executable not found: " + folder + L"\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe(c.args));
        const Parsed p = parse(c.args);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.err, wideToUtf8(c.message) + "\n");
        EXPECT_EQ(p.out, "");
    }
}

TEST_F(LauncherArgs, ForwardsEverythingElseInOrder) {
    const struct {
        std::vector<std::wstring> args;
        std::wstring pipe;
        std::vector<std::wstring> forwarded;
    } cases[] = {
        {{L"--helper", helper_, L"--pipe", L"p", L"--execute-plan", L"C:\\plan.json"},
         L"p",
         {L"--execute-plan", L"C:\\plan.json"}},
        {{L"--verbose", L"--pipe", L"p", L"--unknown", L"x", L"--helper", helper_},
         L"p",
         {L"--verbose", L"--unknown", L"x"}},
        // The value of --pipe is taken whatever it looks like; a later one wins.
        {{L"--helper", helper_, L"--pipe", L"--helper", L"--pipe", L"q"}, L"q", {}},
        // After "--" nothing is an option of the launcher, not even a second "--".
        {{L"--helper", helper_, L"--pipe", L"p", L"--", L"--pipe", L"x", L"--helper", L"y", L"--", L""},
         L"p",
         {L"--pipe", L"x", L"--helper", L"y", L"--", L""}},
        {{L"--helper", helper_, L"--pipe", L"p", L"--"}, L"p", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe(c.args));
        const Parsed p = parse(c.args);
        ASSERT_TRUE(p.ok) << p.err;
        EXPECT_EQ(p.options.pipeName, c.pipe);
        EXPECT_EQ(p.options.forwardedArgs, c.forwarded);
        EXPECT_EQ(p.options.helperPath, helper_);
        EXPECT_EQ(p.err, "");
    }
}

TEST_F(LauncherArgs, LaterHelperReplacesEarlierOne) {
    const Parsed p = parse({L"--helper", L"T:\\nowhere.exe", L"--helper", helper_, L"--pipe", L"p"});
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.options.helperPath, helper_);
}

TEST_F(LauncherArgs, HelperNamedRelativelyIsStartedByItsFullPath) {
    // A bare or relative name would leave the shell to search for the
    // program (App Paths, the program path): the file checked is the one
    // named, by its full path.
    wchar_t saved[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(scratch_.path().c_str()));
    for (const std::wstring name : {L"helper.exe", L".\\helper.exe"}) {
        SCOPED_TRACE(korvel::wideToUtf8(name));
        const Parsed p = parse({L"--pipe", L"p", L"--helper", name});
        EXPECT_TRUE(p.ok) << p.err;
        EXPECT_EQ(p.options.helperPath, helper_);
    }
    SetCurrentDirectoryW(saved);
}

TEST_F(LauncherArgs, DefaultHelperSitsBesideTheLauncher) {
    // The test program itself is the running launcher here; its folder holds
    // KorvelElevated.exe.
    const Parsed p = parse({L"--pipe", L"p", L"--helper", L""});
    ASSERT_TRUE(p.ok) << p.err;
    const std::filesystem::path self(currentProgramPath());
    EXPECT_EQ(p.options.helperPath, (self.parent_path() / L"KorvelElevated.exe").wstring());
}

// ---------------------------------------------------------------------------
// Pieces of the start.

TEST(LauncherStart, WorkingFolder) {
    const struct {
        std::wstring helper;
        std::wstring folder;
    } cases[] = {
        {L"C:\\Korvel\\Launcher\\KorvelElevated.exe", L"C:\\Korvel\\Launcher"},
        {L"C:\\Korvel\\\\KorvelElevated.exe", L"C:\\Korvel"},
        {L"C:/Korvel/KorvelElevated.exe", L"C:/Korvel"},
        {L"KorvelElevated.exe", L""},
        {L"C:\\KorvelElevated.exe", L"C:\\"},
        {L"\\KorvelElevated.exe", L"\\"},
        {L"\\\\server\\share\\KorvelElevated.exe", L"\\\\server\\share"},
        {L"..\\KorvelElevated.exe", L".."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(wideToUtf8(c.helper));
        EXPECT_EQ(helperWorkingFolder(c.helper), c.folder);
    }
}

TEST(LauncherStart, OwnPathIsNeverCutShort) {
    wchar_t reference[32768];
    const DWORD n = GetModuleFileNameW(nullptr, reference, 32768);
    ASSERT_GT(n, 0u);
    const std::wstring full(reference, n);
    // Buffers smaller than the path grow until it fits.
    for (const DWORD capacity : std::vector<DWORD>{1, 4, n, n + 1, 260}) {
        SCOPED_TRACE(capacity);
        EXPECT_EQ(currentProgramPath(capacity), full);
    }
}

TEST(LauncherStart, FailedStartMessagesAndCodes) {
    // Wine never shows an elevation prompt, so a declined one is only seen here.
    const struct {
        DWORD error;
        int code;
        std::string prefix;
    } cases[] = {
        {ERROR_CANCELLED, 3, "User cancelled the elevation prompt\n"},
        {ERROR_ACCESS_DENIED, 2, "Failed to launch elevated helper (5) - "},
        {ERROR_BAD_EXE_FORMAT, 2, "Failed to launch elevated helper (193) - "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        StreamCapture err(STD_ERROR_HANDLE);
        EXPECT_EQ(reportStartFailure(c.error), c.code);
        const std::string text = err.text();
        EXPECT_EQ(text.rfind(c.prefix, 0), 0u) << text;
        EXPECT_EQ(text.back(), '\n');
        if (c.error != ERROR_CANCELLED) {
            EXPECT_EQ(text, c.prefix + wideToUtf8(formatWin32Error(c.error)) + "\n");
        }
    }
}

}  // namespace
}  // namespace korvel
