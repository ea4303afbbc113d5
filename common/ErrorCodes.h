#pragma once
// The result type of every operation and the exit code of the programs.
#include <cstdint>
#include <string>

namespace korvel {

enum class ErrorCode : int32_t {
    Success = 0,
    InvalidArguments = 1,
    InsufficientPrivileges = 2,
    Cancelled = 3,
    InternalError = 4,
    OutOfMemory = 5,
    Timeout = 6,
    PipeConnectFailed = 7,

    PrereqDetectFailed = 100,
    PrereqDownloadFailed = 101,
    PrereqInstallFailed = 102,
    PrereqVerifyFailed = 103,
    PrereqAlreadyInstalled = 104,

    ManifestDownloadFailed = 120,
    ManifestParseFailed = 121,
    ManifestSignatureInvalid = 122,
    ManifestSchemaInvalid = 123,
    ManifestNotFound = 124,
    ManifestApplyFailed = 125,

    FileAccessDenied = 140,
    FileNotFound = 141,
    FileHashMismatch = 142,
    FileCopyFailed = 143,
    FileMoveFailed = 144,
    FileDeleteFailed = 145,
    DirectoryCreateFailed = 146,
    DirectoryAccessDenied = 147,
    InsufficientDiskSpace = 148,
    FileWriteFailed = 149,
    FileReadFailed = 150,

    NetworkUnreachable = 160,
    DownloadFailed = 161,
    DownloadCorrupted = 162,
    HttpError = 163,
    TlsError = 164,
    DnsResolutionFailed = 165,
    ConnectionTimeout = 166,
    DownloadInterrupted = 167,

    RegistryAccessDenied = 180,
    RegistryKeyNotFound = 181,
    RegistryValueNotFound = 182,
    RegistryWriteFailed = 183,
    RegistryDeleteFailed = 184,

    SignatureInvalid = 200,
    CertificateInvalid = 201,
    CertificateExpired = 202,
    CertificateRevoked = 203,
    HashCalculationFailed = 204,
    CryptoProviderError = 205,

    ShortcutCreateFailed = 220,
    ShortcutLinkFailed = 221,
    ShellFolderFailed = 222,
    IconExtractFailed = 223,

    InstallPathInvalid = 240,
    InstallPathAccessDenied = 241,
    UninstallInfoWriteFailed = 242,
    UninstallCleanupFailed = 243,
    ServiceControlFailed = 244,
    ProcessTerminateFailed = 245,
};

// The integer value, for exit codes and event fields.
constexpr int toInt(ErrorCode code) { return static_cast<int>(code); }

// The fixed English message of a code; "Unknown error" for any value
// without one. Never fails, allocates nothing.
const char* errorMessage(ErrorCode code);
const char* errorMessage(int code);

// The system's text for a Windows error code, without trailing line breaks,
// or "Win32 error <code>" when the system has none.
std::wstring formatWin32Error(uint32_t code);

}  // namespace korvel
