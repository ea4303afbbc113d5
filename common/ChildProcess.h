#pragma once
// Starts a program for the elevated helper: with an environment built here
// from the system's own folders (nothing of the caller's environment, which
// unelevated code chose, reaches it), hidden, and inside a job object that
// ends the program's whole tree when it is terminated or let go.
#include "common/UniqueResource.h"

#include <cstdint>
#include <string>

namespace korvel {

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Letting go of the job ends whatever of the tree still runs.
    ~ChildProcess() = default;

    // The variables every child gets: SystemRoot, windir, SystemDrive,
    // ComSpec, PATHEXT, a PATH of the system folders only, the machine's
    // program and data folders, and TEMP and TMP set to tempFolder. As a
    // block for CreateProcessW: "NAME=VALUE\0" entries sorted by name, then
    // one more NUL.
    static std::wstring buildEnvironment(const std::wstring& tempFolder);

    // Creates the process suspended, puts it into a new job that kills its
    // members when closed, then lets it run. application may be empty (the
    // command line alone names the program). On failure returns false with
    // the Windows error; nothing is left running.
    bool start(const std::wstring& application, std::wstring commandLine, const std::wstring& folder,
               const std::wstring& tempFolder, bool inheritHandles, STARTUPINFOW& startup, uint32_t& error);

    HANDLE process() const noexcept { return process_.get(); }
    // Ends every process of the job (the program and all it started) with
    // exitCode and waits up to waitMs for the program itself to go.
    void terminateTree(uint32_t exitCode, uint32_t waitMs) noexcept;

private:
    ScopedHandle job_;
    ScopedHandle process_;
    ScopedHandle thread_;
};

}  // namespace korvel
