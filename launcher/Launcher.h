#pragma once
// KorvelElevatedLauncher: starts the elevated helper through the "runas"
// verb with the caller's progress pipe name and arguments, waits for it and
// relays its exit code. The pipe itself is opened by the helper, never here.
#include <windows.h>

#include <string>
#include <vector>

namespace korvel {

struct LauncherOptions {
    std::wstring helperPath;
    std::wstring pipeName;
    std::vector<std::wstring> forwardedArgs;
};

// Exit codes of the launcher itself; any other code is the helper's.
enum class LauncherExit : int {
    ArgumentError = 1,
    StartFailed = 2,
    Declined = 3,
    WaitFailed = 4,
};

// Fills options from the arguments after the program name (helperPath
// becomes the full path of the helper); on false a
// message has been written to standard error and the launcher exits 1.
bool parseLauncherArgs(int argc, const wchar_t* const* argv, LauncherOptions& options);

// One argument in the form the Windows command-line parser turns back into
// exactly that argument.
std::wstring quoteWindowsArg(const std::wstring& arg);

// The quoted arguments joined with single spaces.
std::wstring joinCommandLine(const std::vector<std::wstring>& args);

// The folder the helper starts in: the path without its last component and
// the separators before it; empty for a bare file name; a root stays a root.
std::wstring helperWorkingFolder(const std::wstring& helperPath);

// The full path of the running program, however long; empty on failure.
// The first buffer holds initialCapacity characters and grows until the
// whole path fits.
std::wstring currentProgramPath(DWORD initialCapacity = MAX_PATH);

// The longest command line a process can be started with, its terminating
// NUL included.
constexpr size_t kMaxCommandLine = 32768;

// The command line the system builds for the helper: its path quoted, a
// blank and the parameters.
size_t helperCommandLineLength(const std::wstring& helperPath, const std::wstring& parameters);

// Message and exit code for a failed start with the given Windows error.
int reportStartFailure(DWORD error);

// Starts the helper elevated, waits and returns the exit code to use.
int runElevatedHelper(const LauncherOptions& options);

// A message line on standard error: UTF-16 to a console, UTF-8 otherwise.
void writeLauncherMessage(const std::wstring& message);

}  // namespace korvel
