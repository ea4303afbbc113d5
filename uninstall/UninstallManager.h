#pragma once
// One uninstall: detection, confirmation, then the phases that end the
// product's processes and remove its shortcuts, registry entry and files,
// with a per-run log file holding a header and, on success, a summary.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/ErrorCodes.h"
#include "common/UniqueResource.h"
#include "install/InstallReceipt.h"
#include "uninstall/UninstallOptions.h"

namespace korvel {

struct InstallationInfo {
    bool found = false;
    bool receiptFound = false;
    bool registryFound = false;
    InstallReceipt receipt;
    std::wstring installPath;
    std::wstring version;
    std::vector<std::wstring> removalItems;
};

struct UninstallStats {
    uint32_t processesTerminated = 0;
    uint32_t shortcutsRemoved = 0;
    uint32_t registryKeysRemoved = 0;
    uint32_t filesRemoved = 0;
    uint32_t directoriesRemoved = 0;
    uint32_t durationMs = 0;
    bool success = false;
};

// The counts of a run, one line each, in the log's words ("Files Removed: 3")
// or, indented, in the console's ("  Files removed: 3").
std::string statsText(const UninstallStats& stats, bool console);

// SHGetFolderPathW of a CSIDL; empty when the folder cannot be obtained.
std::wstring getFolderPath(int csidl);
// Lenient: U+FFFD for what cannot be converted, empty for empty input.
std::wstring utf8ToWide(const std::string& text);

class UninstallManager {
public:
    static const wchar_t kDefaultInstallPath[];
    static const wchar_t kInstallLocationValue[];

    UninstallManager();
    ~UninstallManager() = default;
    UninstallManager(const UninstallManager&) = delete;
    UninstallManager& operator=(const UninstallManager&) = delete;

    // 0 (completed, or declined), 141 (not found), 147 (the installation
    // folder is refused or cannot be removed).
    int run(const UninstallOptions& options, UninstallStats& stats);

    // The user declined the confirmation in the last run.
    bool declined() const noexcept { return declined_; }

    ErrorCode initFileLogging();
    std::filesystem::path logFilePath();
    bool logOpen() const noexcept { return logOpen_; }
    const std::wstring& logPath() const noexcept { return logPath_; }

    int detectInstallation(const UninstallOptions& options, InstallationInfo& info);
    int collectRemovalItems(const InstallationInfo& info, std::vector<std::wstring>& items);
    std::wstring readRegistryInstallLocation();
    // The folder holding this program's image, or its parent when that
    // folder is the installation's "Launcher" folder, when it holds an
    // install receipt; else empty.
    std::wstring ownInstallationFolder();
    // Why the installation folder must not be removed, or empty.
    std::wstring refuseInstallPath(const std::wstring& installPath);

    int confirmUninstall(const InstallationInfo& info, const UninstallOptions& options, bool& approved);
    int promptConfirmation(const InstallationInfo& info, bool& approved);

    int terminateProcessesPhase(UninstallStats& stats);
    int removeShortcutsPhase(const InstallationInfo& info, UninstallStats& stats);
    int removeRegistryPhase(UninstallStats& stats);
    int removeFilesPhase(const InstallationInfo& info, const UninstallOptions& options, UninstallStats& stats);
    int writeSummary(const InstallationInfo& info, const UninstallStats& stats);

    void recordEvent(const std::wstring& phase, const std::wstring& status,
                     const std::wstring& details = std::wstring());

    // Where the special folders come from; tests replace it to see how a
    // folder that cannot be obtained is handled.
    std::function<std::wstring(int csidl)> folderPath = getFolderPath;

private:
    struct RegistryValue {
        std::wstring name;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    // The uninstall entry's values as they are before removal; false when
    // the entry does not exist or cannot be read whole.
    bool readUninstallEntry(std::vector<RegistryValue>& values);
    // Writes the entry back as it was read.
    bool writeUninstallEntry(const std::vector<RegistryValue>& values);

    bool writeLog(const std::string& text);
    // Removes a folder tree through the checked deletion, leaving only the
    // open log file and this program's own image (with the folders that hold
    // them). 0 or 147.
    ErrorCode removeTree(const std::wstring& folder, uint32_t& files, uint32_t& folders,
                         const std::wstring& alsoKeep = std::wstring());
    std::vector<std::wstring> entriesToKeep(const std::wstring& alsoKeep);
    void removeSessionFolders(uint32_t& files, uint32_t& folders);
    // This program's image, held open, when it lies below the installation
    // folder; else no handle.
    ScopedHandle holdOwnImage(const std::wstring& installPath);
    // Moves the image into a fresh administrators-only folder at its drive's
    // root and schedules both for deletion at the next restart. false when
    // anything fails (left: what stays where).
    bool moveOwnImageForRestart(HANDLE image, std::wstring& left);

    bool logOpen_ = false;
    std::wstring logPath_;
    ScopedHandle logFile_;
    // Final path of the open log file, kept out of every removal.
    std::wstring logFinalPath_;
    bool declined_ = false;
};

}  // namespace korvel
