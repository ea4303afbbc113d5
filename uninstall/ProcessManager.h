#pragma once
// Ends the product's running processes before their files are removed:
// politely through their windows first, by force after a wait.
#include <cstdint>
#include <string>
#include <vector>

#include "common/ErrorCodes.h"

namespace korvel {

struct ProcessInfo {
    uint32_t pid = 0;
    std::wstring exeName;    // as the snapshot reports it
    std::wstring imagePath;  // empty when it cannot be read
    bool isElevated = false;
};

class ProcessManager {
public:
    // How long a process gets to exit after its close messages, and again
    // after it was ended by force.
    static constexpr uint32_t kExitWaitMs = 5000;
    static constexpr uint32_t kForcedExitCode = 1;

    static std::vector<std::wstring> productExecutableNames();

    // 0, or 4 when no process snapshot can be taken.
    ErrorCode findProcessesByName(const std::wstring& exeName, std::vector<ProcessInfo>& found);
    // 0 when every product process found was ended (or none ran), else the
    // last failure; count is the number of product processes found.
    ErrorCode terminateAllProductProcesses(uint32_t& count);
    ErrorCode terminateProcesses(const std::vector<uint32_t>& pids);
    ErrorCode terminateProcess(uint32_t pid);
    // 0 exited (or gone), 6 still running after the wait, 4 other failure.
    ErrorCode closeProcessWindows(uint32_t pid);
    // Ends the process with exit code 1 and waits for it to be gone, so that
    // its image and open files are released when this returns 0.
    ErrorCode forceTerminate(uint32_t pid);
    ErrorCode getProcessImagePath(uint32_t pid, std::wstring& imagePath);

private:
    // The same steps through one open handle: while it is held the pid
    // cannot pass to another program.
    ErrorCode closeProcessWindows(uint32_t pid, void* process);
    ErrorCode forceTerminate(uint32_t pid, void* process);
};

std::wstring toLowerWide(const std::wstring& text);

}  // namespace korvel
