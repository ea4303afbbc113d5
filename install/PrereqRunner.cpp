// The hidden runs of the prerequisite installer: an installer started from
// its own folder, and a system command whose output is captured, each in a
// job that ends its whole tree at the time limit.
#include "install/PrereqInstaller.h"

#include <cstring>

#include "common/ChildProcess.h"
#include "common/EventLogger.h"
#include "common/TextConversion.h"

namespace korvel {
namespace fs = std::filesystem;

namespace {

const char kComponent[] = "PrereqInstaller";

const ComponentLog logLine(kComponent);

// How long a terminated process is given to go before its file is touched.
constexpr DWORD kTerminationWaitMs = 30000;

std::wstring systemDirectory() {
    wchar_t buffer[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return std::wstring();
    return std::wstring(buffer, length);
}

// Reads the command's output until all writers are gone or the deadline
// passes (true: the deadline passed first). The time limit covers the
// reading too: a command that never ends, or a process it started that
// keeps the pipe open, is not waited for beyond it.
bool readOutputUntil(HANDLE readEnd, HANDLE processHandle, ULONGLONG deadline, std::string& captured) {
    bool timedOut = false;
    char chunk[4096];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) break;  // all writers gone
        if (available > 0) {
            DWORD got = 0;
            if (!ReadFile(readEnd, chunk, available < 4095 ? available : 4095, &got, nullptr) || got == 0) break;
            chunk[got] = '\0';
            captured.append(chunk, strnlen(chunk, got));
            continue;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            timedOut = true;
            break;
        }
        const DWORD slice = static_cast<DWORD>(deadline - now < 20 ? deadline - now : 20);
        WaitForSingleObject(processHandle, slice);
    }
    return timedOut;
}

// The command's exit code once its output is read: a command still running
// (or its output unfinished) at the limit has its whole tree ended and is
// reported as one that did not finish.
DWORD exitCodeAtEnd(ChildProcess& child, bool timedOut, ULONGLONG deadline) {
    HANDLE processHandle = child.process();
    DWORD code = STILL_ACTIVE;
    if (timedOut) {
        child.terminateTree(STILL_ACTIVE, kTerminationWaitMs);
    } else {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        if (WaitForSingleObject(processHandle, left) == WAIT_TIMEOUT) {
            child.terminateTree(STILL_ACTIVE, kTerminationWaitMs);
        } else if (!GetExitCodeProcess(processHandle, &code)) {
            code = STILL_ACTIVE;
        }
    }
    return code;
}

}  // namespace

ErrorCode PrereqInstaller::runInstaller(const fs::path& installerPath, const std::wstring& arguments,
                                        uint32_t& exitCode) {
    logLine(LogLevel::Debug, "Executing installer: " + pathToUtf8(installerPath));
    std::wstring commandLine = L"\"" + installerPath.wstring() + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    // Started from its own folder, which only administrators can write, so
    // that no library is picked up from the caller's current folder; with an
    // environment of the system's own, its temporary files in that folder
    // too, and in a job that ends everything it starts at the limit.
    const fs::path folder = installerPath.parent_path();
    ChildProcess child;
    uint32_t error = 0;
    if (!child.start(std::wstring(), commandLine, folder.wstring(), downloadDir_.wstring(), false, startup, error)) {
        logLine(LogLevel::Error, "Failed to create installer process: " + std::to_string(error));
        return ErrorCode::InternalError;
    }
    HANDLE processHandle = child.process();

    const DWORD waited = WaitForSingleObject(processHandle, installerTimeoutMs_);
    if (waited == WAIT_TIMEOUT) {
        logLine(LogLevel::Error, "Installer process timed out");
        // Until it has gone the process still holds its file, which the
        // clean-up of a failed installation deletes next.
        child.terminateTree(1, kTerminationWaitMs);
        return ErrorCode::Timeout;
    }
    if (waited != WAIT_OBJECT_0) {
        logLine(LogLevel::Error, "Wait for installer process failed");
        return ErrorCode::InternalError;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(processHandle, &code)) {
        logLine(LogLevel::Error, "Failed to get installer exit code");
        return ErrorCode::InternalError;
    }
    exitCode = code;
    logLine(LogLevel::Debug, "Installer completed with exit code: " + std::to_string(exitCode));
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::runCommand(const std::wstring& command, std::wstring& output, uint32_t& exitCode) {
    logLine(LogLevel::Debug, "Executing command: " + wideToUtf8(command));
    output.clear();
    exitCode = 0;
    const ULONGLONG deadline = GetTickCount64() + commandTimeoutMs_;

    ScopedHandle readEnd;
    ScopedHandle writeEnd;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 0)) {
        logLine(LogLevel::Error, "Failed to create stdout pipe");
        return ErrorCode::InternalError;
    }
    if (!SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) return ErrorCode::InternalError;

    // The system's own interpreter, by its full path and started in the
    // system folder: nothing found through the current folder or PATH runs.
    // /D: no AutoRun command of the registry (the user's own hive among
    // them) runs before the command.
    const std::wstring system = systemDirectory();
    const std::wstring interpreter = system + L"\\cmd.exe";
    std::wstring commandLine = L"\"" + interpreter + L"\" /D /c " + command;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = nullptr;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    ChildProcess child;
    uint32_t error = ERROR_PATH_NOT_FOUND;
    if (system.empty() ||
        !child.start(interpreter, commandLine, system, downloadDir_.wstring(), true, startup, error)) {
        logLine(LogLevel::Error, "Failed to create command process: " + std::to_string(error));
        return ErrorCode::InternalError;
    }
    HANDLE processHandle = child.process();
    writeEnd.reset();

    std::string captured;
    const bool timedOut = readOutputUntil(readEnd.get(), processHandle, deadline, captured);
    readEnd.reset();
    exitCode = exitCodeAtEnd(child, timedOut, deadline);
    output = narrowToWide(captured);
    return ErrorCode::Success;
}

}  // namespace korvel
