#include "uninstall/UninstallOptions.h"

#include <sstream>

#include "common/ConsoleOutput.h"

namespace korvel {

const char kUninstallerVersion[] = "1.0.0";

std::string uninstallUsageText() {
    std::string text;
    text += std::string("Korvel Uninstaller v") + kUninstallerVersion + "\n\n";
    text += "Usage: KorvelUninstall.exe [OPTIONS]\n\n";
    text += "Options:\n";
    text += "  --force              Skip confirmation prompt\n";
    text += "  --purge              Remove user data (%LOCALAPPDATA%\\Korvel)\n";
    text += "  --keep-logs          Preserve uninstall logs\n";
    text += "  --quiet              Suppress console output\n";
    text += "  --verbose            Enable verbose logging\n";
    text += "  --progress-pipe <n>  Named pipe for progress reporting\n";
    text += "  --install-path <p>   Override installation path\n";
    text += "  --help               Show this help message\n";
    text += "  --version            Show version information\n\n";
    text += "Exit Codes:\n";
    text += "  0    Success\n";
    text += "  1    Invalid arguments\n";
    text += "  2    Insufficient privileges\n";
    text += "  10   Installation not found\n";
    text += "  140+ File operation failures\n";
    text += "  160+ Registry operation failures\n";
    text += "  200+ Process termination failures\n";
    return text;
}

std::string buildDateText() {
    // __DATE__ pads a one-digit day with a space ("Sep  1 2026").
    std::istringstream parts(__DATE__);
    std::string month, day, year;
    parts >> month >> day >> year;
    return month + " " + day + " " + year;
}

std::string uninstallVersionText() {
    return std::string("Korvel Uninstaller v") + kUninstallerVersion + "\nBuilt: " + buildDateText() + " " +
           __TIME__ + "\n";
}

bool parseArguments(int argc, const wchar_t* const* argv, UninstallOptions& options, bool& continueRun) {
    continueRun = true;
    const struct {
        const wchar_t* name;
        bool UninstallOptions::*field;
    } flags[] = {
        {L"--force", &UninstallOptions::force},         {L"--purge", &UninstallOptions::purge},
        {L"--keep-logs", &UninstallOptions::keepLogs},  {L"--quiet", &UninstallOptions::quiet},
        {L"--verbose", &UninstallOptions::verbose},
    };
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        bool matched = false;
        for (const auto& flag : flags) {
            if (arg == flag.name) {
                options.*flag.field = true;
                matched = true;
                break;
            }
        }
        if (matched) continue;
        if (arg == L"--help") {
            writeStdoutBytes(uninstallUsageText());
            continueRun = false;
            return true;
        }
        if (arg == L"--version") {
            writeStdoutBytes(uninstallVersionText());
            continueRun = false;
            return true;
        }
        if (arg == L"--progress-pipe" || arg == L"--install-path") {
            const bool pipe = arg == L"--progress-pipe";
            if (i + 1 >= argc) {
                writeStderrText(pipe ? L"Error: --progress-pipe requires a pipe name\n"
                                     : L"Error: --install-path requires a path\n");
                return false;
            }
            (pipe ? options.progressPipe : options.installPath) = argv[++i];
            continue;
        }
        writeStderrText(L"Error: Unknown option: " + arg + L"\n");
        writeStderrText(L"Use --help for usage information\n");
        return false;
    }
    return true;
}

}  // namespace korvel
