#include <windows.h>

#include <gtest/gtest.h>

#include "common/ErrorCodes.h"

namespace korvel {
namespace {

struct MessageCase {
    int code;
    const char* message;
};

TEST(ErrorMessage, TableValuesAndGaps) {
    const MessageCase cases[] = {
        {0, "Operation completed successfully"},
        {1, "Invalid command line arguments"},
        {7, "Failed to connect to logging pipe"},
        {104, "Prerequisites already installed"},
        {125, "Failed to apply manifest"},
        {141, "File not found"},
        {148, "Insufficient disk space"},
        {149, "Unknown error"},
        {150, "Unknown error"},
        {8, "Unknown error"},
        {99, "Unknown error"},
        {167, "Download was interrupted"},
        {205, "Cryptographic provider error"},
        {245, "Process termination failed"},
        {246, "Unknown error"},
        {-1, "Unknown error"},
        {INT32_MIN, "Unknown error"},
    };
    for (const MessageCase& c : cases) {
        EXPECT_STREQ(errorMessage(c.code), c.message) << c.code;
    }
    EXPECT_STREQ(errorMessage(ErrorCode::FileNotFound), "File not found");
}

struct CodeRow {
    ErrorCode code;
    int value;
    const char* message;
};

// Every defined code with its value and its message, written out by hand so
// that a changed value or word in the table shows here.
TEST(ErrorMessage, EveryCodeHasItsValueAndMessage) {
    const CodeRow rows[] = {
        {ErrorCode::Success, 0, "Operation completed successfully"},
        {ErrorCode::InvalidArguments, 1, "Invalid command line arguments"},
        {ErrorCode::InsufficientPrivileges, 2, "Insufficient privileges for operation"},
        {ErrorCode::Cancelled, 3, "Operation was cancelled"},
        {ErrorCode::InternalError, 4, "Internal error occurred"},
        {ErrorCode::OutOfMemory, 5, "Insufficient memory"},
        {ErrorCode::Timeout, 6, "Operation timed out"},
        {ErrorCode::PipeConnectFailed, 7, "Failed to connect to logging pipe"},
        {ErrorCode::PrereqDetectFailed, 100, "Failed to detect prerequisites"},
        {ErrorCode::PrereqDownloadFailed, 101, "Failed to download prerequisites"},
        {ErrorCode::PrereqInstallFailed, 102, "Failed to install prerequisites"},
        {ErrorCode::PrereqVerifyFailed, 103, "Failed to verify prerequisites"},
        {ErrorCode::PrereqAlreadyInstalled, 104, "Prerequisites already installed"},
        {ErrorCode::ManifestDownloadFailed, 120, "Failed to download manifest"},
        {ErrorCode::ManifestParseFailed, 121, "Failed to parse manifest"},
        {ErrorCode::ManifestSignatureInvalid, 122, "Manifest signature is invalid"},
        {ErrorCode::ManifestSchemaInvalid, 123, "Manifest schema is invalid"},
        {ErrorCode::ManifestNotFound, 124, "Manifest file not found"},
        {ErrorCode::ManifestApplyFailed, 125, "Failed to apply manifest"},
        {ErrorCode::FileAccessDenied, 140, "File access denied"},
        {ErrorCode::FileNotFound, 141, "File not found"},
        {ErrorCode::FileHashMismatch, 142, "File hash verification failed"},
        {ErrorCode::FileCopyFailed, 143, "File copy operation failed"},
        {ErrorCode::FileMoveFailed, 144, "File move operation failed"},
        {ErrorCode::FileDeleteFailed, 145, "File delete operation failed"},
        {ErrorCode::DirectoryCreateFailed, 146, "Directory creation failed"},
        {ErrorCode::DirectoryAccessDenied, 147, "Directory access denied"},
        {ErrorCode::InsufficientDiskSpace, 148, "Insufficient disk space"},
        {ErrorCode::FileWriteFailed, 149, "Unknown error"},
        {ErrorCode::FileReadFailed, 150, "Unknown error"},
        {ErrorCode::NetworkUnreachable, 160, "Network unreachable"},
        {ErrorCode::DownloadFailed, 161, "Download failed"},
        {ErrorCode::DownloadCorrupted, 162, "Downloaded file corrupted"},
        {ErrorCode::HttpError, 163, "HTTP error occurred"},
        {ErrorCode::TlsError, 164, "SSL/TLS error occurred"},
        {ErrorCode::DnsResolutionFailed, 165, "DNS resolution failed"},
        {ErrorCode::ConnectionTimeout, 166, "Connection timeout"},
        {ErrorCode::DownloadInterrupted, 167, "Download was interrupted"},
        {ErrorCode::RegistryAccessDenied, 180, "Registry access denied"},
        {ErrorCode::RegistryKeyNotFound, 181, "Registry key not found"},
        {ErrorCode::RegistryValueNotFound, 182, "Registry value not found"},
        {ErrorCode::RegistryWriteFailed, 183, "Registry write operation failed"},
        {ErrorCode::RegistryDeleteFailed, 184, "Registry delete operation failed"},
        {ErrorCode::SignatureInvalid, 200, "Digital signature verification failed"},
        {ErrorCode::CertificateInvalid, 201, "Certificate is invalid"},
        {ErrorCode::CertificateExpired, 202, "Certificate has expired"},
        {ErrorCode::CertificateRevoked, 203, "Certificate has been revoked"},
        {ErrorCode::HashCalculationFailed, 204, "Hash calculation failed"},
        {ErrorCode::CryptoProviderError, 205, "Cryptographic provider error"},
        {ErrorCode::ShortcutCreateFailed, 220, "Shortcut creation failed"},
        {ErrorCode::ShortcutLinkFailed, 221, "Shortcut link operation failed"},
        {ErrorCode::ShellFolderFailed, 222, "Shell folder access failed"},
        {ErrorCode::IconExtractFailed, 223, "Icon extraction failed"},
        {ErrorCode::InstallPathInvalid, 240, "Installation path is invalid"},
        {ErrorCode::InstallPathAccessDenied, 241, "Installation path access denied"},
        {ErrorCode::UninstallInfoWriteFailed, 242, "Failed to write uninstall information"},
        {ErrorCode::UninstallCleanupFailed, 243, "Uninstall cleanup failed"},
        {ErrorCode::ServiceControlFailed, 244, "Service control operation failed"},
        {ErrorCode::ProcessTerminateFailed, 245, "Process termination failed"}
    };
    for (const CodeRow& row : rows) {
        EXPECT_EQ(toInt(row.code), row.value) << row.message;
        EXPECT_STREQ(errorMessage(row.code), row.message) << row.value;
        EXPECT_STREQ(errorMessage(row.value), row.message) << row.value;
    }
}

TEST(ErrorMessage, FiftySevenValuesHaveMessages) {
    int withMessage = 0;
    for (int code = 0; code <= 245; ++code) {
        if (std::string(errorMessage(code)) != "Unknown error") ++withMessage;
    }
    EXPECT_EQ(withMessage, 57);
}

TEST(FormatWin32Error, SystemTextWithoutTrailingBreaks) {
    const std::wstring text = formatWin32Error(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), L'\n');
    EXPECT_NE(text.back(), L'\r');
    EXPECT_EQ(text.find(L"Win32 error"), std::wstring::npos);
}

TEST(FormatWin32Error, UnknownCodeIsUnsignedDecimal) {
    EXPECT_EQ(formatWin32Error(0x2FFFFFFFu), L"Win32 error 805306367");
    EXPECT_EQ(formatWin32Error(0xE0001234u), L"Win32 error 3758101044");
}

}  // namespace
}  // namespace korvel
