#include "common/ChildProcess.h"

#include <shlobj.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace korvel {
namespace {

std::wstring systemFolder(UINT (WINAPI *query)(LPWSTR, UINT)) {
    wchar_t buffer[MAX_PATH + 1];
    const UINT length = query(buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return std::wstring();
    return std::wstring(buffer, length);
}

std::wstring knownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    const HRESULT found = SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path);
    const CoTaskMemory owner(path);
    return SUCCEEDED(found) && path ? std::wstring(path) : std::wstring();
}

}  // namespace

std::wstring ChildProcess::buildEnvironment(const std::wstring& tempFolder) {
    const std::wstring windows = systemFolder(GetSystemWindowsDirectoryW);
    const std::wstring system = systemFolder(GetSystemDirectoryW);
    std::vector<std::pair<std::wstring, std::wstring>> variables = {
        {L"SystemRoot", windows},
        {L"windir", windows},
        {L"SystemDrive", windows.size() >= 2 ? windows.substr(0, 2) : std::wstring()},
        {L"ComSpec", system + L"\\cmd.exe"},
        {L"PATHEXT", L".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC"},
        {L"Path", system + L";" + windows + L";" + system + L"\\Wbem;" + system + L"\\WindowsPowerShell\\v1.0\\"},
        {L"TEMP", tempFolder},
        {L"TMP", tempFolder},
        {L"OS", L"Windows_NT"},
        {L"ProgramData", knownFolder(FOLDERID_ProgramData)},
        {L"ALLUSERSPROFILE", knownFolder(FOLDERID_ProgramData)},
        {L"ProgramFiles", knownFolder(FOLDERID_ProgramFilesX64)},
        {L"ProgramW6432", knownFolder(FOLDERID_ProgramFilesX64)},
        {L"ProgramFiles(x86)", knownFolder(FOLDERID_ProgramFilesX86)},
        {L"CommonProgramFiles", knownFolder(FOLDERID_ProgramFilesCommonX64)},
        {L"CommonProgramW6432", knownFolder(FOLDERID_ProgramFilesCommonX64)},
        {L"CommonProgramFiles(x86)", knownFolder(FOLDERID_ProgramFilesCommonX86)},
    };
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    variables.emplace_back(L"NUMBER_OF_PROCESSORS", std::to_wstring(info.dwNumberOfProcessors));
    variables.emplace_back(L"PROCESSOR_ARCHITECTURE",
                           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? L"ARM64" : L"AMD64");

    // Windows keeps the block sorted by name, without regard to case.
    std::sort(variables.begin(), variables.end(), [](const auto& a, const auto& b) {
        return CompareStringOrdinal(a.first.c_str(), -1, b.first.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    std::wstring block;
    for (const auto& [name, value] : variables) {
        if (value.empty()) continue;
        block += name + L"=" + value;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

bool ChildProcess::start(const std::wstring& application, std::wstring commandLine, const std::wstring& folder,
                         const std::wstring& tempFolder, bool inheritHandles, STARTUPINFOW& startup,
                         uint32_t& error) {
    error = 0;
    job_.reset(CreateJobObjectW(nullptr, nullptr));
    if (!job_) {
        error = GetLastError();
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        error = GetLastError();
        job_.reset();
        return false;
    }

    std::wstring environment = buildEnvironment(tempFolder);
    PROCESS_INFORMATION created{};
    const DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
    // Out of a job the helper itself may run in, where that job allows it,
    // so that the child's own job alone decides how its tree ends.
    BOOL ok = CreateProcessW(application.empty() ? nullptr : application.c_str(), &commandLine[0], nullptr, nullptr,
                             inheritHandles, flags | CREATE_BREAKAWAY_FROM_JOB, &environment[0],
                             folder.empty() ? nullptr : folder.c_str(), &startup, &created);
    if (!ok && GetLastError() == ERROR_ACCESS_DENIED) {
        ok = CreateProcessW(application.empty() ? nullptr : application.c_str(), &commandLine[0], nullptr, nullptr,
                            inheritHandles, flags, &environment[0], folder.empty() ? nullptr : folder.c_str(),
                            &startup, &created);
    }
    if (!ok) {
        error = GetLastError();
        job_.reset();
        return false;
    }
    process_.reset(created.hProcess);
    thread_.reset(created.hThread);
    // Nothing of the program has run yet: in the job before its first
    // instruction, so everything it starts is in the job too.
    if (!AssignProcessToJobObject(job_.get(), process_.get())) {
        error = GetLastError();
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), 5000);
        process_.reset();
        thread_.reset();
        job_.reset();
        return false;
    }
    ResumeThread(thread_.get());
    return true;
}

void ChildProcess::terminateTree(uint32_t exitCode, uint32_t waitMs) noexcept {
    if (job_) TerminateJobObject(job_.get(), exitCode);
    if (process_) {
        TerminateProcess(process_.get(), exitCode);
        WaitForSingleObject(process_.get(), waitMs);
    }
}

}  // namespace korvel
