#pragma once
// The product's shell shortcuts (.lnk files): made through the COM
// shell-link object, and removed again from the Start Menu and desktop
// folders of all users and of the current user.
#include <windows.h>

#include <objidl.h>
#include <shobjidl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/ErrorCodes.h"
#include "common/UniqueResource.h"

namespace korvel {

enum class ShortcutLocation : int32_t { StartMenu = 0, Desktop = 1, QuickLaunch = 2, Taskbar = 3 };

struct ShortcutInfo {
    ShortcutInfo() = default;
    std::wstring name;
    std::wstring description;
    std::wstring targetPath;
    std::wstring workingDirectory;  // empty: the target's folder
    std::wstring arguments;
    std::wstring iconPath;  // empty: the target's own icon
    int32_t iconIndex = 0;
    int32_t showCmd = 1;
    std::wstring hotkey;  // not empty: the link's hotkey is cleared
    ShortcutLocation location = ShortcutLocation::StartMenu;
    bool allUsers = true;
    bool runAsAdmin = false;
};

class ShortcutCreator {
public:
    ShortcutCreator() = default;
    // Releases the shell objects and the COM reference this creator took.
    ~ShortcutCreator();
    ShortcutCreator(const ShortcutCreator&) = delete;
    ShortcutCreator& operator=(const ShortcutCreator&) = delete;

    // The launcher in the Start Menu's product folder and on the desktop, and
    // the uninstall shortcut; 0 or the last failure's code.
    ErrorCode createShortcuts(const std::wstring& installDir, const std::wstring& launcherExecutable,
                              const std::wstring& launcherWorkingDir, const std::wstring& uninstallLauncherPath);
    // Every product shortcut file of the Programs and desktop folders (all
    // users and the current user), then the product's Start Menu folders.
    // 0, 220 when something could not be read or removed, or the code of a
    // failed initialisation.
    ErrorCode removeAllShortcuts();

    ErrorCode initialize();
    ErrorCode createShortcutList(const std::vector<ShortcutInfo>& shortcuts);
    ErrorCode createShortcut(const ShortcutInfo& info);

    ErrorCode validateShortcut(const ShortcutInfo& info);
    ErrorCode buildShortcutPath(const ShortcutInfo& info, std::wstring& linkPath);
    ErrorCode GetShellFolderPath(ShortcutLocation location, bool allUsers, std::wstring& path);
    ErrorCode getSpecialFolderPath(int csidl, std::wstring& path);
    std::wstring getQuickLaunchPath();
    static std::wstring sanitizeShortcutName(const std::wstring& name);
    ErrorCode createShellFolder(const std::wstring& folder);
    ErrorCode createShortcutInternal(const ShortcutInfo& info, const std::wstring& linkPath);
    ErrorCode applyShortcutProperties(const ShortcutInfo& info);
    ErrorCode setShortcutElevation(const std::wstring& linkPath);
    static void logHresultFailure(const std::string& operation, HRESULT hr, const std::string& details) noexcept;
    ShortcutInfo makeMainShortcut(const std::wstring& installDir, const std::wstring& launcherExecutable,
                                  const std::wstring& launcherWorkingDir);
    // The record, and whether its target exists.
    ShortcutInfo makeUninstallShortcut(const std::wstring& installDir, const std::wstring& uninstallLauncherPath,
                                       bool& targetExists);

    std::wstring getProgramsFolderPath(bool allUsers);
    std::wstring getDesktopFolderPath(bool allUsers);
    // Regular files below folder (links neither followed nor kept) whose
    // extension is ".lnk" in any case and whose name holds filter, case
    // kept. A folder that cannot be read is named in a WARNING and sets
    // warnings; the rest of the tree is still searched.
    std::vector<std::wstring> findShortcutFiles(const std::wstring& folder, const std::wstring& filter,
                                                bool& warnings);
    static bool hasLnkExtension(const std::wstring& fileName);

private:
    ComPtr<IShellLinkW> shellLink;
    ComPtr<IPersistFile> persistFile;
    bool comInitialized = false;
    // Set only when this creator's own CoInitializeEx succeeded.
    ComApartment apartment_;
};

}  // namespace korvel
