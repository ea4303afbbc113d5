#pragma once
// Makes sure the runtimes the product needs are on the machine: detects each
// one, downloads the installers of the missing ones from the content root
// into a folder only administrators can write, checks each against the
// digest the build was configured with, and runs it silently.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/ErrorCodes.h"
#include "common/HttpClient.h"
#include "common/PinnedDirectory.h"
#include "common/UniqueResource.h"

namespace korvel {

enum class PrereqType : int32_t {
    VcRedistX64 = 0,
    DotNetRuntime8 = 1,
    DirectXRuntime = 2,
    WindowsSdk = 3,
};

// The "component" value of a kind's prereq_install events; "unknown" for a
// value outside the enumeration.
const char* prereqEventKey(PrereqType type);

struct PrereqInfo {
    PrereqType type = PrereqType::VcRedistX64;
    std::wstring name;
    // Empty: the URL is built from the content root.
    std::wstring downloadUrl;
    std::wstring installerFile;
    // 64 hex digits, any letter case. An empty digest means the row's
    // installer is never downloaded or run.
    std::string sha256;
    bool required = true;
    bool installed = false;
    std::wstring detectedVersion;
};

class PrereqInstaller {
public:
    PrereqInstaller(std::wstring cdnRoot, std::filesystem::path downloadDir);
    ~PrereqInstaller();
    PrereqInstaller(const PrereqInstaller&) = delete;
    PrereqInstaller& operator=(const PrereqInstaller&) = delete;

    // The whole run: 0, 104 when everything is present, or the first
    // failing code.
    ErrorCode installPrerequisites();
    ErrorCode initialize();
    void buildPrerequisiteTable();
    ErrorCode validateSystemRequirements();
    ErrorCode checkInstallationStatus();

    // Detection. The detectors never fail by result: what cannot be read
    // counts as not detected.
    ErrorCode detect(PrereqType type, bool& installed, std::wstring& detectedVersion);
    ErrorCode detectVcRedist(bool& installed, std::wstring& detectedVersion);
    ErrorCode detectDotNetRuntime(bool& installed, std::wstring& detectedVersion);
    ErrorCode detectDirectX(bool& installed, std::wstring& detectedVersion);
    ErrorCode detectWindowsSdk(bool& installed, std::wstring& detectedVersion);

    // HKEY_LOCAL_MACHINE\subKey, one REG_SZ or REG_EXPAND_SZ value (an
    // empty name reads the default value): 0, 180, 181 or 182.
    ErrorCode readRegistryString(const std::wstring& subKey, const std::wstring& valueName, std::wstring& text);
    // The fixed file version as "a.b.c.d": 0 or 140.
    ErrorCode getFileVersion(const std::wstring& path, std::wstring& version);
    // -1, 0 or 1; only the parts both texts have are compared.
    static int compareVersions(const std::wstring& a, const std::wstring& b);
    // Parts split at '.', each read as a decimal number would be by strtol
    // (0 when it has no leading digits or leaves the 32-bit range), padded
    // with zeros to at least four.
    static std::vector<int32_t> parseVersionParts(const std::wstring& text);

    // Download and installation.
    ErrorCode downloadMissing();
    ErrorCode installDownloaded();
    ErrorCode downloadPrerequisite(PrereqType type, const std::filesystem::path& installerPath);
    ErrorCode downloadWithRetry(const std::wstring& url, const std::filesystem::path& destination,
                                const std::string& expectedSha256);
    // Opens the file so that nobody can write, delete or rename it, refuses
    // anything but a plain file at exactly that path, and hashes it through
    // that handle. On a match the handle is kept until the installer started
    // from the file has ended.
    bool validateDownload(const std::filesystem::path& path, const std::string& expectedSha256);
    ErrorCode installPrerequisite(PrereqType type, const std::filesystem::path& installerPath);
    ErrorCode installDotNetRuntime(const std::filesystem::path& installerPath);
    ErrorCode installDirectX(const std::filesystem::path& installerPath);
    ErrorCode installWindowsSdk(const std::filesystem::path& installerPath);
    ErrorCode checkInstallerExitCode(PrereqType type, uint32_t exitCode);
    // 0 when the installer ran to its end (its exit code in exitCode), 4 or
    // 6 (time-out: the installer is ended and waited for) otherwise.
    ErrorCode runInstaller(const std::filesystem::path& installerPath, const std::wstring& arguments,
                           uint32_t& exitCode);
    // Runs "<system folder>\cmd.exe /D /c <command>" hidden, from the system
    // folder, and captures its output. 0 when it could be started (a command
    // still running at the time limit is ended and reports 259), else 4.
    ErrorCode runCommand(const std::wstring& command, std::wstring& output, uint32_t& exitCode);
    ErrorCode cleanupFailedInstallation(PrereqType type);
    // Never throws: it runs from the destructor.
    ErrorCode cleanupDownloadDirectory() noexcept;

    // Removes whatever lies at the download folder's path (through the
    // pinned removal) and creates the folder anew, atomically, with the
    // security descriptor below; the folder stays open without delete
    // sharing so it cannot be renamed or replaced while the run uses it.
    ErrorCode createDownloadDirectory();
    // A self-relative security descriptor: owner Administrators, a protected
    // DACL granting full access to Administrators and SYSTEM only, inherited
    // by everything created below.
    static bool buildDownloadFolderSecurity(std::vector<unsigned char>& descriptor);

    // The URL rule: downloadUrl, or cdnRoot + "/" (unless it already ends in
    // one, or is empty) + "prerequisites/" + installerFile.
    std::wstring downloadUrlFor(const PrereqInfo& row) const;
    std::filesystem::path installerPathFor(const PrereqInfo& row) const;

    std::vector<PrereqInfo>& prerequisites() { return prerequisites_; }
    const std::filesystem::path& downloadDirectory() const { return downloadDir_; }

    // Time limits; tests shorten them.
    void setInstallerTimeoutMs(uint32_t ms) { installerTimeoutMs_ = ms; }
    void setCommandTimeoutMs(uint32_t ms) { commandTimeoutMs_ = ms; }

    static constexpr uint32_t kInstallerTimeoutMs = 900000;
    static constexpr uint32_t kCommandTimeoutMs = 30000;
    static constexpr uint32_t kRetryPauseMs = 5000;
    static constexpr int kDownloadAttempts = 3;

private:
    void releaseVerifiedInstallers() noexcept;
    // Deletes one file of the download folder through the folder's pinned
    // handle: a link is never followed (a missing file is no error; a
    // failure throws a filesystem error for "remove").
    void removeFromDownloadDirectory(const std::filesystem::path& path);

    std::wstring cdnRoot_;
    std::filesystem::path downloadDir_;
    HttpClient httpClient_;
    std::vector<PrereqInfo> prerequisites_;

    // The download folder, held open while the run uses it.
    PinnedDirectory downloadDirPin_;
    // Installers that matched their digest, by path, each held open with
    // writing and deleting denied.
    std::map<std::wstring, ScopedHandle> verifiedInstallers_;
    uint32_t installerTimeoutMs_ = kInstallerTimeoutMs;
    uint32_t commandTimeoutMs_ = kCommandTimeoutMs;
};

}  // namespace korvel
