// Ending the product's processes: stand-ins named like the product's
// programs are found by name (letter case ignored), given their chance to
// close and then ended by force, and are gone when the call returns.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/UniqueResource.h"
#include "tests/elevated/StreamCapture.h"
#include "tests/support/TestSupport.h"
#include "uninstall/ProcessManager.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;
using test::StreamCapture;

const wchar_t kFixture[] = L"K:\\product_fixture.exe";

// A copy of the fixture under the given name, started without a window.
ScopedHandle startAs(const ScratchDir& dir, const std::wstring& exeName) {
    const fs::path exe = dir / exeName;
    fs::copy_file(kFixture, exe, fs::copy_options::overwrite_existing);
    std::wstring commandLine = L"\"" + exe.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info))
        return ScopedHandle();
    ScopedHandle thread(info.hThread);
    return ScopedHandle(info.hProcess);
}

DWORD exitCodeOf(HANDLE process) {
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}

TEST(ProcessManager, NoProductProcessRunning) {
    StreamCapture out(STD_OUTPUT_HANDLE);
    uint32_t count = 99;
    EXPECT_EQ(ProcessManager().terminateAllProductProcesses(count), ErrorCode::Success);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(out.text().find("\"message\":\"No Korvel processes found\""), std::string::npos);
}

TEST(ProcessManager, WindowlessProcessesAreForcedAndGoneOnReturn) {
    ScratchDir dir;
    ScopedHandle client = startAs(dir, L"KorvelClient.exe");
    ScopedHandle upper = startAs(dir, L"KORVEL.EXE");
    ScopedHandle lookalike = startAs(dir, L"KorvelClientX.exe");
    ASSERT_TRUE(client && upper && lookalike);

    std::vector<ProcessInfo> found;
    ASSERT_EQ(ProcessManager().findProcessesByName(L"korvelclient.exe", found), ErrorCode::Success);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].pid, GetProcessId(client.get()));
    EXPECT_EQ(found[0].exeName, L"KorvelClient.exe");
    EXPECT_NE(found[0].imagePath.find(L"KorvelClient.exe"), std::wstring::npos);

    StreamCapture out(STD_OUTPUT_HANDLE);
    uint32_t count = 0;
    EXPECT_EQ(ProcessManager().terminateAllProductProcesses(count), ErrorCode::Success);
    EXPECT_EQ(count, 2u);
    // Waited for: both are gone the moment the call returns, so their images
    // and open files no longer stand in the way of the removal.
    EXPECT_EQ(WaitForSingleObject(client.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(upper.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(client.get()), ProcessManager::kForcedExitCode);
    EXPECT_EQ(exitCodeOf(upper.get()), ProcessManager::kForcedExitCode);
    EXPECT_EQ(WaitForSingleObject(lookalike.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    const std::string text = out.text();
    EXPECT_NE(text.find("\"message\":\"Graceful termination failed, forcing\""), std::string::npos);
    EXPECT_NE(text.find("\"message\":\"Process terminated forcefully\""), std::string::npos);
    EXPECT_NE(text.find("\"message\":\"Terminating 2 processes\""), std::string::npos);

    TerminateProcess(lookalike.get(), 0);
    WaitForSingleObject(lookalike.get(), 5000);
}

// A pid from the snapshot may name another program by the time it is ended
// (the system reuses pids): a process whose image is none of the product's
// programs is left running.
TEST(ProcessManager, PidThatNoLongerNamesAProductProgramIsLeftAlone) {
    ScratchDir dir;
    ScopedHandle other = startAs(dir, L"SomeoneElse.exe");
    ASSERT_TRUE(other);
    StreamCapture out(STD_OUTPUT_HANDLE);
    EXPECT_EQ(ProcessManager().terminateProcess(GetProcessId(other.get())), ErrorCode::Success);
    EXPECT_EQ(WaitForSingleObject(other.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_NE(out.text().find("is no longer a Korvel program"), std::string::npos);
    TerminateProcess(other.get(), 0);
    WaitForSingleObject(other.get(), 5000);
}

TEST(ProcessManager, ProcessAlreadyGoneCountsAsEnded) {
    EXPECT_EQ(ProcessManager().closeProcessWindows(0xFFFFFFF0u), ErrorCode::Success);
    EXPECT_EQ(ProcessManager().forceTerminate(0xFFFFFFF0u), ErrorCode::Success);
}

}  // namespace
}  // namespace korvel
