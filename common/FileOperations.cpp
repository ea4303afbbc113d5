// The error map and failure log every file operation shares, inspection,
// folders, attributes and signatures. Hashing, copying and removal have
// files of their own (see FileOperationsInternal.h).
#include "common/FileOperations.h"

#include "common/FileSystemQueries.h"

#include <softpub.h>
#include <wintrust.h>

#include <ctime>
#include <system_error>

#include "common/EventLogger.h"
#include "common/FileOperationsInternal.h"
#include "common/TextConversion.h"
#include "common/WindowsErrorMap.h"

namespace korvel {
namespace fs = std::filesystem;
using fileops::logLine;

// ---------------------------------------------------------------------------
// Error mapping and logging

ErrorCode FileOperations::mapWin32Error(uint32_t win32Error) { return mapFileError(win32Error); }

void FileOperations::logWin32Failure(const std::string& operation, const fs::path& path,
                                     uint32_t win32Error) noexcept {
    try {
        logLine(LogLevel::Error, operation + " failed for '" + pathToUtf8(path) +
                                     "': " + wideToUtf8(formatWin32Error(win32Error)) +
                                     " (code: " + std::to_string(win32Error) + ")");
    } catch (...) {
        // The file event below still reports the failure.
    }
    EventLogger::instance().fileOperation(operation, path, false, win32Error, true);
}

// ---------------------------------------------------------------------------
// Inspection

ErrorCode FileOperations::getFileInfo(const fs::path& path, FileInfo& info) {
    logLine(LogLevel::Debug, "Getting file info for: " + pathToUtf8(path));
    info = FileInfo{};
    info.path = path;

    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            info.exists = false;
            return ErrorCode::Success;
        }
        logWin32Failure("GetFileAttributesEx", path, code);
        return mapWin32Error(code);
    }
    info.exists = true;
    info.readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    info.hidden = (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    info.system = (data.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) != 0;
    info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;

    FILETIME local{};
    SYSTEMTIME fields{};
    if (FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) && FileTimeToSystemTime(&local, &fields)) {
        std::tm calendar{};
        calendar.tm_year = fields.wYear - 1900;
        calendar.tm_mon = fields.wMonth - 1;
        calendar.tm_mday = fields.wDay;
        calendar.tm_hour = fields.wHour;
        calendar.tm_min = fields.wMinute;
        calendar.tm_sec = fields.wSecond;
        calendar.tm_isdst = 0;
        info.lastModified = static_cast<int64_t>(_mktime64(&calendar)) * 10000000;
    }

    if (info.size > 0 && calculateSha256(path, info.sha256) != ErrorCode::Success) {
        info.sha256.clear();
        logLine(LogLevel::Warning, "Failed to calculate hash for: " + pathToUtf8(path));
    }
    return ErrorCode::Success;
}

ErrorCode FileOperations::createDirectory(const fs::path& path) {
    logLine(LogLevel::Debug, "Creating directory: " + pathToUtf8(path));
    const fs::file_status status = statusOrThrow(path);
    if (fs::exists(status)) {
        if (fs::is_directory(status)) return ErrorCode::Success;
        // A file in the way is no folder: callers would go on to write
        // into a folder that does not exist.
        logLine(LogLevel::Error,
                "Failed to create directory: " + pathToUtf8(path) + " - a file of that name already exists");
        return ErrorCode::DirectoryCreateFailed;
    }
    // By path: the folders made here are an install target's own (the
    // target and the folders its files need). The apply refuses a link on
    // the way into the target before it writes there, and every file is
    // written beside its place and put there through its handle; a link
    // swapped into the chain after that check is not caught here, which a
    // chain made through the pinned target's handle would close.
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) {
        std::string reason;
        try {
            reason = ec.message();
        } catch (...) {
            reason = "error " + std::to_string(ec.value());
        }
        logLine(LogLevel::Error, "Failed to create directory: " + pathToUtf8(path) + " - " + reason);
        return ErrorCode::DirectoryCreateFailed;
    }
    EventLogger::instance().fileOperation("mkdir", path, true, 0, false);
    return ErrorCode::Success;
}

ErrorCode FileOperations::setReadOnly(const fs::path& path, bool readOnly) {
    logLine(LogLevel::Debug, "Setting file permissions for: " + pathToUtf8(path));
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        logWin32Failure("GetFileAttributes", path, code);
        return mapWin32Error(code);
    }
    DWORD wanted = readOnly ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
    // NORMAL stands only alone, and no attribute at all would mean "leave
    // unchanged" to the system.
    if (wanted != FILE_ATTRIBUTE_NORMAL) wanted &= ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
    if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
    // Nothing to change is nothing to write.
    if (wanted == attributes) return ErrorCode::Success;
    if (!SetFileAttributesW(path.c_str(), wanted)) {
        const DWORD code = GetLastError();
        logWin32Failure("SetFileAttributes", path, code);
        return mapWin32Error(code);
    }
    return ErrorCode::Success;
}

ErrorCode FileOperations::verifySignature(const fs::path& path) {
    logLine(LogLevel::Debug, "Verifying file signature: " + pathToUtf8(path));
    const std::wstring filePath = path.wstring();
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = filePath.c_str();
    fileInfo.hFile = nullptr;
    fileInfo.pgKnownSubject = nullptr;

    WINTRUST_DATA trust{};
    trust.cbStruct = sizeof trust;
    trust.pPolicyCallbackData = nullptr;
    trust.pSIPClientData = nullptr;
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.hWVTStateData = nullptr;
    trust.pwszURLReference = nullptr;
    trust.dwProvFlags = WTD_SAFER_FLAG;
    trust.dwUIContext = 0;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = WinVerifyTrust(nullptr, &action, &trust);
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &trust);

    if (status != 0) {
        logLine(LogLevel::Error, "Signature verification failed: " + std::to_string(static_cast<long>(status)));
        return ErrorCode::SignatureInvalid;
    }
    return ErrorCode::Success;
}

}  // namespace korvel
