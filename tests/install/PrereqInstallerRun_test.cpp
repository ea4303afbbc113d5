// The download folder, the check of an installer and the child processes,
// in process: the security descriptor the folder is made with, the handle
// that keeps a checked installer from changing, and the time limits (made
// short through the installer's time-limit setters).
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/FileOperations.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "install/PrereqInstaller.h"
#include "tests/install/PrereqEvents.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using test::messages;
using test::StdoutCapture;

const wchar_t kStandIn[] = L"K:\\prereq-installers\\VC_redist.x64.exe";
const wchar_t kExitVariable[] = L"KORVEL_TEST_INSTALLER_EXIT_VC_REDIST_X64";

bool contains(const std::vector<std::string>& list, const std::string& item) {
    for (const std::string& s : list) {
        if (s == item) return true;
    }
    return false;
}

std::string digestOf(const fs::path& path) {
    std::string hex;
    FileOperations().hashFile(path, hex);
    return hex;
}

// The stand-in programs' settings file, for the children this test starts
// (no variable of this process reaches them); removed at the end.
class ScopedStandInSettings {
public:
    explicit ScopedStandInSettings(const std::vector<std::pair<std::wstring, std::wstring>>& settings) {
        CreateDirectoryW(L"C:\\KorvelTest", nullptr);
        std::string text;
        for (const auto& [name, value] : settings) text += wideToUtf8(name) + "=" + wideToUtf8(value) + "\n";
        test::writeFile(kFile, text);
    }
    ~ScopedStandInSettings() { DeleteFileW(kFile); }

private:
    static constexpr const wchar_t* kFile = L"C:\\KorvelTest\\stand-ins.cfg";
};

// Sets a variable of this process for as long as it lives.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const wchar_t* value) : name_(name) { SetEnvironmentVariableW(name, value); }
    ~ScopedVariable() { SetEnvironmentVariableW(name_, nullptr); }

private:
    const wchar_t* name_;
};

// NAME=VALUE lines the stand-in installer recorded of its environment.
std::vector<std::string> recordedEnvironment(const fs::path& log) {
    std::vector<std::string> variables;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos) variables.push_back(line.substr(tab + 1));
    }
    return variables;
}

// The pids the stand-in installer recorded, from its log.
std::vector<DWORD> recordedPids(const fs::path& log) {
    std::vector<DWORD> pids;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos) pids.push_back(static_cast<DWORD>(std::stoul(line.substr(tab + 1))));
    }
    return pids;
}

bool processRunning(DWORD pid) {
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process.valid() && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// Ends a stand-in installer left running. A recorded pid may since belong to
// another program (the system reuses them; other tests run beside this one),
// so only a process whose image is a stand-in installer is ended.
void endStandIn(DWORD pid) {
    ScopedHandle process(
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process.valid()) return;
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!QueryFullProcessImageNameW(process.get(), 0, image, &size)) return;
    const std::wstring name = fs::path(std::wstring(image, size)).filename().wstring();
    if (CompareStringOrdinal(name.c_str(), -1, fs::path(kStandIn).filename().c_str(), -1, TRUE) != CSTR_EQUAL) return;
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 10000);
}

TEST(PrereqFolderSecurity, OnlyAdministratorsAndSystemProtectedFromInheritance) {
    std::vector<unsigned char> descriptor;
    ASSERT_TRUE(PrereqInstaller::buildDownloadFolderSecurity(descriptor));
    PSECURITY_DESCRIPTOR sd = descriptor.data();
    ASSERT_TRUE(IsValidSecurityDescriptor(sd));

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
    EXPECT_TRUE(control & SE_SELF_RELATIVE);
    EXPECT_TRUE(control & SE_DACL_PRESENT);
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    EXPECT_FALSE(control & SE_DACL_DEFAULTED);

    unsigned char administrators[SECURITY_MAX_SID_SIZE];
    unsigned char system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
    size = sizeof system;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));

    PSID owner = nullptr;
    BOOL defaulted = TRUE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd, &owner, &defaulted));
    ASSERT_NE(owner, nullptr);
    EXPECT_TRUE(EqualSid(owner, administrators));
    EXPECT_FALSE(defaulted);

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);  // a NULL DACL would grant everyone everything
    ASSERT_EQ(dacl->AceCount, 2);
    PSID expected[] = {administrators, system};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(allowed->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
        EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart), expected[i]));
    }

    // The same read back through the system's own text form.
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr));
    LocalMemory owned(text);
    EXPECT_STREQ(text, L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
}

TEST(PrereqFolder, IsMadeAfreshAndCannotBeMovedWhileHeld) {
    test::ScratchDir scratch;
    const fs::path folder = scratch / L"KorvelPrereqs";
    fs::create_directories(folder / L"sub");
    test::writeFile(folder / L"VC_redist.x64.exe", "planted");
    test::writeFile(folder / L"sub" / L"x.dll", "planted");

    PrereqInstaller installer(L"", folder);
    ASSERT_EQ(installer.createDownloadDirectory(), ErrorCode::Success);
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_FALSE(fs::exists(folder / L"VC_redist.x64.exe"));
    EXPECT_FALSE(fs::exists(folder / L"sub"));
    // Held without delete sharing: it can be neither renamed nor removed.
    EXPECT_FALSE(MoveFileExW(folder.c_str(), (scratch / L"moved").c_str(), 0));
    EXPECT_FALSE(RemoveDirectoryW(folder.c_str()));
    EXPECT_TRUE(fs::is_directory(folder));

    // A plain file where the folder goes is removed too.
    installer.cleanupDownloadDirectory();
    test::writeFile(folder, "a file in the way");
    ASSERT_EQ(installer.createDownloadDirectory(), ErrorCode::Success);
    EXPECT_TRUE(fs::is_directory(folder));

    EXPECT_EQ(installer.cleanupDownloadDirectory(), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(installer.cleanupDownloadDirectory(), ErrorCode::Success);
}

// The WARNING names what the system says of the Windows error that stopped
// the removal.
TEST(PrereqFolder, ACleanUpThatFailsIsReportedWithTheWindowsError) {
    test::ScratchDir scratch;
    const fs::path folder = scratch / L"KorvelPrereqs";
    PrereqInstaller installer(L"", folder);
    ASSERT_EQ(installer.createDownloadDirectory(), ErrorCode::Success);
    const fs::path file = folder / L"held.bin";
    test::writeFile(file, "held\n");
    // Held open without delete sharing: it cannot go while this lasts.
    ScopedHandle held(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    StdoutCapture capture;
    EXPECT_EQ(installer.cleanupDownloadDirectory(), ErrorCode::DirectoryAccessDenied);
    const std::vector<Json::Value> events = capture.events();
    uint32_t error = 0;
    for (const Json::Value& e : events) {
        if (e["operation"].asString() == "file:delete" && !e["success"].asBool()) {
            error = e["system_error_code"].asUInt();
            break;
        }
    }
    ASSERT_NE(error, 0u) << capture.text();
    EXPECT_EQ(messages(events, "WARNING"),
              std::vector<std::string>{"Failed to cleanup download directory: " + wideToUtf8(formatWin32Error(error))});
    held.close();
    EXPECT_EQ(installer.cleanupDownloadDirectory(), ErrorCode::Success);
}

TEST(PrereqValidation, ChecksThroughAHandleThatKeepsTheFileAsChecked) {
    test::ScratchDir scratch;
    const fs::path folder = scratch / L"KorvelPrereqs";
    PrereqInstaller installer(L"", folder);
    ASSERT_EQ(installer.createDownloadDirectory(), ErrorCode::Success);
    const fs::path file = folder / L"VC_redist.x64.exe";
    test::writeFile(file, "installer bytes");
    const std::string digest = digestOf(file);
    std::string upper = digest;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));

    {
        StdoutCapture capture;
        EXPECT_FALSE(installer.validateDownload(file, std::string(64, '0')));
        EXPECT_FALSE(installer.validateDownload(file, ""));
        EXPECT_FALSE(installer.validateDownload(file, digest.substr(0, 63)));
        const std::vector<std::string> errors = messages(capture.events(), "ERROR");
        EXPECT_TRUE(contains(errors, "Hash mismatch. Expected: " + std::string(64, '0') + ", Actual: " + digest));
    }
    // Nothing is held after a mismatch.
    EXPECT_TRUE(ScopedHandle(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr))
                    .valid());

    ASSERT_TRUE(installer.validateDownload(file, upper));
    // From the check until the installer has ended nobody writes, deletes,
    // replaces or renames it.
    EXPECT_FALSE(ScopedHandle(CreateFileW(file.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr))
                     .valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileW(file.c_str()));
    EXPECT_FALSE(MoveFileExW(file.c_str(), (folder / L"other.exe").c_str(), 0));
    test::writeFile(scratch / L"rogue.exe", "rogue");
    EXPECT_FALSE(MoveFileExW((scratch / L"rogue.exe").c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING));
    // It can still be read (and so started).
    EXPECT_EQ(test::readFile(file), "installer bytes");

    // A failed installation's clean-up lets go of it and deletes it.
    installer.prerequisites().push_back(PrereqInfo{});
    installer.prerequisites().back().installerFile = L"VC_redist.x64.exe";
    EXPECT_EQ(installer.cleanupFailedInstallation(PrereqType::VcRedistX64), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(file));
}

TEST(PrereqValidation, RefusesWhatIsNotAPlainFile) {
    test::ScratchDir scratch;
    const fs::path folder = scratch / L"KorvelPrereqs";
    PrereqInstaller installer(L"", folder);
    ASSERT_EQ(installer.createDownloadDirectory(), ErrorCode::Success);
    fs::create_directories(folder / L"VC_redist.x64.exe");
    StdoutCapture capture;
    EXPECT_FALSE(installer.validateDownload(folder / L"VC_redist.x64.exe", std::string(64, 'a')));
    const std::vector<std::string> errors = messages(capture.events(), "ERROR");
    EXPECT_TRUE(contains(errors, "Installer is not a plain file at its own path: " +
                                     (folder / L"VC_redist.x64.exe").string()));
}

TEST(PrereqTimeouts, AnInstallerPastItsLimitIsEndedWithItsWholeTreeBeforeItsFileGoes) {
    test::ScratchDir scratch;
    const fs::path folder = scratch / L"KorvelPrereqs";
    const fs::path log = scratch / L"installers.log";
    // The installer starts a second process and both wait a minute.
    ScopedStandInSettings settings({{L"KORVEL_TEST_INSTALLER_LOG", log.wstring()}, {kExitVariable, L"tree:60000"}});

    PrereqInstaller installer(L"", folder);
    ASSERT_EQ(installer.initialize(), ErrorCode::Success);
    for (PrereqInfo& row : installer.prerequisites()) row.installed = row.type != PrereqType::VcRedistX64;
    ASSERT_EQ(installer.createDownloadDirectory(), ErrorCode::Success);
    const fs::path file = folder / L"VC_redist.x64.exe";
    ASSERT_TRUE(CopyFileW(kStandIn, file.c_str(), TRUE));
    ASSERT_TRUE(installer.validateDownload(file, installer.prerequisites()[0].sha256));

    installer.setInstallerTimeoutMs(1500);
    StdoutCapture capture;
    EXPECT_EQ(installer.installDownloaded(), ErrorCode::Timeout);
    const std::vector<std::string> errors = messages(capture.events(), "ERROR");
    EXPECT_TRUE(contains(errors, "Installer process timed out"));
    EXPECT_TRUE(contains(errors, "Failed to install: Visual C++ Redistributable (x64)"));
    const std::vector<DWORD> pids = recordedPids(log);
    ASSERT_EQ(pids.size(), 2u);
    for (DWORD pid : pids) EXPECT_FALSE(processRunning(pid)) << pid;
    for (DWORD pid : pids) endStandIn(pid);
    EXPECT_FALSE(fs::exists(file));
}

TEST(PrereqChildren, AnInstallerGetsAnEnvironmentOfTheSystemsOwnAndWhatItStartsEndsWithIt) {
    test::ScratchDir scratch;
    const fs::path folder = scratch / L"KorvelPrereqs";
    const fs::path log = scratch / L"installers.log";
    const fs::path envLog = scratch / L"environment.log";
    // The installer leaves a second process behind when it exits after
    // 1.5 s.
    ScopedStandInSettings settings({{L"KORVEL_TEST_INSTALLER_LOG", log.wstring()},
                                    {L"KORVEL_TEST_ENV_LOG", envLog.wstring()},
                                    {kExitVariable, L"tree:1500"}});
    // What unelevated code could have set for the helper.
    ScopedVariable profiler(L"COR_PROFILER_PATH", L"T:\\planted.dll");
    ScopedVariable temp(L"TEMP", scratch.path().c_str());

    PrereqInstaller installer(L"", folder);
    ASSERT_EQ(installer.initialize(), ErrorCode::Success);
    for (PrereqInfo& row : installer.prerequisites()) row.installed = row.type != PrereqType::VcRedistX64;
    ASSERT_EQ(installer.createDownloadDirectory(), ErrorCode::Success);
    const fs::path file = folder / L"VC_redist.x64.exe";
    ASSERT_TRUE(CopyFileW(kStandIn, file.c_str(), TRUE));
    ASSERT_TRUE(installer.validateDownload(file, installer.prerequisites()[0].sha256));
    uint32_t exitCode = 1;
    ASSERT_EQ(installer.runInstaller(file, L"/quiet", exitCode), ErrorCode::Success);
    EXPECT_EQ(exitCode, 0u);

    wchar_t windows[MAX_PATH];
    wchar_t system[MAX_PATH];
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    GetSystemDirectoryW(system, MAX_PATH);
    const std::string win = wideToUtf8(windows);
    const std::string sys = wideToUtf8(system);
    std::vector<std::string> names;
    std::map<std::string, std::string> values;
    for (const std::string& line : recordedEnvironment(envLog)) {
        const size_t eq = line.find('=', 1);
        ASSERT_NE(eq, std::string::npos) << line;
        std::string name = line.substr(0, eq);
        for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        names.push_back(name);
        values[name] = line.substr(eq + 1);
    }
    for (const std::string& name : names) {
        EXPECT_TRUE(name.rfind("COR_", 0) != 0 && name.rfind("KORVEL", 0) != 0) << name;
    }
    EXPECT_EQ(values["TEMP"], pathToUtf8(folder));
    EXPECT_EQ(values["TMP"], pathToUtf8(folder));
    EXPECT_EQ(values["SYSTEMROOT"], win);
    EXPECT_EQ(values["WINDIR"], win);
    EXPECT_EQ(values["COMSPEC"], sys + "\\cmd.exe");
    EXPECT_EQ(values["PATHEXT"], ".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC");
    EXPECT_EQ(values["PATH"], sys + ";" + win + ";" + sys + "\\Wbem;" + sys + "\\WindowsPowerShell\\v1.0\\");

    // The second process went with the job when the installer had ended.
    const std::vector<DWORD> pids = recordedPids(log);
    ASSERT_EQ(pids.size(), 2u);
    for (DWORD pid : pids) EXPECT_FALSE(processRunning(pid)) << pid;
    for (DWORD pid : pids) endStandIn(pid);
}

TEST(PrereqCommands, RunsTheSystemInterpreterAndCapturesItsOutput) {
    PrereqInstaller installer(L"", L"T:\\unused");
    std::wstring output;
    uint32_t exitCode = 1;
    ASSERT_EQ(installer.runCommand(L"echo 8.0.404", output, exitCode), ErrorCode::Success);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(output, L"8.0.404\r\n");
    ASSERT_EQ(installer.runCommand(L"exit 7", output, exitCode), ErrorCode::Success);
    EXPECT_EQ(exitCode, 7u);
    // Started in the system folder, not in the caller's current folder.
    ASSERT_EQ(installer.runCommand(L"cd", output, exitCode), ErrorCode::Success);
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(output, std::wstring(system) + L"\r\n");
}

TEST(PrereqCommands, ACommandPastItsLimitIsEndedWithItsWholeTreeAndReportsStillActive) {
    test::ScratchDir scratch;
    const fs::path log = scratch / L"installers.log";
    ScopedStandInSettings settings({{L"KORVEL_TEST_INSTALLER_LOG", log.wstring()}, {kExitVariable, L"sleep:60000"}});
    PrereqInstaller installer(L"", L"T:\\unused");
    // Long enough for the interpreter and the stand-in to start under Wine.
    installer.setCommandTimeoutMs(4000);

    const struct {
        const wchar_t* what;
        std::wstring command;
    } cases[] = {
        // A command that does not end.
        {L"waits", L"\"" + std::wstring(kStandIn) + L"\""},
        // One that ends at once, leaving a process that holds the pipe open.
        {L"leaves", L"start /b \"\" \"" + std::wstring(kStandIn) + L"\""},
    };
    for (const auto& c : cases) {
        std::wstring output;
        uint32_t exitCode = 0;
        EXPECT_EQ(installer.runCommand(c.command, output, exitCode), ErrorCode::Success);
        EXPECT_EQ(exitCode, static_cast<uint32_t>(STILL_ACTIVE)) << std::string(c.what, c.what + wcslen(c.what));
    }
    // Both stand-ins ran, and neither outlived its command's limit: the
    // second one was started by the interpreter, not by the helper.
    const std::vector<DWORD> pids = recordedPids(log);
    EXPECT_EQ(pids.size(), 2u);
    for (DWORD pid : pids) EXPECT_FALSE(processRunning(pid)) << pid;
    for (DWORD pid : pids) endStandIn(pid);
}

}  // namespace
}  // namespace korvel
