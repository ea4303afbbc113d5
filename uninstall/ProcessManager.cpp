#include "uninstall/ProcessManager.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cwctype>

#include "common/EventLogger.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"

namespace korvel {
namespace {

const char kComponent[] = "process_manager";

const ComponentLog logLine(kComponent);

struct WindowSearch {
    DWORD pid;
    std::vector<HWND> windows;
};

BOOL CALLBACK collectProcessWindows(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->pid && IsWindowVisible(window)) search->windows.push_back(window);
    return TRUE;
}

bool tokenIsElevated(HANDLE process) {
    ScopedHandle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put())) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return false;
    return elevation.TokenIsElevated != 0;
}

}  // namespace

std::wstring toLowerWide(const std::wstring& text) {
    std::wstring lower = text;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
    return lower;
}

std::vector<std::wstring> ProcessManager::productExecutableNames() {
    return {L"KorvelLauncher.exe", L"Korvel.exe", L"KorvelClient.exe", L"KorvelElevated.exe",
            L"KorvelElevatedLauncher.exe"};
}

ErrorCode ProcessManager::findProcessesByName(const std::wstring& exeName, std::vector<ProcessInfo>& found) {
    logLine(LogLevel::Info, "Finding processes by name: " + wideToUtf8(exeName));
    found.clear();
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        logLine(LogLevel::Error, "Failed to create process snapshot");
        return ErrorCode::InternalError;
    }
    const std::wstring wanted = toLowerWide(exeName);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (toLowerWide(entry.szExeFile) != wanted) continue;
        ProcessInfo info;
        info.pid = entry.th32ProcessID;
        info.exeName = entry.szExeFile;
        if (getProcessImagePath(info.pid, info.imagePath) != ErrorCode::Success) info.imagePath.clear();
        ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, info.pid));
        info.isElevated = process && tokenIsElevated(process.get());
        found.push_back(std::move(info));
    }
    snapshot.close();
    logLine(LogLevel::Info, "Found " + std::to_string(found.size()) + " processes");
    return ErrorCode::Success;
}

ErrorCode ProcessManager::getProcessImagePath(uint32_t pid, std::wstring& imagePath) {
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return ErrorCode::InternalError;
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!QueryFullProcessImageNameW(process.get(), 0, buffer, &size)) return ErrorCode::InternalError;
    imagePath.assign(buffer, size);
    return ErrorCode::Success;
}

ErrorCode ProcessManager::terminateAllProductProcesses(uint32_t& count) {
    logLine(LogLevel::Info, "Terminating all Korvel processes");
    std::vector<uint32_t> pids;
    for (const std::wstring& name : productExecutableNames()) {
        std::vector<ProcessInfo> found;
        if (findProcessesByName(name, found) != ErrorCode::Success) continue;
        for (const ProcessInfo& info : found) pids.push_back(info.pid);
    }
    count = static_cast<uint32_t>(pids.size());
    if (pids.empty()) {
        logLine(LogLevel::Info, "No Korvel processes found");
        return ErrorCode::Success;
    }
    return terminateProcesses(pids);
}

ErrorCode ProcessManager::terminateProcesses(const std::vector<uint32_t>& pids) {
    logLine(LogLevel::Info, "Terminating " + std::to_string(pids.size()) + " processes");
    ErrorCode result = ErrorCode::Success;
    for (uint32_t pid : pids) {
        const ErrorCode code = terminateProcess(pid);
        if (code != ErrorCode::Success) {
            logLine(LogLevel::Warning, "Failed to terminate process " + std::to_string(pid));
            result = code;
        }
    }
    return result;
}

ErrorCode ProcessManager::terminateProcess(uint32_t pid) {
    logLine(LogLevel::Info, "Terminating process: " + std::to_string(pid));
    // The pid came from a snapshot; by now it may name another program, so
    // the process is opened once, proven to run one of the product's images,
    // and ended through that handle only.
    ScopedHandle process(
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    bool canTerminate = true;
    DWORD openError = 0;
    if (!process) {
        openError = GetLastError();
        if (openError == ERROR_INVALID_PARAMETER) {
            // Gone already: it ended by itself before it was asked to.
            logLine(LogLevel::Info, "Process terminated gracefully");
            return ErrorCode::Success;
        }
        // A process that refuses termination may still close when asked
        // through its windows; the weaker rights suffice to wait for that.
        canTerminate = false;
        process.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!process) process.reset(OpenProcess(SYNCHRONIZE, FALSE, pid));
    }
    if (!canTerminate && !process) {
        // Neither waited for nor ended: the close messages are still sent.
        const ErrorCode closed = closeProcessWindows(pid);
        if (closed == ErrorCode::Success) {
            logLine(LogLevel::Info, "Process terminated gracefully");
            return ErrorCode::Success;
        }
        // Without a handle held the pid may name another process by now:
        // it is not opened again for termination.
        logLine(LogLevel::Warning, "Graceful termination failed, forcing");
        logLine(LogLevel::Error, "Failed to open process for termination: " + std::to_string(openError));
        logLine(LogLevel::Error, "Failed to terminate process");
        return ErrorCode::InternalError;
    }
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (QueryFullProcessImageNameW(process.get(), 0, image, &size)) {
        const std::wstring path(image, size);
        const size_t slash = path.find_last_of(L"\\/");
        const std::wstring name = toLowerWide(slash == std::wstring::npos ? path : path.substr(slash + 1));
        bool product = false;
        for (const std::wstring& known : productExecutableNames()) product = product || toLowerWide(known) == name;
        if (!product) {
            logLine(LogLevel::Info, "Process " + std::to_string(pid) + " is no longer a Korvel program");
            return ErrorCode::Success;
        }
    }
    if (closeProcessWindows(pid, process.get()) == ErrorCode::Success) {
        logLine(LogLevel::Info, "Process terminated gracefully");
        return ErrorCode::Success;
    }
    logLine(LogLevel::Warning, "Graceful termination failed, forcing");
    const ErrorCode code = canTerminate ? forceTerminate(pid, process.get()) : forceTerminate(pid);
    if (code != ErrorCode::Success) {
        logLine(LogLevel::Error, "Failed to terminate process");
        return code;
    }
    logLine(LogLevel::Info, "Process terminated forcefully");
    return ErrorCode::Success;
}

ErrorCode ProcessManager::closeProcessWindows(uint32_t pid) {
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER ? ErrorCode::Success : ErrorCode::InternalError;
    return closeProcessWindows(pid, process.get());
}

ErrorCode ProcessManager::closeProcessWindows(uint32_t pid, void* process) {
    WindowSearch search{pid, {}};
    EnumWindows(collectProcessWindows, reinterpret_cast<LPARAM>(&search));
    for (HWND window : search.windows) PostMessageW(window, WM_CLOSE, 0, 0);
    switch (WaitForSingleObject(process, kExitWaitMs)) {
        case WAIT_OBJECT_0:
            return ErrorCode::Success;
        case WAIT_TIMEOUT:
            return ErrorCode::Timeout;
        default:
            return ErrorCode::InternalError;
    }
}

ErrorCode ProcessManager::forceTerminate(uint32_t pid) {
    ScopedHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process) {
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER) return ErrorCode::Success;
        logLine(LogLevel::Error, "Failed to open process for termination: " + std::to_string(error));
        return ErrorCode::InternalError;
    }
    return forceTerminate(pid, process.get());
}

ErrorCode ProcessManager::forceTerminate(uint32_t pid, void* process) {
    if (!TerminateProcess(process, kForcedExitCode)) {
        logLine(LogLevel::Error, "TerminateProcess failed: " + std::to_string(GetLastError()));
        return ErrorCode::InternalError;
    }
    // Termination only starts the end: the image and the files the process
    // holds open stay in use until it has really gone.
    const DWORD waited = WaitForSingleObject(process, kExitWaitMs);
    if (waited != WAIT_OBJECT_0) {
        logLine(LogLevel::Error, "Process " + std::to_string(pid) + " did not exit within " +
                                     std::to_string(kExitWaitMs) + " ms after termination");
        return ErrorCode::InternalError;
    }
    return ErrorCode::Success;
}

}  // namespace korvel
