#include "install/RegistryManager.h"

#include <ctime>
#include <filesystem>

#include "common/DangerousRoot.h"
#include "common/DirectoryWalker.h"
#include "common/EventLogger.h"
#include "common/FileSystemQueries.h"
#include "common/Registry.h"
#include "common/TextConversion.h"
#include "common/WindowsErrorMap.h"

namespace korvel {
namespace fs = std::filesystem;

const wchar_t RegistryManager::kUninstallKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvel";

namespace {

const char kComponent[] = "RegistryManager";
const wchar_t kLauncherName[] = L"KorvelLauncher.exe";
const wchar_t kSupportUrl[] = L"https://support.tessaly.works/korvel";
const wchar_t kUpdatesUrl[] = L"https://korvel.tessaly.works/updates";

const ComponentLog logLine(kComponent);

std::string keyPathText() { return wideToUtf8(RegistryManager::kUninstallKeyPath); }

// Joined by path rules: a separator only where the left part lacks one, none
// after a bare drive.
std::wstring joinPath(const std::wstring& dir, const std::wstring& name) { return (fs::path(dir) / name).wstring(); }

bool isDecimalDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool isBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r'; }

// Leading white space skipped, digits up to the first other character; no
// digits or more than 32 bits give 0.
uint32_t parseVersionPiece(const std::wstring& piece) {
    size_t i = 0;
    while (i < piece.size() && isBlank(piece[i])) ++i;
    uint64_t value = 0;
    bool any = false;
    for (; i < piece.size() && isDecimalDigit(piece[i]); ++i) {
        any = true;
        value = value * 10 + static_cast<uint64_t>(piece[i] - L'0');
        if (value > 0xFFFFFFFFull) return 0;
    }
    return any ? static_cast<uint32_t>(value) : 0;
}

LSTATUS setText(HKEY key, const wchar_t* name, const std::wstring& value) {
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
}

LSTATUS setNumber(HKEY key, const wchar_t* name, uint32_t value) {
    const DWORD data = value;
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

}  // namespace

ErrorCode RegistryManager::writeUninstallInfo(const std::wstring& installDir, const std::wstring& version,
                                              const std::wstring& iconPath, const std::wstring& uninstallerPath) {
    logLine(LogLevel::Info, "Writing uninstall information to registry");
    // InstallLocation later tells the uninstaller which folder to delete: it
    // must name one folder however the uninstaller's current folder is set.
    if (!isFullyQualifiedPath(installDir)) {
        logLine(LogLevel::Error, "Install folder is not a fully qualified path: " + wideToUtf8(installDir));
        return ErrorCode::InstallPathInvalid;
    }
    const UninstallInfo info = buildUninstallInfo(installDir, version, iconPath, uninstallerPath);
    return updateUninstallInfo(info);
}

UninstallInfo RegistryManager::buildUninstallInfo(const std::wstring& installDir, const std::wstring& version,
                                                  const std::wstring& iconPath, const std::wstring& uninstallerPath) {
    UninstallInfo info;
    info.DisplayName = L"Korvel";
    info.DisplayVersion = version;
    info.Publisher = L"Tessaly Works";
    info.InstallLocation = installDir;
    info.UninstallString = buildUninstallString(installDir, uninstallerPath);
    const std::wstring iconFile =
        (!iconPath.empty() && existsOrThrow(iconPath)) ? iconPath : joinPath(installDir, kLauncherName);
    info.DisplayIcon = iconFile + L",0";
    info.HelpLink = kSupportUrl;
    info.URLInfoAbout = kUpdatesUrl;
    info.URLUpdateInfo = kUpdatesUrl;
    info.EstimatedSize = calculateEstimatedSize(installDir);
    info.VersionMajor = parseVersionMajor(version);
    info.VersionMinor = parseVersionMinor(version);
    info.InstallDate = getInstallDate();
    info.Language = L"1033";
    info.Comments = L"Korvel - Virtual World Platform";
    info.Contact = L"Tessaly Works";
    return info;
}

ErrorCode RegistryManager::updateUninstallInfo(const UninstallInfo& info) {
    logLine(LogLevel::Debug, "Updating uninstall registry information");
    const ErrorCode result = writeRegistryValues(info);
    const bool ok = result == ErrorCode::Success;
    EventLogger::instance().registryOperation("write_uninstall_info", keyPathText(), ok);
    logLine(ok ? LogLevel::Info : LogLevel::Error,
            ok ? "Uninstall information written successfully" : "Failed to write uninstall information");
    return result;
}

ErrorCode RegistryManager::writeRegistryValues(const UninstallInfo& info) {
    RegistryKeyHandle key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
        logLine(LogLevel::Error, "Failed to create uninstall registry key");
        return ErrorCode::RegistryAccessDenied;
    }
    const std::pair<const wchar_t*, const std::wstring*> texts[] = {
        {L"DisplayName", &info.DisplayName},     {L"DisplayVersion", &info.DisplayVersion},
        {L"Publisher", &info.Publisher},         {L"InstallLocation", &info.InstallLocation},
        {L"UninstallString", &info.UninstallString}, {L"ModifyPath", &info.ModifyPath},
        {L"DisplayIcon", &info.DisplayIcon},     {L"HelpLink", &info.HelpLink},
        {L"URLInfoAbout", &info.URLInfoAbout},   {L"URLUpdateInfo", &info.URLUpdateInfo},
        {L"InstallDate", &info.InstallDate},     {L"InstallSource", &info.InstallSource},
        {L"Language", &info.Language},           {L"Comments", &info.Comments},
        {L"Contact", &info.Contact},
    };
    for (const auto& [name, value] : texts) {
        if (value->empty()) continue;
        if (setText(key.get(), name, *value) != ERROR_SUCCESS) return ErrorCode::RegistryWriteFailed;
    }
    const std::pair<const wchar_t*, uint32_t> numbers[] = {
        {L"EstimatedSize", info.EstimatedSize}, {L"VersionMajor", info.VersionMajor}, {L"VersionMinor", info.VersionMinor}};
    for (const auto& [name, value] : numbers) {
        if (value == 0) continue;
        if (setNumber(key.get(), name, value) != ERROR_SUCCESS) return ErrorCode::RegistryWriteFailed;
    }
    const std::pair<const wchar_t*, bool> flags[] = {
        {L"NoModify", info.NoModify}, {L"NoRepair", info.NoRepair}, {L"NoRemove", info.NoRemove}};
    for (const auto& [name, value] : flags) {
        if (setNumber(key.get(), name, value ? 1u : 0u) != ERROR_SUCCESS) return ErrorCode::RegistryWriteFailed;
    }
    return ErrorCode::Success;
}

ErrorCode RegistryManager::readStringValue(const RegistryKeyHandle& key, const std::wstring& valueName, std::wstring& value) {
    if (!key) return ErrorCode::RegistryAccessDenied;
    // Room for an odd last byte, so that such a value reads as its whole
    // characters instead of failing.
    return registryTextResult(readRegistryText(key.get(), valueName, RegistryOddByte::Dropped, value));
}

ErrorCode RegistryManager::removeUninstallInfo() {
    logLine(LogLevel::Info, "Removing uninstall information from registry");
    const ErrorCode result = deleteRegistryKey(kUninstallKeyPath);
    const bool ok = result == ErrorCode::Success;
    EventLogger::instance().registryOperation("remove_uninstall_info", keyPathText(), ok);
    logLine(ok ? LogLevel::Info : LogLevel::Error,
            ok ? "Uninstall information removed successfully" : "Failed to remove uninstall information");
    return result;
}

ErrorCode RegistryManager::deleteRegistryKey(const std::wstring& keyPath) {
    const std::string keyText = wideToUtf8(keyPath);
    logLine(LogLevel::Debug, "Deleting registry key: " + keyText + " (recursive)");
    const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyPath.c_str());
    if (status == ERROR_SUCCESS) {
        logLine(LogLevel::Debug, "Registry key deleted successfully: " + keyText);
        return ErrorCode::Success;
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        logLine(LogLevel::Debug, "Registry key not found for deletion: " + keyText);
        return ErrorCode::Success;
    }
    logRegistryError("RegDeleteKey", keyPath, static_cast<uint32_t>(status));
    return mapRegistryError(static_cast<uint32_t>(status));
}

void RegistryManager::logRegistryError(const std::string& operation, const std::wstring& keyPath,
                                       uint32_t win32Error) noexcept {
    try {
        std::string line = operation + " failed";
        if (!keyPath.empty()) line += " for key: " + wideToUtf8(keyPath);
        line += " - Error: " + std::to_string(win32Error) + " (" + wideToUtf8(formatWin32Error(win32Error)) + ")";
        logLine(LogLevel::Error, line);
    } catch (...) {
    }
}

uint32_t RegistryManager::calculateEstimatedSize(const std::wstring& installDir) noexcept {
    try {
        if (installDir.empty()) return 0;
        std::error_code ec;
        if (!fs::is_directory(fs::path(installDir), ec)) return 0;
        uint64_t bytes = 0;
        DirectoryWalkError error;
        // An unreadable folder costs its own bytes, never the whole entry.
        DirectoryWalker::walk(
            installDir,
            [&bytes](const DirectoryWalkEntry& entry) {
                if (!entry.isDirectory() && !entry.isReparsePoint()) bytes += entry.size;
                return true;
            },
            [](const DirectoryWalkError&) { return true; }, error);
        return static_cast<uint32_t>(bytes >> 10);
    } catch (...) {
        return 0;
    }
}

std::wstring RegistryManager::getInstallDate() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    if (gmtime_s(&parts, &now) != 0) parts = std::tm{};
    wchar_t text[32];
    swprintf(text, sizeof text / sizeof text[0], L"%04d%02d%02d", parts.tm_year + 1900, parts.tm_mon + 1,
             parts.tm_mday);
    return text;
}

std::wstring RegistryManager::buildUninstallString(const std::wstring& installDir,
                                                   const std::wstring& uninstallerPath) {
    if (!uninstallerPath.empty() && existsOrThrow(uninstallerPath)) return L"\"" + uninstallerPath + L"\"";
    // Plain concatenation: a trailing separator in installDir stays.
    const std::wstring candidate = installDir + L"\\uninstall.exe";
    if (existsOrThrow(candidate)) return L"\"" + candidate + L"\"";
    return L"\"" + joinPath(installDir, kLauncherName) + L"\" --uninstall";
}

uint32_t RegistryManager::parseVersionMajor(const std::wstring& version) {
    return parseVersionPiece(version.substr(0, version.find(L'.')));
}

uint32_t RegistryManager::parseVersionMinor(const std::wstring& version) {
    const size_t first = version.find(L'.');
    if (first == std::wstring::npos) return 0;
    const size_t second = version.find(L'.', first + 1);
    return parseVersionPiece(version.substr(first + 1, second == std::wstring::npos ? std::wstring::npos
                                                                                     : second - first - 1));
}

}  // namespace korvel
