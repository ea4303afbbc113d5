#include "common/WindowsErrorMap.h"

#include <windows.h>

#include <winhttp.h>

namespace korvel {

ErrorCode mapFileError(uint32_t win32Error) {
    switch (win32Error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ErrorCode::FileNotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return ErrorCode::FileAccessDenied;
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_DISK_FULL:
            return ErrorCode::InsufficientDiskSpace;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return ErrorCode::InstallPathInvalid;
        default:
            return ErrorCode::InternalError;
    }
}

ErrorCode mapWinHttpError(uint32_t winHttpError) {
    switch (winHttpError) {
        case ERROR_WINHTTP_TIMEOUT: return ErrorCode::Timeout;
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return ErrorCode::DnsResolutionFailed;
        case ERROR_WINHTTP_CANNOT_CONNECT: return ErrorCode::NetworkUnreachable;
        // The connection error is 12030; WinINet's neighbouring code for a
        // reset connection, 12031, is read the same way.
        case ERROR_WINHTTP_CONNECTION_ERROR:
        case ERROR_WINHTTP_CONNECTION_ERROR + 1: return ErrorCode::ConnectionTimeout;
        case ERROR_WINHTTP_SECURE_FAILURE: return ErrorCode::TlsError;
        default: return ErrorCode::DownloadFailed;
    }
}

ErrorCode mapRegistryError(uint32_t win32Error) {
    switch (win32Error) {
        case ERROR_PATH_NOT_FOUND: return ErrorCode::RegistryKeyNotFound;
        case ERROR_ACCESS_DENIED: return ErrorCode::RegistryAccessDenied;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ErrorCode::OutOfMemory;
        case ERROR_INVALID_PARAMETER: return ErrorCode::InvalidArguments;
        default: return ErrorCode::InternalError;
    }
}

}  // namespace korvel
