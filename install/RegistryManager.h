#pragma once
// The product's entry in the Windows list of installed programs: one key
// under HKEY_LOCAL_MACHINE, written over in place and removed as a whole.
#include <cstdint>
#include <string>

#include "common/ErrorCodes.h"
#include "common/UniqueResource.h"

namespace korvel {

// One field per registry value; empty texts and zero numbers are not written.
struct UninstallInfo {
    std::wstring DisplayName;
    std::wstring DisplayVersion;
    std::wstring Publisher;
    std::wstring InstallLocation;
    std::wstring UninstallString;
    std::wstring ModifyPath;
    std::wstring DisplayIcon;
    std::wstring HelpLink;
    std::wstring URLInfoAbout;
    std::wstring URLUpdateInfo;
    uint32_t EstimatedSize = 0;
    uint32_t VersionMajor = 0;
    uint32_t VersionMinor = 0;
    bool NoModify = true;
    bool NoRepair = true;
    bool NoRemove = false;
    std::wstring InstallDate;
    std::wstring InstallSource;
    std::wstring Language;
    std::wstring Comments;
    std::wstring Contact;
};

class RegistryManager {
public:
    // Below HKEY_LOCAL_MACHINE, in the program's native registry view.
    static const wchar_t kUninstallKeyPath[];

    // 0, 180 (key not created or opened), 183 (a value not written) or 240
    // (installDir not a fully qualified path; the registry is not touched).
    // A failed existence check throws.
    ErrorCode writeUninstallInfo(const std::wstring& installDir, const std::wstring& version,
                                 const std::wstring& iconPath, const std::wstring& uninstallerPath);
    // 0 when the key was deleted or was not there, else the mapped code.
    ErrorCode removeUninstallInfo();

    UninstallInfo buildUninstallInfo(const std::wstring& installDir, const std::wstring& version,
                                     const std::wstring& iconPath, const std::wstring& uninstallerPath);
    ErrorCode updateUninstallInfo(const UninstallInfo& info);
    ErrorCode writeRegistryValues(const UninstallInfo& info);
    ErrorCode deleteRegistryKey(const std::wstring& keyPath);
    void logRegistryError(const std::string& operation, const std::wstring& keyPath, uint32_t win32Error) noexcept;

    // A REG_SZ or REG_EXPAND_SZ value (not expanded) up to its first NUL: 0,
    // 180 (no key, or the value cannot be read) or 182 (no such value, or a
    // value of another type).
    static ErrorCode readStringValue(const RegistryKeyHandle& key, const std::wstring& valueName,
                                     std::wstring& value);

    // Bytes of the regular files below installDir, in KiB rounded down. Links
    // are not followed; a file or folder that cannot be read is left out, so
    // this never fails: 0 for an empty, missing or unreadable folder.
    static uint32_t calculateEstimatedSize(const std::wstring& installDir) noexcept;
    // Today's UTC date as YYYYMMDD.
    static std::wstring getInstallDate();
    static std::wstring buildUninstallString(const std::wstring& installDir, const std::wstring& uninstallerPath);
    static uint32_t parseVersionMajor(const std::wstring& version);
    static uint32_t parseVersionMinor(const std::wstring& version);
};

}  // namespace korvel
