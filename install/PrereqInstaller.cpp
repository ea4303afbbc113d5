#include "install/PrereqInstaller.h"

#include <shlobj.h>

#include <cwctype>
#include <system_error>

#include "common/EventLogger.h"
#include "common/FileSystemQueries.h"
#include "common/Registry.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
// Generated from the build configuration: the installers' digests.
#include "install/PrereqDigests.h"

namespace korvel {
namespace fs = std::filesystem;

namespace {

const char kComponent[] = "PrereqInstaller";

const ComponentLog logLine(kComponent);

const wchar_t kVcMinimum[] = L"14.30.30704";
const wchar_t kDotNetMinimum[] = L"8.0.0";
const wchar_t kDirectXMinimum[] = L"4.09.00.0904";

// As the SDK's IsWindowsVersionOrGreater: major, minor and service-pack
// major, each greater or equal.
bool isWindowsVersionOrGreater(WORD major, WORD minor) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.wServicePackMajor = 0;
    ULONGLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask) != FALSE;
}

int32_t parseVersionPart(const std::wstring& part) {
    size_t i = 0;
    while (i < part.size() && std::iswspace(part[i])) ++i;
    bool negative = false;
    if (i < part.size() && (part[i] == L'+' || part[i] == L'-')) {
        negative = part[i] == L'-';
        ++i;
    }
    int64_t value = 0;
    bool digits = false;
    for (; i < part.size() && part[i] >= L'0' && part[i] <= L'9'; ++i) {
        digits = true;
        value = value * 10 + (part[i] - L'0');
        if (value > 0x80000000LL) return 0;  // beyond any 32-bit value
    }
    if (!digits) return 0;
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return 0;
    return static_cast<int32_t>(value);
}

}  // namespace

const char* prereqEventKey(PrereqType type) {
    switch (type) {
        case PrereqType::VcRedistX64: return "vc_redist_x64";
        case PrereqType::DotNetRuntime8: return "dotnet_runtime_8_0";
        case PrereqType::DirectXRuntime: return "directx_runtime";
        case PrereqType::WindowsSdk: return "windows_sdk";
    }
    return "unknown";
}

PrereqInstaller::PrereqInstaller(std::wstring cdnRoot, fs::path downloadDir)
    : cdnRoot_(std::move(cdnRoot)), downloadDir_(std::move(downloadDir)) {}

PrereqInstaller::~PrereqInstaller() { cleanupDownloadDirectory(); }

ErrorCode PrereqInstaller::installPrerequisites() {
    logLine(LogLevel::Info, "Starting prerequisite installation process");
    if (const ErrorCode code = initialize(); code != ErrorCode::Success) return code;
    if (const ErrorCode code = validateSystemRequirements(); code != ErrorCode::Success) return code;
    // 104 when everything is present: the run stops there.
    if (const ErrorCode code = checkInstallationStatus(); code != ErrorCode::Success) return code;
    if (const ErrorCode code = downloadMissing(); code != ErrorCode::Success) return code;
    if (const ErrorCode code = installDownloaded(); code != ErrorCode::Success) return code;

    const ErrorCode verified = checkInstallationStatus();
    if (verified == ErrorCode::PrereqAlreadyInstalled) {
        logLine(LogLevel::Info, "All prerequisites installed successfully");
        EventLogger::instance().completion("install_prerequisites", true);
        return ErrorCode::Success;
    }
    logLine(LogLevel::Warning, "Post-installation verification failed");
    return verified == ErrorCode::Success ? ErrorCode::PrereqVerifyFailed : verified;
}

ErrorCode PrereqInstaller::initialize() {
    logLine(LogLevel::Debug, "Initializing PrereqInstaller");
    buildPrerequisiteTable();
    if (const ErrorCode code = httpClient_.initialize(); code != ErrorCode::Success) {
        logLine(LogLevel::Error, "Failed to initialize HTTP client");
        return code;
    }
    logLine(LogLevel::Info, "PrereqInstaller initialized successfully");
    return ErrorCode::Success;
}

void PrereqInstaller::buildPrerequisiteTable() {
    prerequisites_.clear();
    PrereqInfo vc;
    vc.type = PrereqType::VcRedistX64;
    vc.name = L"Visual C++ Redistributable (x64)";
    vc.installerFile = L"VC_redist.x64.exe";
    vc.sha256 = KORVEL_PREREQ_SHA256_VC_REDIST_X64;
    prerequisites_.push_back(vc);

    PrereqInfo dotnet;
    dotnet.type = PrereqType::DotNetRuntime8;
    dotnet.name = L".NET 8.0 Desktop Runtime";
    dotnet.installerFile = L"windowsdesktop-runtime-8.0.11-win-x64.exe";
    dotnet.sha256 = KORVEL_PREREQ_SHA256_DOTNET_DESKTOP_RUNTIME_8;
    prerequisites_.push_back(dotnet);

    if (!isWindowsVersionOrGreater(10, 0)) {
        PrereqInfo directx;
        directx.type = PrereqType::DirectXRuntime;
        directx.name = L"DirectX Runtime";
        directx.installerFile = L"dxwebsetup.exe";
        directx.sha256 = KORVEL_PREREQ_SHA256_DIRECTX;
        prerequisites_.push_back(directx);
    }
}

ErrorCode PrereqInstaller::validateSystemRequirements() {
    logLine(LogLevel::Debug, "Validating system requirements");

    DWORD elevated = 0;
    {
        ScopedHandle token;
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
            GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) {
            elevated = elevation.TokenIsElevated;
        }
    }
    if (elevated == 0) {
        logLine(LogLevel::Error, "Insufficient privileges for installation");
        return ErrorCode::InsufficientPrivileges;
    }

    ULARGE_INTEGER available{};
    const fs::path volumeOf = downloadDir_.has_parent_path() ? downloadDir_.parent_path() : downloadDir_;
    if (!GetDiskFreeSpaceExW(volumeOf.c_str(), &available, nullptr, nullptr)) available.QuadPart = 0;
    constexpr uint64_t kRequired = 1073741824ull;
    if (available.QuadPart < kRequired) {
        logLine(LogLevel::Error, "Insufficient disk space. Available: " + std::to_string(available.QuadPart >> 20) +
                                     " MB, Required: " + std::to_string(kRequired >> 20) + " MB");
        return ErrorCode::InsufficientDiskSpace;
    }

    if (!isWindowsVersionOrGreater(6, 1)) {
        logLine(LogLevel::Error, "Unsupported Windows version");
        return ErrorCode::InternalError;
    }

    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);
    const char* architecture = "Unknown";
    switch (system.wProcessorArchitecture) {
        case 0: architecture = "x86"; break;
        case 9: architecture = "x64"; break;
        case 12: architecture = "ARM64"; break;
        default: break;
    }
    if (std::string(architecture) != "x64") {
        logLine(LogLevel::Error, std::string("Unsupported system architecture: ") + architecture);
        return ErrorCode::InternalError;
    }

    logLine(LogLevel::Info, "System requirements validation passed");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::checkInstallationStatus() {
    logLine(LogLevel::Info, "Checking prerequisite installation status");
    bool allPresent = true;
    for (PrereqInfo& row : prerequisites_) {
        bool installed = false;
        std::wstring version;
        if (const ErrorCode code = detect(row.type, installed, version); code != ErrorCode::Success) {
            logLine(LogLevel::Error, "Failed to check prerequisite: " + wideToUtf8(row.name));
            return code;
        }
        row.installed = installed;
        row.detectedVersion = version;
        EventLogger::instance().prereqInstall(prereqEventKey(row.type), installed ? "installed" : "missing",
                                              wideToUtf8(version));
        if (!installed && row.required) {
            allPresent = false;
            logLine(LogLevel::Info, "Missing required prerequisite: " + wideToUtf8(row.name));
        }
    }
    if (allPresent) {
        logLine(LogLevel::Info, "All required prerequisites are installed");
        return ErrorCode::PrereqAlreadyInstalled;
    }
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::detect(PrereqType type, bool& installed, std::wstring& detectedVersion) {
    switch (type) {
        case PrereqType::VcRedistX64: return detectVcRedist(installed, detectedVersion);
        case PrereqType::DotNetRuntime8: return detectDotNetRuntime(installed, detectedVersion);
        case PrereqType::DirectXRuntime: return detectDirectX(installed, detectedVersion);
        case PrereqType::WindowsSdk: return detectWindowsSdk(installed, detectedVersion);
    }
    logLine(LogLevel::Error, "Unknown prerequisite type: " + std::to_string(static_cast<int32_t>(type)));
    return ErrorCode::InvalidArguments;
}

ErrorCode PrereqInstaller::detectVcRedist(bool& installed, std::wstring& detectedVersion) {
    logLine(LogLevel::Debug, "Detecting VC++ Redistributable");
    installed = false;
    detectedVersion.clear();

    const std::wstring primary = L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\X64";
    std::wstring version;
    if (readRegistryString(primary, L"Version", version) == ErrorCode::Success && !version.empty()) {
        uint32_t flag = 0;
        RegistryKeyHandle key;
        const bool flagSet = RegOpenKeyExW(HKEY_LOCAL_MACHINE, primary.c_str(), 0, KEY_READ, key.put()) ==
                                 ERROR_SUCCESS &&
                             readRegistryNumber(key.get(), L"Installed", flag) && flag != 0;
        if (flagSet && compareVersions(version, kVcMinimum) >= 0) {
            installed = true;
            detectedVersion = version;
            logLine(LogLevel::Info, "VC++ Redistributable detected: " + wideToUtf8(version));
            return ErrorCode::Success;
        }
    }

    static const wchar_t* const kAlternatives[] = {
        L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\x64",
        L"SOFTWARE\\WOW6432Node\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\x64",
        L"SOFTWARE\\Classes\\Installer\\Dependencies\\Microsoft.VS.VC_RuntimeMinimumVSU_amd64,v14",
    };
    for (const wchar_t* subKey : kAlternatives) {
        std::wstring text;
        if (readRegistryString(subKey, L"Version", text) == ErrorCode::Success &&
            compareVersions(text, kVcMinimum) >= 0) {
            installed = true;
            detectedVersion = text;
            logLine(LogLevel::Info, "VC++ Redistributable detected (alternative): " + wideToUtf8(text));
            return ErrorCode::Success;
        }
    }
    logLine(LogLevel::Info, "VC++ Redistributable not detected or insufficient version");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::detectDotNetRuntime(bool& installed, std::wstring& detectedVersion) {
    logLine(LogLevel::Debug, "Detecting .NET Runtime");
    installed = false;
    detectedVersion.clear();

    std::wstring version;
    if (readRegistryString(L"SOFTWARE\\WOW6432Node\\dotnet\\Setup\\InstalledVersions\\x64\\hostfxr", L"", version) ==
            ErrorCode::Success &&
        !version.empty() && compareVersions(version, kDotNetMinimum) >= 0) {
        installed = true;
        detectedVersion = version;
        logLine(LogLevel::Info, ".NET Runtime detected: " + wideToUtf8(version));
        return ErrorCode::Success;
    }

    // Only the machine-wide host, by its full path: a "dotnet" found through
    // the current folder or PATH could be anything unelevated code put there.
    fs::path dotnet;
    {
        PWSTR programFiles = nullptr;
        const HRESULT found = SHGetKnownFolderPath(FOLDERID_ProgramFilesX64, 0, nullptr, &programFiles);
        const CoTaskMemory owner(programFiles);
        if (SUCCEEDED(found) && programFiles) dotnet = fs::path(programFiles) / L"dotnet" / L"dotnet.exe";
    }
    const DWORD attributes = dotnet.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(dotnet.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        std::wstring output;
        uint32_t exitCode = 0;
        if (runCommand(L"\"" + dotnet.wstring() + L"\" --version", output, exitCode) == ErrorCode::Success &&
            exitCode == 0) {
            std::wstring text;
            for (wchar_t c : output) {
                if (c != L'\r' && c != L'\n') text.push_back(c);
            }
            if (compareVersions(text, kDotNetMinimum) >= 0) {
                installed = true;
                detectedVersion = text;
                logLine(LogLevel::Info, ".NET Runtime detected via command: " + wideToUtf8(text));
                return ErrorCode::Success;
            }
        }
    }
    logLine(LogLevel::Info, ".NET Runtime not detected or insufficient version");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::detectDirectX(bool& installed, std::wstring& detectedVersion) {
    logLine(LogLevel::Debug, "Detecting DirectX");
    installed = false;
    detectedVersion.clear();

    std::wstring version;
    if (readRegistryString(L"SOFTWARE\\Microsoft\\DirectX", L"Version", version) == ErrorCode::Success &&
        !version.empty() && compareVersions(version, kDirectXMinimum) >= 0) {
        installed = true;
        detectedVersion = version;
        logLine(LogLevel::Info, "DirectX detected: " + wideToUtf8(version));
        return ErrorCode::Success;
    }

    const fs::path d3d9 = L"C:\\Windows\\System32\\d3d9.dll";
    const fs::path dxgi = L"C:\\Windows\\System32\\dxgi.dll";
    if (existsOrThrow(d3d9) && existsOrThrow(dxgi)) {
        std::wstring fileVersion;
        if (getFileVersion(d3d9.wstring(), fileVersion) == ErrorCode::Success) {
            installed = true;
            detectedVersion = fileVersion;
            logLine(LogLevel::Info, "DirectX detected via file version: " + wideToUtf8(fileVersion));
            return ErrorCode::Success;
        }
    }

    if (isWindowsVersionOrGreater(10, 0)) {
        installed = true;
        detectedVersion = L"Built-in (Windows 10+)";
        logLine(LogLevel::Info, "DirectX assumed present on Windows 10+");
        return ErrorCode::Success;
    }
    logLine(LogLevel::Info, "DirectX not detected");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::detectWindowsSdk(bool& installed, std::wstring& detectedVersion) {
    logLine(LogLevel::Debug, "Detecting Windows SDK components");
    if (isWindowsVersionOrGreater(10, 0)) {
        installed = true;
        detectedVersion = L"Built-in";
        logLine(LogLevel::Info, "Windows SDK components assumed present");
    } else {
        installed = false;
        detectedVersion.clear();
        logLine(LogLevel::Info, "Windows SDK components not available on this OS version");
    }
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::readRegistryString(const std::wstring& subKey, const std::wstring& valueName,
                                             std::wstring& text) {
    text.clear();
    RegistryKeyHandle key;
    const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, key.put());
    if (opened != ERROR_SUCCESS) {
        if (opened == ERROR_FILE_NOT_FOUND) return ErrorCode::RegistryKeyNotFound;
        logLine(LogLevel::Error, "Failed to open registry key: " + wideToUtf8(subKey) +
                                     " (error: " + std::to_string(opened) + ")");
        return ErrorCode::RegistryAccessDenied;
    }
    // The buffer is the reported size in whole characters: an odd last byte
    // fails the read.
    const RegistryTextRead read = readRegistryText(key.get(), valueName, RegistryOddByte::FailsTheRead, text);
    switch (read) {
        case RegistryTextRead::Read:
        case RegistryTextRead::NoValue: break;
        case RegistryTextRead::QueryFailed:
            logLine(LogLevel::Error, "Failed to query registry value size: " + wideToUtf8(valueName));
            break;
        case RegistryTextRead::NotText:
            logLine(LogLevel::Error, "Registry value is not a string: " + wideToUtf8(valueName));
            break;
        case RegistryTextRead::ReadFailed:
            logLine(LogLevel::Error, "Failed to read registry value: " + wideToUtf8(valueName));
            break;
    }
    return registryTextResult(read);
}

ErrorCode PrereqInstaller::getFileVersion(const std::wstring& path, std::wstring& version) {
    version.clear();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        logLine(LogLevel::Error, "Failed to get version info size for: " + wideToUtf8(path) +
                                     " (error: " + std::to_string(static_cast<uint32_t>(GetLastError())) + ")");
        return ErrorCode::FileAccessDenied;
    }
    std::vector<unsigned char> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
        logLine(LogLevel::Error, "Failed to get version info for: " + wideToUtf8(path) +
                                     " (error: " + std::to_string(static_cast<uint32_t>(GetLastError())) + ")");
        return ErrorCode::FileAccessDenied;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || fixed == nullptr ||
        fixedSize < sizeof(VS_FIXEDFILEINFO)) {
        logLine(LogLevel::Error, "Failed to query version value for: " + wideToUtf8(path));
        return ErrorCode::FileAccessDenied;
    }
    version = std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(fixed->dwFileVersionMS)) +
              L"." + std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
              std::to_wstring(LOWORD(fixed->dwFileVersionLS));
    return ErrorCode::Success;
}

std::vector<int32_t> PrereqInstaller::parseVersionParts(const std::wstring& text) {
    std::vector<int32_t> parts;
    if (!text.empty()) {
        size_t start = 0;
        for (;;) {
            const size_t dot = text.find(L'.', start);
            parts.push_back(parseVersionPart(text.substr(start, dot == std::wstring::npos ? std::wstring::npos
                                                                                         : dot - start)));
            if (dot == std::wstring::npos) break;
            start = dot + 1;
        }
    }
    while (parts.size() < 4) parts.push_back(0);
    return parts;
}

int PrereqInstaller::compareVersions(const std::wstring& a, const std::wstring& b) {
    const std::vector<int32_t> left = parseVersionParts(a);
    const std::vector<int32_t> right = parseVersionParts(b);
    const size_t count = left.size() < right.size() ? left.size() : right.size();
    for (size_t i = 0; i < count; ++i) {
        if (left[i] < right[i]) return -1;
        if (left[i] > right[i]) return 1;
    }
    return 0;
}

}  // namespace korvel
