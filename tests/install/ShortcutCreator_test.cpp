#include <windows.h>

#include <gtest/gtest.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/ErrorCodes.h"
#include "common/EventLogger.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "common/Win32Util.h"
#include "install/ShortcutCreator.h"
#include "tests/common/FileOperationsTesting.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::ScratchDir;
using test::StdoutCapture;
namespace fs = std::filesystem;

fs::path shellFolder(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, buffer, csidl, FALSE)) << csidl;
    return buffer;
}

fs::path commonPrograms() { return shellFolder(CSIDL_COMMON_PROGRAMS); }
fs::path userPrograms() { return shellFolder(CSIDL_PROGRAMS); }
fs::path commonDesktop() { return shellFolder(CSIDL_COMMON_DESKTOPDIRECTORY); }
fs::path userDesktop() { return shellFolder(CSIDL_DESKTOPDIRECTORY); }

struct Link {
    std::wstring target, arguments, workingDir, description, icon;
    int iconIndex = -1;
    int showCmd = -1;
};

// Loads a .lnk through the shell-link object, as the shell would.
bool readLink(const fs::path& file, Link& link) {
    ComApartment apartment(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)));
    ComPtr<IShellLinkW> shell;
    ComPtr<IPersistFile> persist;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(shell.put()))) ||
        FAILED(shell.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(persist.put()))) ||
        FAILED(persist.get()->Load(file.c_str(), STGM_READ)))
        return false;
    wchar_t buffer[2048];
    buffer[0] = 0;
    shell.get()->GetPath(buffer, 2048, nullptr, SLGP_RAWPATH);
    link.target = buffer;
    buffer[0] = 0;
    shell.get()->GetArguments(buffer, 2048);
    link.arguments = buffer;
    buffer[0] = 0;
    shell.get()->GetWorkingDirectory(buffer, 2048);
    link.workingDir = buffer;
    buffer[0] = 0;
    shell.get()->GetDescription(buffer, 2048);
    link.description = buffer;
    buffer[0] = 0;
    shell.get()->GetIconLocation(buffer, 2048, &link.iconIndex);
    link.icon = buffer;
    shell.get()->GetShowCmd(&link.showCmd);
    return true;
}

void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    test::writeFile(file, "not a real link");
}

bool present(const fs::path& p) { return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The shared shell folders are cleaned before and after each case. The
// thread holds its apartment throughout, as the helper's entry point does.
class Shortcuts : public ::testing::Test {
protected:
    void SetUp() override {
        apartment_.reset(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)));
        clean();
    }
    void TearDown() override {
        clean();
        EventLogger::instance().verbose = false;
    }
    ComApartment apartment_;
    static void clean() {
        std::error_code ec;
        for (const fs::path& p :
             {commonPrograms() / L"Korvel", userPrograms() / L"Korvel", commonDesktop() / L"Korvel.lnk",
              userDesktop() / L"Korvel.lnk", commonPrograms() / L"KorvelTestSub", userPrograms() / L"KorvelTestA",
              userPrograms() / L"KorvelTestB", userDesktop() / L"Korvel Extra.lnk"})
            fs::remove_all(p, ec);
    }
};

TEST(ShortcutNames, Sanitised) {
    const struct {
        std::wstring in;
        std::wstring out;
    } cases[] = {
        {L"Korvel", L"Korvel"},
        {L"  Korvel \t", L"Korvel"},
        {L"a:b/c\\d*e?f\"g<h>i|j", L"a_b_c_d_e_f_g_h_i_j"},
        {std::wstring(L"a\0b", 3), L"a_b"},
        {L" \t ", L"Shortcut"},
        {L"", L"Shortcut"},
        {std::wstring(300, L'k'), std::wstring(255, L'k')},
        {L" :", L"_"},
    };
    for (const auto& c : cases) EXPECT_EQ(ShortcutCreator::sanitizeShortcutName(c.in), c.out);
}

TEST(ShortcutNames, LnkExtensionInAnyCase) {
    for (const wchar_t* yes : {L"a.lnk", L"Korvel Help.LNK", L"x.Lnk", L"a.b.lnk"}) EXPECT_TRUE(ShortcutCreator::hasLnkExtension(yes));
    for (const wchar_t* no : {L"a.lnk.txt", L"alnk", L"a.lnkx", L"a.ln", L".lnk", L"a."}) EXPECT_FALSE(ShortcutCreator::hasLnkExtension(no));
}

TEST_F(Shortcuts, ThreeShortcutsForAFolderWithTheLauncher) {
    ScratchDir dir;
    const std::wstring install = dir.path().wstring();
    const std::wstring launcher = install + L"\\KorvelLauncher.exe";
    test::writeFile(launcher, "MZ");

    for (int round = 0; round < 2; ++round) {
        StdoutCapture capture;
        {
            ShortcutCreator creator;
            ASSERT_EQ(creator.createShortcuts(install, L"", L"", L""), ErrorCode::Success);
        }
        const auto events = test::eventsWithOperation(capture.events(), "shortcut_create");
        ASSERT_EQ(events.size(), 3u);
        for (const Json::Value& e : events) EXPECT_TRUE(e["success"].asBool());
        EXPECT_EQ(test::namesIn(commonPrograms() / L"Korvel"),
                  (std::vector<std::wstring>{L"Korvel.lnk", L"Uninstall Korvel.lnk"}));
    }

    for (const fs::path& file : {commonPrograms() / L"Korvel" / L"Korvel.lnk", commonDesktop() / L"Korvel.lnk"}) {
        Link link;
        ASSERT_TRUE(readLink(file, link)) << file.string();
        EXPECT_TRUE(samePath(link.target, launcher)) << file.string();
        EXPECT_EQ(link.arguments, L"");
        EXPECT_TRUE(samePath(link.workingDir, install));
        EXPECT_EQ(link.description, L"Korvel - Virtual World Platform");
        EXPECT_TRUE(samePath(link.icon, launcher));
        EXPECT_EQ(link.iconIndex, 0);
        EXPECT_EQ(link.showCmd, SW_SHOWNORMAL);
    }
    Link uninstall;
    ASSERT_TRUE(readLink(commonPrograms() / L"Korvel" / L"Uninstall Korvel.lnk", uninstall));
    EXPECT_TRUE(samePath(uninstall.target, launcher));
    EXPECT_EQ(uninstall.arguments, L"--uninstall");
    EXPECT_TRUE(samePath(uninstall.workingDir, install));
    EXPECT_EQ(uninstall.description, L"Uninstall Korvel from your computer");
    EXPECT_EQ(uninstall.icon, L"C:\\Windows\\System32\\appwiz.cpl");
    EXPECT_EQ(uninstall.iconIndex, 0);
}

TEST_F(Shortcuts, WithoutTheLauncherNothingIsMade) {
    ScratchDir dir;
    StdoutCapture capture;
    {
        ShortcutCreator creator;
        EXPECT_EQ(creator.createShortcuts(dir.path().wstring(), L"", L"", L""), ErrorCode::FileNotFound);
    }
    const auto events = capture.events();
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(events, "WARNING"),
                                    "Skipping uninstall shortcut creation - no valid target found under installer path: " +
                                        dir.path().string() + "\\KorvelLauncher.exe"));
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(events, "ERROR"), "Failed to create some shortcuts"));
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(events, "INFO"), "Successfully created 0 of 2 shortcuts"));
    EXPECT_TRUE(test::eventsWithOperation(events, "shortcut_create").empty());
    EXPECT_FALSE(present(commonDesktop() / L"Korvel.lnk"));
    EXPECT_FALSE(present(commonPrograms() / L"Korvel"));
}

// The Windows error of the creation that failed names the reason, as the
// system words it for that error (not a C library errno read as one).
TEST_F(Shortcuts, AShellFolderThatCannotBeMadeIsReportedWithItsWindowsError) {
    ScratchDir dir;
    test::writeFile(dir / L"file.txt", "not a folder\n");
    const std::wstring folder = (dir / L"file.txt" / L"Korvel").wstring();
    ASSERT_FALSE(CreateDirectoryW(folder.c_str(), nullptr));
    const uint32_t error = GetLastError();
    StdoutCapture capture;
    {
        ShortcutCreator creator;
        EXPECT_EQ(creator.createShellFolder(folder), ErrorCode::ShellFolderFailed);
    }
    const std::vector<std::string> errors = test::logMessages(capture.events(), "ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Failed to create shell folder: " + fs::path(folder).string() + " - " +
                             wideToUtf8(formatWin32Error(error)));
}

TEST_F(Shortcuts, UninstallTargetFallbackChain) {
    const struct {
        std::vector<std::wstring> files;  // below the install folder
        bool givenLauncher;               // the caller names Launcher\Custom.exe
        std::wstring target;              // relative to the install folder; empty: no shortcut
        std::wstring arguments;
    } cases[] = {
        {{L"Launcher\\Custom.exe", L"Launcher\\KorvelUninstall.exe"}, true, L"Launcher\\Custom.exe", L"--uninstall"},
        {{L"Launcher\\KorvelUninstall.exe", L"Client\\KorvelUninstall.exe"}, true, L"Launcher\\KorvelUninstall.exe", L""},
        {{L"Client\\KorvelUninstall.exe", L"Launcher\\KorvelLauncher.exe"}, false, L"Client\\KorvelUninstall.exe", L""},
        {{L"Launcher\\KorvelLauncher.exe", L"KorvelLauncher.exe"}, false, L"Launcher\\KorvelLauncher.exe", L"--uninstall"},
        {{L"KorvelLauncher.exe"}, true, L"KorvelLauncher.exe", L"--uninstall"},
        {{}, false, L"", L"--uninstall"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        for (const std::wstring& f : c.files) touch(dir / f);
        StdoutCapture capture;
        ShortcutCreator creator;
        bool exists = false;
        const std::wstring given = c.givenLauncher ? (dir / L"Launcher" / L"Custom.exe").wstring() : L"";
        const ShortcutInfo info = creator.makeUninstallShortcut(dir.path().wstring(), given, exists);
        const std::wstring expected = (dir / (c.target.empty() ? L"KorvelLauncher.exe" : c.target)).wstring();
        EXPECT_EQ(info.targetPath, expected);
        EXPECT_EQ(exists, !c.target.empty());
        EXPECT_EQ(info.arguments, c.arguments);
        EXPECT_EQ(info.workingDirectory, fs::path(expected).parent_path().wstring());
        EXPECT_TRUE(info.runAsAdmin);
        const bool warned = test::anyStartsWith(test::logMessages(capture.events(), "WARNING"),
                                                "Electron launcher not found for uninstall shortcut: ");
        EXPECT_EQ(warned, c.givenLauncher && c.target != L"Launcher\\Custom.exe");
    }
}

TEST_F(Shortcuts, NamesAreTrimmedAndAColonIsRefusedBeforeAnyFile) {
    ScratchDir dir;
    test::writeFile(dir / L"KorvelLauncher.exe", "MZ");
    ShortcutInfo info;
    info.targetPath = (dir / L"KorvelLauncher.exe").wstring();
    info.name = L"Korvel:Test";
    StdoutCapture capture;
    ShortcutCreator creator;
    EXPECT_EQ(creator.createShortcut(info), ErrorCode::InvalidArguments);
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "ERROR"), "Invalid shortcut name: Korvel:Test"));
    EXPECT_FALSE(present(commonPrograms() / L"Korvel"));

    info.name = L"  Korvel Test\t";
    EXPECT_EQ(creator.createShortcut(info), ErrorCode::Success);
    EXPECT_EQ(test::namesIn(commonPrograms() / L"Korvel"), std::vector<std::wstring>{L"Korvel Test.lnk"});

    info.location = ShortcutLocation::Taskbar;
    EXPECT_EQ(creator.createShortcut(info), ErrorCode::ShortcutCreateFailed);
    info.location = static_cast<ShortcutLocation>(9);
    EXPECT_EQ(creator.createShortcut(info), ErrorCode::InvalidArguments);
    info.location = ShortcutLocation::StartMenu;
    info.targetPath.clear();
    EXPECT_EQ(creator.createShortcut(info), ErrorCode::InvalidArguments);
}

TEST_F(Shortcuts, RemovalKeepsToTheFilterAndReportsEachDeletionAsSuccess) {
    touch(commonPrograms() / L"KorvelTestSub" / L"Deeper" / L"Korvel Help.LNK");
    touch(commonPrograms() / L"KorvelTestSub" / L"korvel.lnk");
    touch(commonPrograms() / L"KorvelTestSub" / L"Korvel notes.txt");
    touch(commonPrograms() / L"Korvel" / L"Korvel.lnk");
    touch(commonPrograms() / L"Korvel" / L"readme.txt");
    touch(userPrograms() / L"Korvel" / L"Other" / L"stuff.bin");
    touch(userDesktop() / L"Korvel Extra.lnk");

    StdoutCapture capture;
    {
        ShortcutCreator creator;
        EXPECT_EQ(creator.removeAllShortcuts(), ErrorCode::Success);
    }
    EXPECT_FALSE(present(commonPrograms() / L"KorvelTestSub" / L"Deeper" / L"Korvel Help.LNK"));
    EXPECT_TRUE(present(commonPrograms() / L"KorvelTestSub" / L"korvel.lnk"));
    EXPECT_TRUE(present(commonPrograms() / L"KorvelTestSub" / L"Korvel notes.txt"));
    EXPECT_FALSE(present(commonPrograms() / L"Korvel"));
    EXPECT_FALSE(present(userPrograms() / L"Korvel"));
    EXPECT_FALSE(present(userDesktop() / L"Korvel Extra.lnk"));

    const auto events = test::eventsWithOperation(capture.events(), "shortcut_create");
    ASSERT_EQ(events.size(), 3u);
    for (const Json::Value& e : events) {
        EXPECT_TRUE(e["success"].asBool());
        EXPECT_EQ(e["event_type"].asString(), "status");
    }
    EXPECT_EQ(events[0]["shortcut_name"].asString(), "Korvel.lnk");
    EXPECT_EQ(events[2]["shortcut_name"].asString(), "Korvel Extra.lnk");
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "INFO"),
                                    "Shortcut removal completed successfully"));
}

TEST_F(Shortcuts, RemovalWithNothingToRemove) {
    StdoutCapture capture;
    ShortcutCreator creator;
    EXPECT_EQ(creator.removeAllShortcuts(), ErrorCode::Success);
    EXPECT_TRUE(test::eventsWithOperation(capture.events(), "shortcut_create").empty());
}

TEST_F(Shortcuts, UnreadableFolderIsNamedAndTheWalkGoesOn) {
    touch(userPrograms() / L"KorvelTestA" / L"Korvel A.lnk");
    touch(userPrograms() / L"KorvelTestB" / L"Korvel B.lnk");
    touch(userDesktop() / L"Korvel Extra.lnk");
    ScopedHandle held(CreateFileW((userPrograms() / L"KorvelTestA").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(held.valid());

    StdoutCapture capture;
    {
        ShortcutCreator creator;
        EXPECT_EQ(creator.removeAllShortcuts(), ErrorCode::ShortcutCreateFailed);
    }
    held.close();
    const auto warnings = test::logMessages(capture.events(), "WARNING");
    EXPECT_TRUE(test::anyStartsWith(warnings, "Cannot read folder while removing shortcuts: " +
                                                  (userPrograms() / L"KorvelTestA").string() + " - 32"));
    EXPECT_TRUE(present(userPrograms() / L"KorvelTestA" / L"Korvel A.lnk"));
    EXPECT_FALSE(present(userPrograms() / L"KorvelTestB" / L"Korvel B.lnk"));
    EXPECT_FALSE(present(userDesktop() / L"Korvel Extra.lnk"));
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "INFO"),
                                    "Shortcut removal completed with warnings"));
}

TEST_F(Shortcuts, ShortcutThatCannotBeDeletedGivesAWarning) {
    const fs::path locked = userDesktop() / L"Korvel Extra.lnk";
    touch(locked);
    touch(commonPrograms() / L"Korvel" / L"Korvel.lnk");
    ScopedHandle held(CreateFileW(locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    StdoutCapture capture;
    {
        ShortcutCreator creator;
        EXPECT_EQ(creator.removeAllShortcuts(), ErrorCode::ShortcutCreateFailed);
    }
    held.close();
    EXPECT_TRUE(test::anyStartsWith(test::logMessages(capture.events(), "WARNING"),
                                    "Failed to remove shortcut: " + locked.string() + " - "));
    EXPECT_TRUE(present(locked));
    EXPECT_FALSE(present(commonPrograms() / L"Korvel"));
}

TEST(ShortcutCreatorLife, CleanupLineAndApartmentBalance) {
    EventLogger::instance().verbose = true;
    StdoutCapture capture;
    {
        ShortcutCreator creator;
        EXPECT_EQ(creator.initialize(), ErrorCode::Success);
        EXPECT_EQ(creator.initialize(), ErrorCode::Success);
    }
    const auto debug = test::logMessages(capture.events(), "DEBUG");
    EXPECT_TRUE(test::anyStartsWith(debug, "ShortcutCreator cleaned up"));
    // The creator took one reference and gave it back: this thread has no
    // apartment left, so a first initialisation answers S_OK again.
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const ComApartment apartment(SUCCEEDED(hr));
    EXPECT_EQ(hr, S_OK);
    EventLogger::instance().verbose = false;
}

}  // namespace
}  // namespace korvel
