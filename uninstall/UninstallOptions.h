#pragma once
// The uninstaller's command line: options, usage and version texts.
#include <string>

namespace korvel {

struct UninstallOptions {
    bool force = false;
    bool purge = false;
    // Accepted and kept; they change nothing (events always go to standard
    // output, DEBUG lines stay dropped, purge removes the log folder too).
    bool keepLogs = false;
    bool quiet = false;
    bool verbose = false;
    std::wstring progressPipe;
    std::wstring installPath;
};

extern const char kUninstallerVersion[];

std::string uninstallUsageText();
// "Korvel Uninstaller v1.0.0\nBuilt: <Mmm d yyyy> <hh:mm:ss>\n".
std::string uninstallVersionText();
// The build date as "Sep 1 2026": the compiler's month, day and year with
// single spaces between them.
std::string buildDateText();

// False on a command-line error, whose message is already written to
// standard error. continueRun becomes false when --help or --version was
// handled (their text is already written to standard output).
bool parseArguments(int argc, const wchar_t* const* argv, UninstallOptions& options, bool& continueRun);

}  // namespace korvel
