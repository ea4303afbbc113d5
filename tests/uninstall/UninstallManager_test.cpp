// One uninstall run in process: where the installation is found, how the
// answer to the prompt is read, which folders are refused before anything
// happens, and what is kept when folders are removed.
#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/UniqueResource.h"
#include "install/InstallReceipt.h"
#include "install/RegistryManager.h"
#include "tests/elevated/StreamCapture.h"
#include "tests/support/TestSupport.h"
#include "tests/uninstall/UninstallerRun.h"
#include "uninstall/InstallReceiptReader.h"
#include "uninstall/UninstallManager.h"
#include "uninstall/Uninstaller.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using test::ProgramRun;
using test::readFile;
using test::runUninstallerWith;
using test::ScratchDir;
using test::StreamCapture;
using test::writeFile;

// Standard input read from a file holding the given bytes while alive.
class StdinFrom {
public:
    StdinFrom(const ScratchDir& dir, const std::string& bytes) {
        const fs::path file = dir / L"stdin.txt";
        writeFile(file, bytes);
        handle_.reset(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        previous_ = GetStdHandle(STD_INPUT_HANDLE);
        SetStdHandle(STD_INPUT_HANDLE, handle_.get());
    }
    ~StdinFrom() { SetStdHandle(STD_INPUT_HANDLE, previous_); }
    StdinFrom(const StdinFrom&) = delete;
    StdinFrom& operator=(const StdinFrom&) = delete;

private:
    ScopedHandle handle_;
    HANDLE previous_ = nullptr;
};

// Makes a folder the current one while alive.
class InFolder {
public:
    explicit InFolder(const fs::path& folder) {
        previous_ = fs::current_path(ec_);
        fs::current_path(folder);
    }
    ~InFolder() {
        // The folder the test started in may not be one Windows can go back
        // to (a host folder outside the sandbox's drives).
        if (!ec_) fs::current_path(previous_, ec_);
        if (ec_) SetCurrentDirectoryW(L"C:\\");
    }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    std::error_code ec_;
    fs::path previous_;
};

// The machine's uninstall entry is removed before and after each test.
class UninstallManagerTest : public ::testing::Test {
protected:
    void SetUp() override { RegistryManager().removeUninstallInfo(); }
    void TearDown() override {
        RegistryManager().removeUninstallInfo();
        std::error_code ec;
        fs::remove_all(UninstallManager::kDefaultInstallPath, ec);
    }
};

void writeReceipt(const fs::path& folder) {
    InstallReceipt receipt = createInstallReceipt(folder.wstring(), L"3.2.1");
    receipt.shortcuts = {{L"Korvel", L"START_MENU", L"ALL_USERS"}, {L"Korvel", L"DESKTOP", L"ALL_USERS"}};
    receipt.uninstallKey = L"HKLM\\Korvel";
    ASSERT_EQ(writeInstallReceipt(receipt, getReceiptPath(folder.wstring()).wstring()), ErrorCode::Success);
}

// A forced, quiet purge of the given installation folder.
UninstallOptions purgeWithoutPrompt(const fs::path& install) {
    UninstallOptions options;
    options.force = true;
    options.purge = true;
    options.quiet = true;
    options.installPath = install.wstring();
    return options;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(UninstallManagerTest, DetectsByOptionRegistryOrDefaultFolder) {
    ScratchDir dir;
    const fs::path byOption = dir / L"ByOption";
    const fs::path byRegistry = dir / L"ByRegistry";
    fs::create_directories(byOption);
    fs::create_directories(byRegistry);
    writeReceipt(byOption);
    StreamCapture out(STD_OUTPUT_HANDLE);

    {  // the option wins; the receipt there is read
        UninstallManager manager;
        UninstallOptions options;
        options.installPath = byOption.wstring();
        InstallationInfo info;
        EXPECT_EQ(manager.detectInstallation(options, info), 0);
        EXPECT_TRUE(info.found);
        EXPECT_TRUE(info.receiptFound);
        EXPECT_FALSE(info.registryFound);
        EXPECT_EQ(info.version, L"3.2.1");
        EXPECT_EQ(info.removalItems, (std::vector<std::wstring>{byOption.wstring(), L"Shortcut: Korvel",
                                                                L"Shortcut: Korvel", L"Registry: HKLM\\Korvel"}));
    }
    {  // nothing anywhere
        UninstallManager manager;
        UninstallOptions options;
        options.installPath = (dir / L"Missing").wstring();
        InstallationInfo info;
        manager.detectInstallation(options, info);
        EXPECT_FALSE(info.found);
        EXPECT_TRUE(info.removalItems.empty());
    }
    {  // the default folder
        fs::create_directories(UninstallManager::kDefaultInstallPath);
        UninstallManager manager;
        InstallationInfo info;
        manager.detectInstallation(UninstallOptions(), info);
        EXPECT_TRUE(info.found);
        EXPECT_FALSE(info.receiptFound);
        EXPECT_EQ(info.installPath, UninstallManager::kDefaultInstallPath);
        fs::remove_all(UninstallManager::kDefaultInstallPath);
    }
    ASSERT_EQ(RegistryManager().writeUninstallInfo(byRegistry.wstring(), L"1.0", L"", L""), ErrorCode::Success);
    {  // the registry's InstallLocation, also when the folder is gone
        fs::remove_all(byRegistry);
        UninstallManager manager;
        InstallationInfo info;
        manager.detectInstallation(UninstallOptions(), info);
        EXPECT_TRUE(info.found);
        EXPECT_TRUE(info.registryFound);
        EXPECT_EQ(info.installPath, byRegistry.wstring());
    }
    {  // a folder given that does not exist is not found, entry or not
        UninstallManager manager;
        UninstallOptions options;
        options.installPath = (dir / L"ByRegistr").wstring();
        InstallationInfo info;
        manager.detectInstallation(options, info);
        EXPECT_FALSE(info.found);
        EXPECT_TRUE(info.removalItems.empty());
    }
    {  // a location that is not text is no location
        RegistryKeyHandle key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, RegistryManager::kUninstallKeyPath, 0, KEY_SET_VALUE, key.put()),
                  ERROR_SUCCESS);
        const DWORD value = 5;
        RegSetValueExW(key.get(), L"InstallLocation", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        UninstallManager manager;
        InstallationInfo info;
        manager.detectInstallation(UninstallOptions(), info);
        EXPECT_FALSE(info.registryFound);
        EXPECT_EQ(info.installPath, UninstallManager::kDefaultInstallPath);
    }
}

TEST_F(UninstallManagerTest, ReadsTheAnswerFromStandardInput) {
    ScratchDir dir;
    InstallationInfo info;
    info.installPath = L"C:\\Somewhere";
    info.version = L"9.9";
    info.removalItems = {L"C:\\Somewhere", L"Shortcut: Korvel"};
    const struct {
        std::string input;
        bool approved;
    } cases[] = {{"y\n", true}, {"Yes\n", true}, {"  y\n", true}, {"\n\n Y", true},
                 {"n\n", false}, {"", false},    {"no y\n", false}, {"\xc3\xbf\n", false}};
    for (const auto& c : cases) {
        StdinFrom input(dir, c.input);
        StreamCapture out(STD_OUTPUT_HANDLE);
        UninstallManager manager;
        bool approved = !c.approved;
        EXPECT_EQ(manager.promptConfirmation(info, approved), 0);
        EXPECT_EQ(approved, c.approved) << c.input;
        EXPECT_TRUE(has(out.text(), "\n=== Korvel Uninstall Confirmation ===\n\nInstallation Path: C:\\Somewhere\n"
                                    "Version: 9.9\n\nThe following will be removed:\n  - C:\\Somewhere\n"
                                    "  - Shortcut: Korvel\n\nDo you want to continue? (Y/N): "))
            << out.text();
    }
    {  // --force asks nothing
        StdinFrom input(dir, "n\n");
        StreamCapture out(STD_OUTPUT_HANDLE);
        UninstallManager manager;
        UninstallOptions options;
        options.force = true;
        bool approved = false;
        manager.confirmUninstall(info, options, approved);
        EXPECT_TRUE(approved);
        EXPECT_FALSE(has(out.text(), "Do you want to continue?"));
        EXPECT_TRUE(has(out.text(), "Confirmation skipped (--force)"));
    }
}

TEST_F(UninstallManagerTest, DeclinedRunPrintsCancellationAndNoSuccessBlock) {
    ScratchDir dir;
    const fs::path install = dir / L"Korvel";
    fs::create_directories(install);
    writeFile(install / L"file.txt", "x");
    for (bool quiet : {false, true}) {
        StdinFrom input(dir, "n\n");
        const ProgramRun run = quiet ? runUninstallerWith({L"--quiet", L"--install-path", install.wstring()})
                              : runUninstallerWith({L"--install-path", install.wstring()});
        EXPECT_EQ(run.code, 0);
        EXPECT_TRUE(has(run.out, "Do you want to continue? (Y/N): "));  // shown also when quiet
        EXPECT_EQ(has(run.out, "Uninstall cancelled by user.\n"), !quiet);
        EXPECT_FALSE(has(run.out, "Uninstall completed successfully!"));
        EXPECT_TRUE(has(run.out, "\"message\":\"Event: confirmation, Status: cancelled\""));
        EXPECT_TRUE(has(run.out, "\"operation\":\"uninstaller\",\"pid\""));
        EXPECT_TRUE(has(run.out, "\"success\":true"));
        EXPECT_FALSE(has(run.out, "terminate_processes"));
        EXPECT_TRUE(fs::exists(install / L"file.txt"));
    }
}

TEST_F(UninstallManagerTest, FolderThatIsNotFullyQualifiedIsRefusedBeforeAnything) {
    ScratchDir dir;
    fs::create_directories(dir / L"Korvel");
    writeFile(dir / L"Korvel" / L"keep.txt", "x");
    ASSERT_EQ(RegistryManager().writeUninstallInfo((dir / L"Elsewhere").wstring(), L"1.0", L"", L""),
              ErrorCode::Success);
    {
    InFolder inside(dir.path());
    for (const std::wstring& path : {std::wstring(L"Korvel"), std::wstring(L"\\unit"), std::wstring(L"T:unit")}) {
        const ProgramRun run = runUninstallerWith({L"--force", L"--install-path", path});
        EXPECT_EQ(run.code, 147);
        EXPECT_TRUE(has(run.err, "Refusing to remove the installation folder " + std::string(path.begin(), path.end())))
            << run.err;
        EXPECT_TRUE(has(run.err, "Uninstall failed with error code: 147"));
        EXPECT_FALSE(has(run.out, "terminate_processes"));
        EXPECT_FALSE(has(run.out, "remove_registry"));
    }
    }
    EXPECT_TRUE(fs::exists(dir / L"Korvel" / L"keep.txt"));
    RegistryKeyHandle key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, RegistryManager::kUninstallKeyPath, 0, KEY_READ, key.put()),
              ERROR_SUCCESS);
}

TEST_F(UninstallManagerTest, SpecialFolderThatCannotBeObtainedIsSkipped) {
    ScratchDir dir;
    const fs::path install = dir / L"Install";
    fs::create_directories(install / L"sub");
    writeFile(install / L"sub" / L"a.txt", "a");
    // What a relative removal would reach: Korvel and Temp below the
    // current folder.
    fs::create_directories(dir / L"Korvel");
    writeFile(dir / L"Korvel" / L"user.dat", "u");
    fs::create_directories(dir / L"Temp" / L"korvel-session-1");
    InFolder inside(dir.path());
    StreamCapture out(STD_OUTPUT_HANDLE);
    UninstallManager manager;
    manager.folderPath = [](int) { return std::wstring(); };
    const UninstallOptions options = purgeWithoutPrompt(install);
    UninstallStats stats;
    const int code = manager.run(options, stats);

    EXPECT_EQ(code, 0);
    EXPECT_FALSE(fs::exists(install));
    EXPECT_EQ(stats.filesRemoved, 1u);
    EXPECT_EQ(stats.directoriesRemoved, 2u);
    EXPECT_TRUE(fs::exists(dir / L"Korvel" / L"user.dat"));
    EXPECT_TRUE(fs::exists(dir / L"Temp" / L"korvel-session-1"));
    const std::string text = out.text();
    EXPECT_TRUE(has(text, "Failed to initialize file logging"));
    EXPECT_TRUE(has(text, "Cannot obtain the local application-data folder; its Korvel folder is not removed"));
    EXPECT_TRUE(has(text, "Cannot obtain the common application-data folder; its Korvel folder is not removed"));
    EXPECT_TRUE(has(text, "Cannot obtain the Windows folder; session folders are not removed"));
    EXPECT_FALSE(manager.logOpen());
}

TEST_F(UninstallManagerTest, PurgeRemovesEverythingButTheOpenLog) {
    ScratchDir dir;
    const fs::path install = dir / L"Install";
    fs::create_directories(install);
    writeFile(install / L"a.txt", "a");
    const fs::path common = fs::path(getFolderPath(CSIDL_COMMON_APPDATA)) / L"Korvel";
    const fs::path local = fs::path(getFolderPath(CSIDL_LOCAL_APPDATA)) / L"Korvel";
    std::error_code ec;
    fs::remove_all(common, ec);
    fs::remove_all(local, ec);
    for (const auto& entry : fs::directory_iterator(fs::path(getFolderPath(CSIDL_WINDOWS)) / L"Temp")) {
        if (entry.path().filename().wstring().rfind(L"korvel-session-", 0) == 0) fs::remove_all(entry.path(), ec);
    }
    // Names that sort after "Logs" too, so an order-dependent stop at the
    // open log would leave them behind.
    for (const fs::path& base : {common, local}) {
        fs::create_directories(base / L"Zdata" / L"deep");
        writeFile(base / L"Zdata" / L"deep" / L"z.bin", "z");
        writeFile(base / L"settings.json", "{}");
    }
    fs::create_directories(common / L"Logs");
    writeFile(common / L"Logs" / L"uninstall-19990101-000000.log", "old");
    writeFile(common / L"Logs" / L"zzz.txt", "z");

    StreamCapture out(STD_OUTPUT_HANDLE);
    UninstallManager manager;
    const UninstallOptions options = purgeWithoutPrompt(install);
    UninstallStats stats;
    EXPECT_EQ(manager.run(options, stats), 0);
    ASSERT_TRUE(manager.logOpen());

    EXPECT_FALSE(fs::exists(install));
    EXPECT_FALSE(fs::exists(local));
    std::vector<fs::path> left;
    for (const auto& entry : fs::recursive_directory_iterator(common)) left.push_back(entry.path());
    ASSERT_EQ(left.size(), 2u);  // Logs and the open log
    EXPECT_TRUE(fs::equivalent(fs::path(manager.logPath()), left[0].filename() == L"Logs" ? left[1] : left[0]));
    // install: 1 file + root; local: 2 files + 3 folders; common: 4 files + 2 folders.
    EXPECT_EQ(stats.filesRemoved, 1u + 2u + 4u);
    EXPECT_EQ(stats.directoriesRemoved, 1u + 3u + 2u);
    const std::string log = readFile(manager.logPath());
    EXPECT_EQ(log.rfind("Korvel Uninstaller Log\nStarted: ", 0), 0u) << log;
    EXPECT_TRUE(has(log, "\n\n\n=== Uninstall Summary ===\nVersion: \nInstall Path: " + install.string() +
                             "\nProcesses Terminated: 0\nShortcuts Removed: 0\nRegistry Keys Removed: 1\n"
                             "Files Removed: 7\nDirectories Removed: 6\nDuration: "))
        << log;
    EXPECT_TRUE(has(log, " ms\nSuccess: true\n"));
}

}  // namespace
}  // namespace korvel
