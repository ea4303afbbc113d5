#include <windows.h>

#include <gtest/gtest.h>

#include <winhttp.h>

#include <cstdint>

#include "common/FileOperations.h"
#include "common/WindowsErrorMap.h"

namespace korvel {
namespace {

// One row per Windows error: how each area reads it. The same number means
// different things in each (3 is a missing file path and a missing registry
// key; 8 runs out of memory for the registry only).
TEST(WindowsErrorMap, EachAreaReadsEachErrorByItsOwnTable) {
    const struct {
        uint32_t win32;
        ErrorCode file;
        ErrorCode network;
        ErrorCode registry;
    } rows[] = {
        {0, ErrorCode::InternalError, ErrorCode::DownloadFailed, ErrorCode::InternalError},
        {ERROR_FILE_NOT_FOUND, ErrorCode::FileNotFound, ErrorCode::DownloadFailed, ErrorCode::InternalError},
        {ERROR_PATH_NOT_FOUND, ErrorCode::FileNotFound, ErrorCode::DownloadFailed, ErrorCode::RegistryKeyNotFound},
        {ERROR_ACCESS_DENIED, ErrorCode::FileAccessDenied, ErrorCode::DownloadFailed,
         ErrorCode::RegistryAccessDenied},
        {ERROR_NOT_ENOUGH_MEMORY, ErrorCode::InternalError, ErrorCode::DownloadFailed, ErrorCode::OutOfMemory},
        {ERROR_OUTOFMEMORY, ErrorCode::InternalError, ErrorCode::DownloadFailed, ErrorCode::OutOfMemory},
        {ERROR_WRITE_PROTECT, ErrorCode::FileAccessDenied, ErrorCode::DownloadFailed, ErrorCode::InternalError},
        {ERROR_SHARING_VIOLATION, ErrorCode::FileAccessDenied, ErrorCode::DownloadFailed, ErrorCode::InternalError},
        {ERROR_LOCK_VIOLATION, ErrorCode::FileAccessDenied, ErrorCode::DownloadFailed, ErrorCode::InternalError},
        {ERROR_HANDLE_DISK_FULL, ErrorCode::InsufficientDiskSpace, ErrorCode::DownloadFailed,
         ErrorCode::InternalError},
        {ERROR_INVALID_PARAMETER, ErrorCode::InternalError, ErrorCode::DownloadFailed, ErrorCode::InvalidArguments},
        {ERROR_DISK_FULL, ErrorCode::InsufficientDiskSpace, ErrorCode::DownloadFailed, ErrorCode::InternalError},
        {ERROR_INVALID_NAME, ErrorCode::InstallPathInvalid, ErrorCode::DownloadFailed, ErrorCode::InternalError},
        {ERROR_BAD_PATHNAME, ErrorCode::InstallPathInvalid, ErrorCode::DownloadFailed, ErrorCode::InternalError},
        {ERROR_MORE_DATA, ErrorCode::InternalError, ErrorCode::DownloadFailed, ErrorCode::InternalError},
        {ERROR_WINHTTP_TIMEOUT, ErrorCode::InternalError, ErrorCode::Timeout, ErrorCode::InternalError},
        {ERROR_WINHTTP_NAME_NOT_RESOLVED, ErrorCode::InternalError, ErrorCode::DnsResolutionFailed,
         ErrorCode::InternalError},
        {ERROR_WINHTTP_CANNOT_CONNECT, ErrorCode::InternalError, ErrorCode::NetworkUnreachable,
         ErrorCode::InternalError},
        {12030, ErrorCode::InternalError, ErrorCode::ConnectionTimeout, ErrorCode::InternalError},
        {12031, ErrorCode::InternalError, ErrorCode::ConnectionTimeout, ErrorCode::InternalError},
        {ERROR_WINHTTP_SECURE_FAILURE, ErrorCode::InternalError, ErrorCode::TlsError, ErrorCode::InternalError},
        {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, ErrorCode::InternalError, ErrorCode::DownloadFailed,
         ErrorCode::InternalError},
        {ERROR_WINHTTP_HEADER_SIZE_OVERFLOW, ErrorCode::InternalError, ErrorCode::DownloadFailed,
         ErrorCode::InternalError},
        {0xFFFFFFFFu, ErrorCode::InternalError, ErrorCode::DownloadFailed, ErrorCode::InternalError},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.win32);
        EXPECT_EQ(mapFileError(row.win32), row.file);
        // The file operations' own name for the file table.
        EXPECT_EQ(FileOperations::mapWin32Error(row.win32), row.file);
        EXPECT_EQ(mapWinHttpError(row.win32), row.network);
        EXPECT_EQ(mapRegistryError(row.win32), row.registry);
    }
}

}  // namespace
}  // namespace korvel
