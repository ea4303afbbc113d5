#pragma once
// The result type of every operation and the exit code of the programs.
#include <cstdint>
#include <string>

namespace korvel {

// One row per code: enumerator, value, fixed English message (nullptr for
// the codes that have none and read "Unknown error").
#define KORVEL_ERROR_CODES(X) \
    X(Success, 0, "Operation completed successfully") \
    X(InvalidArguments, 1, "Invalid command line arguments") \
    X(InsufficientPrivileges, 2, "Insufficient privileges for operation") \
    X(Cancelled, 3, "Operation was cancelled") \
    X(InternalError, 4, "Internal error occurred") \
    X(OutOfMemory, 5, "Insufficient memory") \
    X(Timeout, 6, "Operation timed out") \
    X(PipeConnectFailed, 7, "Failed to connect to logging pipe") \
    X(PrereqDetectFailed, 100, "Failed to detect prerequisites") \
    X(PrereqDownloadFailed, 101, "Failed to download prerequisites") \
    X(PrereqInstallFailed, 102, "Failed to install prerequisites") \
    X(PrereqVerifyFailed, 103, "Failed to verify prerequisites") \
    X(PrereqAlreadyInstalled, 104, "Prerequisites already installed") \
    X(ManifestDownloadFailed, 120, "Failed to download manifest") \
    X(ManifestParseFailed, 121, "Failed to parse manifest") \
    X(ManifestSignatureInvalid, 122, "Manifest signature is invalid") \
    X(ManifestSchemaInvalid, 123, "Manifest schema is invalid") \
    X(ManifestNotFound, 124, "Manifest file not found") \
    X(ManifestApplyFailed, 125, "Failed to apply manifest") \
    X(FileAccessDenied, 140, "File access denied") \
    X(FileNotFound, 141, "File not found") \
    X(FileHashMismatch, 142, "File hash verification failed") \
    X(FileCopyFailed, 143, "File copy operation failed") \
    X(FileMoveFailed, 144, "File move operation failed") \
    X(FileDeleteFailed, 145, "File delete operation failed") \
    X(DirectoryCreateFailed, 146, "Directory creation failed") \
    X(DirectoryAccessDenied, 147, "Directory access denied") \
    X(InsufficientDiskSpace, 148, "Insufficient disk space") \
    X(FileWriteFailed, 149, nullptr) \
    X(FileReadFailed, 150, nullptr) \
    X(NetworkUnreachable, 160, "Network unreachable") \
    X(DownloadFailed, 161, "Download failed") \
    X(DownloadCorrupted, 162, "Downloaded file corrupted") \
    X(HttpError, 163, "HTTP error occurred") \
    X(TlsError, 164, "SSL/TLS error occurred") \
    X(DnsResolutionFailed, 165, "DNS resolution failed") \
    X(ConnectionTimeout, 166, "Connection timeout") \
    X(DownloadInterrupted, 167, "Download was interrupted") \
    X(RegistryAccessDenied, 180, "Registry access denied") \
    X(RegistryKeyNotFound, 181, "Registry key not found") \
    X(RegistryValueNotFound, 182, "Registry value not found") \
    X(RegistryWriteFailed, 183, "Registry write operation failed") \
    X(RegistryDeleteFailed, 184, "Registry delete operation failed") \
    X(SignatureInvalid, 200, "Digital signature verification failed") \
    X(CertificateInvalid, 201, "Certificate is invalid") \
    X(CertificateExpired, 202, "Certificate has expired") \
    X(CertificateRevoked, 203, "Certificate has been revoked") \
    X(HashCalculationFailed, 204, "Hash calculation failed") \
    X(CryptoProviderError, 205, "Cryptographic provider error") \
    X(ShortcutCreateFailed, 220, "Shortcut creation failed") \
    X(ShortcutLinkFailed, 221, "Shortcut link operation failed") \
    X(ShellFolderFailed, 222, "Shell folder access failed") \
    X(IconExtractFailed, 223, "Icon extraction failed") \
    X(InstallPathInvalid, 240, "Installation path is invalid") \
    X(InstallPathAccessDenied, 241, "Installation path access denied") \
    X(UninstallInfoWriteFailed, 242, "Failed to write uninstall information") \
    X(UninstallCleanupFailed, 243, "Uninstall cleanup failed") \
    X(ServiceControlFailed, 244, "Service control operation failed") \
    X(ProcessTerminateFailed, 245, "Process termination failed")

enum class ErrorCode : int32_t {
#define KORVEL_ERROR_ENUMERATOR(name, value, message) name = value,
    KORVEL_ERROR_CODES(KORVEL_ERROR_ENUMERATOR)
#undef KORVEL_ERROR_ENUMERATOR
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
