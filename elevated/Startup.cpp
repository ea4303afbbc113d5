#include "elevated/Startup.h"

#include "common/UniqueResource.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "common/ConsoleOutput.h"
#include "common/EventLogger.h"
#include "elevated/CommandLine.h"
#include "elevated/Commands.h"

namespace korvel {
namespace {

std::wstring hexHresult(HRESULT hr) {
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"%lx", static_cast<unsigned long>(static_cast<uint32_t>(hr)));
    return buffer;
}

}  // namespace

int runEntryPoint(const std::function<int()>& body) noexcept {
    std::set_terminate([] {
        EventLogger::instance().writeFatalLineDirect("KorvelElevated failed with error: 4");
        std::_Exit(toInt(ErrorCode::InternalError));
    });
    try {
        return body();
    } catch (...) {
        std::string what = "unknown exception";
        try {
            throw;
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        try {
            EventLogger::instance().log(LogLevel::Fatal, "Unhandled exception: " + what);
        } catch (...) {
        }
        return toInt(ErrorCode::InternalError);
    }
}

bool isAdministrator() {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    SidHandle sid;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, sid.put())) {
        return false;
    }
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, sid.get(), &member)) return false;
    return member != FALSE;
}

int runElevatedHelper(int argc, const wchar_t* const* argv) {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (FAILED(hr)) {
        writeStderrLine(L"Failed to initialize COM: " + hexHresult(hr));
        return toInt(ErrorCode::InternalError);
    }
    // Uninitialised exactly once, on every path.
    ComApartment com(true);

    if (!isAdministrator()) {
        writeStderrLine(L"Error: This application requires administrator privileges.");
        writeStderrLine(L"Please run as administrator or from an elevated command prompt.");
        return toInt(ErrorCode::InsufficientPrivileges);
    }

    HelperOptions options;
    const int parsed = parseCommandLine(argc, argv, options);
    if (parsed != 0) return parsed;

    EventLogger& logger = EventLogger::instance();
    logger.verbose = options.verbose;
    logger.flushEachLine = true;

    if (!options.progressPipe.empty()) {
        bool connected;
        {
            std::lock_guard<std::mutex> lock(logger.mutex);
            logger.pipeHandle.reset();
            logger.pipeName = options.progressPipe;
            logger.reconnectTimeoutMs = 30000;
            connected = logger.connectPipe(options.progressPipe, 30000);
        }
        if (!connected) {
            writeStderrLine(L"Error: Failed to connect to progress pipe: " + options.progressPipe);
            return toInt(ErrorCode::PipeConnectFailed);
        }
    }

    const std::wstring program = argc > 0 && argv[0] ? argv[0] : L"";
    if (options.help) {
        printUsage(program);
        return 0;
    }
    if (options.command == HelperCommand::None) {
        writeStdoutLine(L"KorvelElevated 1.0.0");
        printUsage(program);
        return toInt(ErrorCode::InvalidArguments);
    }

    logger.log(LogLevel::Info, "KorvelElevated starting");
    logger.status("startup", "checking_environment");

    const ErrorCode result = dispatchCommand(options);
    if (result != ErrorCode::Success) {
        logger.error(toInt(result), "main_operation");
        logger.log(LogLevel::Fatal, "KorvelElevated failed with error: " + std::to_string(toInt(result)));
    } else {
        logger.completion("main_operation", true);
        logger.log(LogLevel::Info, "KorvelElevated completed successfully");
    }
    return toInt(result);
}

}  // namespace korvel
