#include "uninstall/Uninstaller.h"

#include <windows.h>

#include <cstdlib>
#include <exception>
#include <string>

#include "common/ConsoleOutput.h"
#include "common/ErrorCodes.h"
#include "common/EventLogger.h"
#include "common/UniqueResource.h"
#include "uninstall/UninstallManager.h"
#include "uninstall/UninstallOptions.h"

namespace korvel {

bool isProcessElevated() {
    ScopedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    DWORD elevation = 0;
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return false;
    return elevation != 0;
}

int runUninstaller(int argc, const wchar_t* const* argv) { return runUninstaller(argc, argv, isProcessElevated); }

int runUninstaller(int argc, const wchar_t* const* argv, const std::function<bool()>& isElevated) {
    UninstallOptions options;
    bool continueRun = true;
    if (!parseArguments(argc, argv, options, continueRun)) return toInt(ErrorCode::InvalidArguments);
    if (!continueRun) return 0;

    if (!isElevated()) {
        writeStderrText(L"Error: This program requires administrator privileges\n");
        writeStderrText(L"Please run as administrator\n");
        return toInt(ErrorCode::InsufficientPrivileges);
    }

    EventLogger& logger = EventLogger::instance();
    logger.status("uninstaller", "starting");
    logger.log(LogLevel::Info, std::string("Korvel Uninstaller v") + kUninstallerVersion + " starting");
    if (!options.quiet) {
        writeStdoutBytes(std::string("Korvel Uninstaller v") + kUninstallerVersion + "\n");
        writeStdoutBytes("Preparing to uninstall Korvel...\n\n");
    }

    UninstallManager manager;
    UninstallStats stats;
    const int code = manager.run(options, stats);
    if (code != 0) {
        logger.error(code, "uninstaller", "Uninstall failed");
        logger.completion("uninstaller", false);
        if (!options.quiet) writeStderrText(L"\nUninstall failed with error code: " + std::to_wstring(code) + L"\n");
        return code;
    }
    logger.status("uninstaller", "complete");
    logger.completion("uninstaller", true);
    // A declined run ends well, but nothing was uninstalled to report.
    if (!options.quiet && !manager.declined()) {
        std::string text = "\nUninstall completed successfully!\n";
        text += statsText(stats, true);
        writeStdoutBytes(text);
    }
    return 0;
}

int runUninstallerGuarded(const std::function<int()>& body) noexcept {
    std::set_terminate([] { std::_Exit(toInt(ErrorCode::InternalError)); });
    try {
        return body();
    } catch (const std::exception& e) {
        try {
            EventLogger::instance().log(LogLevel::Fatal, std::string("Unhandled uninstaller exception: ") + e.what(),
                                        "uninstaller");
        } catch (...) {
        }
        try {
            writeStderrText(L"Fatal uninstaller error: " + utf8ToWide(e.what()) + L"\n");
        } catch (...) {
        }
    } catch (...) {
        try {
            EventLogger::instance().log(LogLevel::Fatal, "Unhandled non-standard uninstaller exception",
                                        "uninstaller");
        } catch (...) {
        }
    }
    return toInt(ErrorCode::InternalError);
}

}  // namespace korvel
