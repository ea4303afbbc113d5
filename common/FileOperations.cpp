#include "common/Win32Util.h"
#include "common/FileOperations.h"

#include "common/FileSystemQueries.h"

#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <ctime>
#include <system_error>

#include "common/DirectoryWalker.h"
#include "common/EventLogger.h"
#include "common/PathCompare.h"
#include "common/PathSafety.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/WindowsErrorMap.h"

namespace korvel {
namespace fs = std::filesystem;

namespace {

const char kComponent[] = "FileOperations";

const ComponentLog logLine(kComponent);

std::string hexDigits(const unsigned char* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// A name beside the target that no other run picks: the new content is
// written there and replaces the target in one step once it is complete.
// It carries the target's name where that fits within the limits of a name
// and of a plain path that the target itself keeps to.
fs::path temporaryPathFor(const fs::path& target) {
    static std::atomic<uint32_t> counter{0};
    LARGE_INTEGER ticks{};
    QueryPerformanceCounter(&ticks);
    uint64_t mix = static_cast<uint64_t>(GetCurrentProcessId()) * 0x9E3779B97F4A7C15ull ^
                   static_cast<uint64_t>(ticks.QuadPart) ^ counter.fetch_add(1) * 0xC2B2AE3D27D4EB4Full;
    mix ^= mix >> 32;
    wchar_t tag[16];
    swprintf(tag, sizeof tag / sizeof tag[0], L"%08x", static_cast<unsigned>(mix & 0xFFFFFFFFu));

    const fs::path parent = target.parent_path();
    fs::path named = target.filename();
    named += L".~";
    named += tag;
    named += L".tmp";
    const fs::path beside = parent / named;
    const size_t targetLength = target.native().size();
    const bool nameFits = named.native().size() <= 255;
    const bool pathFits = targetLength >= MAX_PATH || beside.native().size() < MAX_PATH;
    if (nameFits && pathFits) return beside;
    return parent / (std::wstring(L"~") + tag + L".tmp");
}

// Marks an open file for deletion when its last handle closes, or takes
// the mark away again.
bool setDeleteOnClose(HANDLE file, bool remove) noexcept {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Creates a fresh temporary file beside the target, opened without sharing
// so nothing else can change the new content between its check and the
// final move; another run's name is never reused. It is marked for deletion
// from the start, so that a run killed before keepTemporary leaves none
// behind (where the platform allows the mark).
ErrorCode createTemporaryBeside(const fs::path& target, DWORD access, fs::path& temporary, ScopedHandle& file) {
    for (int attempt = 0;; ++attempt) {
        temporary = temporaryPathFor(target);
        file.reset(CreateFileW(temporary.c_str(), access | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
        if (file.valid()) {
            setDeleteOnClose(file.get(), true);
            return ErrorCode::Success;
        }
        const DWORD code = GetLastError();
        if ((code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) && attempt < 8) continue;
        FileOperations::logWin32Failure("CreateFile (target)", target, code);
        return FileOperations::mapWin32Error(code);
    }
}

// Removes a temporary file of ours. A read-only flag (copied from a
// read-only source) is cleared first and put back if the delete fails.
void removeTemporaryFile(const fs::path& path) noexcept {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    const bool cleared = (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                         SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
    if (!DeleteFileW(path.c_str())) {
        const DWORD code = GetLastError();
        if (cleared) SetFileAttributesW(path.c_str(), attributes);
        FileOperations::logWin32Failure("DeleteFile", path, code);
    }
}

// Takes the deletion mark off a finished temporary file just before it is
// closed and moved into place; on failure the file goes (with its handle)
// and the target is left as it was.
ErrorCode keepTemporary(const fs::path& temporary, ScopedHandle& file) {
    if (setDeleteOnClose(file.get(), false)) return ErrorCode::Success;
    const DWORD code = lastErrorOr(ERROR_ACCESS_DENIED);
    // Where the mark could not be set either, there is nothing to take off.
    FILE_STANDARD_INFO standard{};
    if (GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof standard) &&
        !standard.DeletePending) {
        return ErrorCode::Success;
    }
    file.close();
    removeTemporaryFile(temporary);
    FileOperations::logWin32Failure("SetFileInformationByHandle", temporary, code);
    return FileOperations::mapWin32Error(code);
}

// Copies creation, access and write times; failures are ignored, as the
// copy itself is complete.
void copyTimes(HANDLE source, HANDLE target) noexcept {
    FILETIME created{}, accessed{}, written{};
    if (GetFileTime(source, &created, &accessed, &written)) SetFileTime(target, &created, &accessed, &written);
}

}  // namespace

// ---------------------------------------------------------------------------
// Sha256Hasher

Sha256Hasher::~Sha256Hasher() { release(); }

void Sha256Hasher::releaseHash() noexcept { hash_.reset(); }

void Sha256Hasher::release() noexcept {
    hash_.reset();
    algorithm_.reset();
}

ErrorCode Sha256Hasher::begin() {
    releaseHash();
    auto fail = [this](const char* prefix, NTSTATUS status) {
        logLine(LogLevel::Error, prefix + std::to_string(static_cast<long>(status)));
        release();
        return ErrorCode::HashCalculationFailed;
    };
    // The provider and the hash object's memory are kept for the next
    // computation: opening a provider costs more than a small file's hash.
    if (!algorithm_.valid()) {
        BCRYPT_ALG_HANDLE algorithm = nullptr;
        NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        if (status < 0) return fail("BCryptOpenAlgorithmProvider failed: ", status);
        algorithm_.reset(algorithm);
        DWORD value = 0;
        ULONG got = 0;
        status = BCryptGetProperty(algorithm_.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&value),
                                   sizeof value, &got, 0);
        if (status < 0) return fail("BCryptGetProperty (object length) failed: ", status);
        objectLength_ = value;
        status = BCryptGetProperty(algorithm_.get(), BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&value),
                                   sizeof value, &got, 0);
        if (status < 0) return fail("BCryptGetProperty (hash length) failed: ", status);
        digestLength_ = value;
        object_.assign(objectLength_, 0);
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    const NTSTATUS status = BCryptCreateHash(algorithm_.get(), &hash, object_.data(), objectLength_, nullptr, 0, 0);
    if (status >= 0) hash_.reset(hash);
    if (status < 0) {
        return fail("BCryptCreateHash failed: ", status);
    }
    return ErrorCode::Success;
}

ErrorCode Sha256Hasher::update(const void* data, size_t size) {
    if (!hash_.valid()) return ErrorCode::HashCalculationFailed;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ULONG part = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        const NTSTATUS status = BCryptHashData(hash_.get(), const_cast<PUCHAR>(bytes), part, 0);
        if (status < 0) {
            logLine(LogLevel::Error, "BCryptHashData failed: " + std::to_string(static_cast<long>(status)));
            release();
            return ErrorCode::HashCalculationFailed;
        }
        bytes += part;
        size -= part;
    }
    return ErrorCode::Success;
}

ErrorCode Sha256Hasher::finish(std::string& hex) {
    hex.clear();
    if (!hash_.valid()) return ErrorCode::HashCalculationFailed;
    unsigned char digest[64];
    if (digestLength_ > sizeof digest) {
        release();
        return ErrorCode::HashCalculationFailed;
    }
    const NTSTATUS status = BCryptFinishHash(hash_.get(), digest, digestLength_, 0);
    releaseHash();
    if (status < 0) {
        logLine(LogLevel::Error, "BCryptFinishHash failed: " + std::to_string(static_cast<long>(status)));
        return ErrorCode::HashCalculationFailed;
    }
    hex = hexDigits(digest, digestLength_);
    return ErrorCode::Success;
}

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

bool FileOperations::digestsEqual(const std::string& a, const std::string& b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Inspection and hashing

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

ErrorCode FileOperations::hashFile(const fs::path& path, std::string& hex) {
    hex.clear();
    Sha256Hasher hasher;
    if (const ErrorCode code = hasher.begin(); code != ErrorCode::Success) return code;

    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) {
        const DWORD code = GetLastError();
        logWin32Failure("CreateFile", path, code);
        return mapWin32Error(code);
    }
    std::vector<unsigned char> buffer(kChunkSize);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            // A digest of part of the file would name other bytes than the
            // file's: a read failure fails the hash.
            logWin32Failure("ReadFile", path, GetLastError());
            return ErrorCode::HashCalculationFailed;
        }
        if (got == 0) break;
        if (const ErrorCode code = hasher.update(buffer.data(), got); code != ErrorCode::Success) return code;
    }
    return hasher.finish(hex);
}

fs::path FileOperations::temporaryPathBeside(const fs::path& target) { return temporaryPathFor(target); }

ErrorCode FileOperations::calculateSha256(const fs::path& path, std::string& hex) {
    logLine(LogLevel::Debug, "Calculating SHA-256 hash for: " + pathToUtf8(path));
    return hashFile(path, hex);
}

ErrorCode FileOperations::verifyFileIntegrity(const fs::path& path, const std::string& expectedSha256) {
    logLine(LogLevel::Debug, "Verifying file integrity: " + pathToUtf8(path));
    std::string actual;
    if (const ErrorCode code = calculateSha256(path, actual); code != ErrorCode::Success) return code;
    if (!digestsEqual(actual, expectedSha256)) {
        logLine(LogLevel::Error, "Hash mismatch. Expected: " + expectedSha256 + ", Actual: " + actual);
        return ErrorCode::FileHashMismatch;
    }
    return ErrorCode::Success;
}

// ---------------------------------------------------------------------------
// Copying
//
// Both copy paths write the new content to a temporary file beside the
// target, verify it and stamp its times there, and only then move it over
// the target in one step. Until that step the target is never touched, so
// a failed, cancelled or mismatched copy leaves the old file as it was.

namespace {

// Moves the finished temporary file onto the target. On failure the
// temporary file is removed and the target is left as it was.
ErrorCode commitTemporary(const fs::path& temporary, const fs::path& target, bool overwrite) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (overwrite ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(temporary.c_str(), target.c_str(), flags)) return ErrorCode::Success;
    const DWORD code = GetLastError();
    removeTemporaryFile(temporary);
    if (!overwrite && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) {
        logLine(LogLevel::Error, "Target file exists and overwrite not allowed: " + pathToUtf8(target));
        return ErrorCode::FileAccessDenied;
    }
    FileOperations::logWin32Failure("MoveFileEx", target, code);
    return FileOperations::mapWin32Error(code);
}

}  // namespace

namespace {

// What every copy does before it reads a byte: its DEBUG line, the target's
// parent made when asked, and an existing target refused unless overwriting.
ErrorCode prepareCopy(FileOperations& files, const fs::path& sourceName, const fs::path& target,
                      const CopyOptions& options) {
    logLine(LogLevel::Debug, "Copying file: " + pathToUtf8(sourceName) + " -> " + pathToUtf8(target));
    if (options.createParentDirs) {
        const fs::path parent = target.parent_path();
        // A file in the parent's place goes to createDirectory too, which
        // refuses it, rather than to a copy into a folder that is not one.
        if (!parent.empty() && !isDirectoryOrThrow(parent)) {
            if (const ErrorCode code = files.createDirectory(parent); code != ErrorCode::Success) return code;
        }
    }
    if (existsOrThrow(target) && !options.overwrite) {
        logLine(LogLevel::Error, "Target file exists and overwrite not allowed: " + pathToUtf8(target));
        return ErrorCode::FileAccessDenied;
    }
    return ErrorCode::Success;
}

}  // namespace

ErrorCode FileOperations::copyFile(const fs::path& source, const fs::path& target, const CopyOptions& options) {
    if (const ErrorCode code = prepareCopy(*this, source, target, options); code != ErrorCode::Success) return code;

    // Only the size is needed here: hashing the source as well would cost a
    // whole extra pass over it.
    uint64_t size = 0;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &data)) {
        size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    } else {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND)
            logWin32Failure("GetFileAttributesEx", source, code);
    }
    if (size > kSystemCopyLimit) return copyFileChunked(source, target, options);

    fs::path temporary;
    for (int attempt = 0;; ++attempt) {
        temporary = temporaryPathFor(target);
        if (CopyFileExW(source.c_str(), temporary.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS))
            break;
        const DWORD code = GetLastError();
        if ((code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) && attempt < 8) continue;
        // The name was ours unless it already existed.
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) removeTemporaryFile(temporary);
        logWin32Failure("CopyFileEx", source, code);
        return mapWin32Error(code);
    }

    if (options.verifyHash) {
        std::string sourceHash;
        std::string copyHash;
        const ErrorCode sourceCode = calculateSha256(source, sourceHash);
        const ErrorCode copyCode = calculateSha256(temporary, copyHash);
        if (sourceCode != ErrorCode::Success || copyCode != ErrorCode::Success ||
            !digestsEqual(sourceHash, copyHash)) {
            logLine(LogLevel::Error, "Hash verification failed after copy");
            removeTemporaryFile(temporary);
            return ErrorCode::FileHashMismatch;
        }
    }

    if (options.preserveTimestamps) {
        ScopedHandle from(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        // Attribute access is enough for the times and also works when the
        // copy took a read-only flag from its source.
        ScopedHandle to(CreateFileW(temporary.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (from.valid() && to.valid()) copyTimes(from.get(), to.get());
    }

    if (const ErrorCode code = commitTemporary(temporary, target, options.overwrite); code != ErrorCode::Success)
        return code;
    EventLogger::instance().fileOperation("copy", target, true, 0, false);
    return ErrorCode::Success;
}

ErrorCode FileOperations::copyVerified(HANDLE source, const fs::path& sourceName, const fs::path& target,
                                       const CopyOptions& options, uint64_t expectedSize,
                                       const std::string& expectedSha256, TransferScratch& scratch) {
    if (const ErrorCode code = prepareCopy(*this, sourceName, target, options); code != ErrorCode::Success)
        return code;

    FILE_BASIC_INFO sourceInfo{};
    LARGE_INTEGER start{};
    if (!GetFileInformationByHandleEx(source, FileBasicInfo, &sourceInfo, sizeof sourceInfo) ||
        !SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) {
        const DWORD code = GetLastError();
        logWin32Failure("ReadFile", sourceName, code);
        return mapWin32Error(code);
    }

    // No sharing: nothing else can change the new content between its
    // check and the final move.
    fs::path temporary;
    ScopedHandle to;
    const ErrorCode created = createTemporaryBeside(target, GENERIC_WRITE, temporary, to);
    if (created != ErrorCode::Success) return created;
    auto discard = [&]() {
        to.close();
        removeTemporaryFile(temporary);
    };

    const bool large = expectedSize > kSystemCopyLimit;
    if (large) {
        FILE_ALLOCATION_INFO allocation{};
        allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(expectedSize);
        SetFileInformationByHandle(to.get(), FileAllocationInfo, &allocation, sizeof allocation);
    }
    if (scratch.buffer.size() != kChunkSize) scratch.buffer.assign(kChunkSize, 0);
    if (const ErrorCode code = scratch.hasher.begin(); code != ErrorCode::Success) {
        discard();
        return code;
    }

    uint64_t copied = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source, scratch.buffer.data(), static_cast<DWORD>(scratch.buffer.size()), &got, nullptr)) {
            const DWORD code = GetLastError();
            logWin32Failure("ReadFile", sourceName, code);
            discard();
            return mapWin32Error(code);
        }
        if (got == 0) break;
        // More bytes than expected can never match: stop before writing them.
        if (copied + got > expectedSize) {
            copied += got;
            break;
        }
        DWORD written = 0;
        if (!WriteFile(to.get(), scratch.buffer.data(), got, &written, nullptr) || written != got) {
            const DWORD code = GetLastError();
            logWin32Failure("WriteFile", target, code);
            discard();
            return mapWin32Error(code != 0 ? code : ERROR_WRITE_FAULT);
        }
        if (const ErrorCode code = scratch.hasher.update(scratch.buffer.data(), got); code != ErrorCode::Success) {
            discard();
            return code;
        }
        copied += written;
        if (options.progressCallback && !options.progressCallback(copied, expectedSize)) {
            discard();
            return ErrorCode::Cancelled;
        }
        if (large) {
            const int percent = static_cast<int>(copied * 100 / expectedSize);
            EventLogger::instance().progress("file_copy", percent, "Copied " + std::to_string(copied) + " bytes");
        }
    }
    std::string digest;
    const ErrorCode hashCode = scratch.hasher.finish(digest);
    if (hashCode != ErrorCode::Success) {
        discard();
        return hashCode;
    }
    if (copied != expectedSize || !digestsEqual(digest, expectedSha256)) {
        logLine(LogLevel::Error, "Hash verification failed after copy");
        discard();
        return ErrorCode::FileHashMismatch;
    }

    // The mark goes first: a read-only file can be given no deletion mark,
    // and taking one off should not depend on that.
    if (const ErrorCode code = keepTemporary(temporary, to); code != ErrorCode::Success) return code;
    // Attributes that matter to the file's use, and its times when asked.
    FILE_BASIC_INFO info{};
    if (options.preserveTimestamps) {
        info.CreationTime = sourceInfo.CreationTime;
        info.LastAccessTime = sourceInfo.LastAccessTime;
        info.LastWriteTime = sourceInfo.LastWriteTime;
    }
    info.FileAttributes =
        sourceInfo.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (info.FileAttributes != 0 || options.preserveTimestamps) {
        if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(to.get(), FileBasicInfo, &info, sizeof info);
    }
    to.close();
    if (const ErrorCode code = commitTemporary(temporary, target, options.overwrite); code != ErrorCode::Success)
        return code;
    if (!large) EventLogger::instance().fileOperation("copy", target, true, 0, false);
    return ErrorCode::Success;
}

void FileOperations::reportCopied(const fs::path& sourceName, const fs::path& target, uint64_t size) {
    logLine(LogLevel::Debug, "Copying file: " + pathToUtf8(sourceName) + " -> " + pathToUtf8(target));
    if (size <= kSystemCopyLimit) {
        EventLogger::instance().fileOperation("copy", target, true, 0, false);
        return;
    }
    for (uint64_t copied = 0; copied < size;) {
        copied += std::min<uint64_t>(kChunkSize, size - copied);
        EventLogger::instance().progress("file_copy", static_cast<int>(copied * 100 / size),
                                         "Copied " + std::to_string(copied) + " bytes");
    }
}

ErrorCode FileOperations::copyBetween(HANDLE source, const fs::path& sourceName, HANDLE target,
                                      const fs::path& targetName, bool preserveTimestamps, TransferScratch& scratch,
                                      std::string& digest, uint64_t& size) {
    logLine(LogLevel::Debug, "Copying file: " + pathToUtf8(sourceName) + " -> " + pathToUtf8(targetName));
    digest.clear();
    size = 0;
    FILE_BASIC_INFO sourceInfo{};
    LARGE_INTEGER start{};
    if (!GetFileInformationByHandleEx(source, FileBasicInfo, &sourceInfo, sizeof sourceInfo) ||
        !SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) {
        const DWORD code = GetLastError();
        logWin32Failure("ReadFile", sourceName, code);
        return mapWin32Error(code);
    }
    if (!SetFilePointerEx(target, start, nullptr, FILE_BEGIN) || !SetEndOfFile(target)) {
        const DWORD code = GetLastError();
        logWin32Failure("WriteFile", targetName, code);
        return mapWin32Error(code);
    }
    if (scratch.buffer.size() != kChunkSize) scratch.buffer.assign(kChunkSize, 0);
    if (const ErrorCode code = scratch.hasher.begin(); code != ErrorCode::Success) return code;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source, scratch.buffer.data(), static_cast<DWORD>(scratch.buffer.size()), &got, nullptr)) {
            const DWORD code = GetLastError();
            logWin32Failure("ReadFile", sourceName, code);
            scratch.hasher.finish(digest);
            digest.clear();
            return mapWin32Error(code);
        }
        if (got == 0) break;
        DWORD written = 0;
        if (!WriteFile(target, scratch.buffer.data(), got, &written, nullptr) || written != got) {
            const DWORD code = GetLastError();
            logWin32Failure("WriteFile", targetName, code);
            scratch.hasher.finish(digest);
            digest.clear();
            return mapWin32Error(code != 0 ? code : ERROR_WRITE_FAULT);
        }
        if (const ErrorCode code = scratch.hasher.update(scratch.buffer.data(), got); code != ErrorCode::Success)
            return code;
        size += got;
    }
    if (const ErrorCode code = scratch.hasher.finish(digest); code != ErrorCode::Success) return code;
    FILE_BASIC_INFO info{};
    if (preserveTimestamps) {
        info.CreationTime = sourceInfo.CreationTime;
        info.LastAccessTime = sourceInfo.LastAccessTime;
        info.LastWriteTime = sourceInfo.LastWriteTime;
    }
    info.FileAttributes =
        sourceInfo.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (info.FileAttributes != 0 || preserveTimestamps) {
        if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(target, FileBasicInfo, &info, sizeof info);
    }
    EventLogger::instance().fileOperation("copy", targetName, true, 0, false);
    return ErrorCode::Success;
}

ErrorCode FileOperations::hashHandle(HANDLE file, const fs::path& name, TransferScratch& scratch, std::string& hex,
                                     uint64_t& size) {
    hex.clear();
    size = 0;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        logWin32Failure("ReadFile", name, GetLastError());
        return ErrorCode::HashCalculationFailed;
    }
    if (scratch.buffer.size() != kChunkSize) scratch.buffer.assign(kChunkSize, 0);
    if (const ErrorCode code = scratch.hasher.begin(); code != ErrorCode::Success) return code;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, scratch.buffer.data(), static_cast<DWORD>(scratch.buffer.size()), &got, nullptr)) {
            logWin32Failure("ReadFile", name, GetLastError());
            std::string ignored;
            scratch.hasher.finish(ignored);
            return ErrorCode::HashCalculationFailed;
        }
        if (got == 0) break;
        if (const ErrorCode code = scratch.hasher.update(scratch.buffer.data(), got); code != ErrorCode::Success)
            return code;
        size += got;
    }
    return scratch.hasher.finish(hex);
}

ErrorCode FileOperations::copyFileChunked(const fs::path& source, const fs::path& target,
                                          const CopyOptions& options) {
    ScopedHandle from(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!from.valid()) {
        const DWORD code = GetLastError();
        logWin32Failure("CreateFile (source)", source, code);
        return mapWin32Error(code);
    }

    // No sharing: nothing else can change the new content between its
    // verification and the final move.
    fs::path temporary;
    ScopedHandle to;
    const ErrorCode created = createTemporaryBeside(target, GENERIC_READ | GENERIC_WRITE, temporary, to);
    if (created != ErrorCode::Success) return created;
    auto discard = [&]() {
        to.close();
        removeTemporaryFile(temporary);
    };

    LARGE_INTEGER sizeValue{};
    if (!GetFileSizeEx(from.get(), &sizeValue)) {
        const DWORD code = GetLastError();
        logWin32Failure("GetFileSizeEx", source, code);
        discard();
        return mapWin32Error(code);
    }
    const uint64_t total = static_cast<uint64_t>(sizeValue.QuadPart);

    // Reserving the space up front keeps the file contiguous; a refusal only
    // costs speed, a full disk still fails at the write.
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = sizeValue.QuadPart;
    SetFileInformationByHandle(to.get(), FileAllocationInfo, &allocation, sizeof allocation);

    // The source is hashed from the very bytes that are written, so the
    // verification needs no second read of the source.
    Sha256Hasher sourceHasher;
    if (options.verifyHash) {
        if (const ErrorCode code = sourceHasher.begin(); code != ErrorCode::Success) {
            discard();
            return code;
        }
    }

    std::vector<unsigned char> buffer(kChunkSize);
    uint64_t copied = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(from.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            const DWORD code = GetLastError();
            logWin32Failure("ReadFile", source, code);
            discard();
            return mapWin32Error(code);
        }
        if (got == 0) break;
        if (options.verifyHash) {
            if (const ErrorCode code = sourceHasher.update(buffer.data(), got); code != ErrorCode::Success) {
                discard();
                return code;
            }
        }
        DWORD written = 0;
        if (!WriteFile(to.get(), buffer.data(), got, &written, nullptr) || written != got) {
            const DWORD code = GetLastError();
            logWin32Failure("WriteFile", target, code);
            discard();
            return mapWin32Error(code);
        }
        copied += written;
        if (options.progressCallback && !options.progressCallback(copied, total)) {
            discard();
            return ErrorCode::Cancelled;
        }
        const int percent = total == 0 ? 100 : static_cast<int>(copied * 100 / total);
        EventLogger::instance().progress("file_copy", percent, "Copied " + std::to_string(copied) + " bytes");
    }
    if (copied != total) {
        logLine(LogLevel::Error, "Copied " + std::to_string(copied) + " of " + std::to_string(total) +
                                     " bytes from: " + pathToUtf8(source));
        discard();
        return ErrorCode::FileCopyFailed;
    }

    if (!FlushFileBuffers(to.get())) {
        const DWORD code = GetLastError();
        logWin32Failure("FlushFileBuffers", target, code);
        discard();
        return mapWin32Error(code);
    }

    if (options.verifyHash) {
        std::string sourceHash;
        std::string copyHash;
        ErrorCode code = sourceHasher.finish(sourceHash);
        Sha256Hasher copyHasher;
        if (code == ErrorCode::Success) code = copyHasher.begin();
        LARGE_INTEGER start{};
        if (code == ErrorCode::Success && !SetFilePointerEx(to.get(), start, nullptr, FILE_BEGIN)) {
            logWin32Failure("SetFilePointerEx", temporary, GetLastError());
            code = ErrorCode::HashCalculationFailed;
        }
        while (code == ErrorCode::Success) {
            DWORD got = 0;
            if (!ReadFile(to.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
                logWin32Failure("ReadFile", temporary, GetLastError());
                code = ErrorCode::HashCalculationFailed;
                break;
            }
            if (got == 0) break;
            code = copyHasher.update(buffer.data(), got);
        }
        if (code == ErrorCode::Success) code = copyHasher.finish(copyHash);
        if (code != ErrorCode::Success || !digestsEqual(sourceHash, copyHash)) {
            logLine(LogLevel::Error, "Hash verification failed after copy");
            discard();
            return ErrorCode::FileHashMismatch;
        }
    }

    // Stamped last: reading the copy back must not leave its own times.
    if (options.preserveTimestamps) copyTimes(from.get(), to.get());

    from.close();
    if (const ErrorCode code = keepTemporary(temporary, to); code != ErrorCode::Success) return code;
    to.close();
    return commitTemporary(temporary, target, options.overwrite);
}

// ---------------------------------------------------------------------------
// Deleting, folders, attributes, signatures

ErrorCode FileOperations::deleteFile(const fs::path& path) {
    logLine(LogLevel::Debug, "Deleting file: " + pathToUtf8(path));
    if (DeleteFileW(path.c_str())) {
        EventLogger::instance().fileOperation("delete", path, true, 0, false);
        return ErrorCode::Success;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return ErrorCode::Success;
    logWin32Failure("DeleteFile", path, code);
    return mapWin32Error(code);
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

namespace {

// The Windows error of the last failed deletion of a removal on this thread.
thread_local uint32_t t_lastRemovalError = 0;

void reportDelete(const fs::path& path, bool success, uint32_t win32Error) noexcept {
    if (!success) t_lastRemovalError = win32Error;
    EventLogger::instance().fileOperation("delete", path, success, win32Error, !success);
}

bool vanished(uint32_t win32Error) { return win32Error == ERROR_FILE_NOT_FOUND || win32Error == ERROR_PATH_NOT_FOUND; }

}  // namespace

ErrorCode FileOperations::removeDirectory(const fs::path& path, bool recursive, uint32_t* filesRemoved,
                                          uint32_t* foldersRemoved) {
    return removeDirectory(path, recursive, filesRemoved, foldersRemoved, {});
}

ErrorCode FileOperations::removeDirectory(const fs::path& path, bool recursive, uint32_t* filesRemoved,
                                          uint32_t* foldersRemoved, const std::vector<std::wstring>& keep) {
    logLine(LogLevel::Debug, "Removing directory: " + pathToUtf8(path));
    t_lastRemovalError = 0;

    PinnedDirectory pinned;
    uint32_t error = 0;
    if (!openDirectoryNoReparse(path.wstring(), pinned, error, DELETE | FILE_READ_ATTRIBUTES)) {
        if (vanished(error)) return ErrorCode::Success;
        if (error == kVolumeRootRefusedError)
            logLine(LogLevel::Error, "Refusing to remove a volume root: " + pathToUtf8(path));
        reportDelete(path, false, error);
        return ErrorCode::DirectoryAccessDenied;
    }
    // Whatever the pin let through, a whole volume is never emptied.
    if (isVolumeRootPath(pinned.finalPath())) {
        logLine(LogLevel::Error, "Refusing to remove a volume root: " + pathToUtf8(path));
        reportDelete(path, false, kVolumeRootRefusedError);
        return ErrorCode::DirectoryAccessDenied;
    }

    auto removeRoot = [&]() {
        uint32_t rootError = 0;
        if (!pinned.deleteRoot(rootError)) {
            reportDelete(path, false, rootError);
            return recursive && vanished(rootError) ? ErrorCode::Success : ErrorCode::DirectoryAccessDenied;
        }
        // The folder goes when its last handle closes.
        pinned.reset();
        if (foldersRemoved) ++*foldersRemoved;
        reportDelete(path, true, 0);
        return ErrorCode::Success;
    };
    if (!recursive) return removeRoot();

    // Kept entries below the pinned folder, with the folders holding them.
    bool keptAny = false;
    auto isKept = [&](const std::wstring& entryPath) {
        for (const std::wstring& kept : keep) {
            if (isSameOrInside(kept, entryPath)) return true;
        }
        return false;
    };

    fs::path current = path;
    try {
        std::vector<RemovalEntry> files;
        std::vector<RemovalEntry> folders;
        // The walk lists by handle and never enters links or junctions: a
        // link is collected as an entry and deleted as itself.
        DirectoryWalkError walkError;
        const bool walked = DirectoryWalker::walk(
            pinned.finalPath(),
            [&](const DirectoryWalkEntry& entry) {
                current = entry.fullPath;
                RemovalEntry item;
                item.fullPath = entry.fullPath;
                // Names from the folder's own listing, whatever they are, are
                // deleted by those exact names below the pinned handle.
                item.relativePath = utf16ToUtf8Strict(entry.relativePath);
                item.isDirectory = entry.isDirectory();
                if (isKept(entry.fullPath)) {
                    keptAny = true;
                    return true;
                }
                (item.isDirectory ? folders : files).push_back(std::move(item));
                return true;
            },
            walkError);
        if (!walked) {
            reportDelete(walkError.path.empty() ? path : fs::path(walkError.path), false, walkError.win32Error);
            return ErrorCode::DirectoryAccessDenied;
        }

        std::sort(folders.begin(), folders.end(), removalOrderLess);
        for (const std::vector<RemovalEntry>* list : {&files, &folders}) {
            for (const RemovalEntry& entry : *list) {
                current = entry.fullPath;
                uint32_t entryError = 0;
                bool containmentViolation = false;
                if (pinned.deleteListedEntry(entry.relativePath, entryError, containmentViolation)) {
                    reportDelete(entry.fullPath, true, 0);
                    uint32_t* counter = entry.isDirectory ? foldersRemoved : filesRemoved;
                    if (counter) ++*counter;
                    continue;
                }
                reportDelete(entry.fullPath, false, entryError);
                if (containmentViolation) {
                    logLine(LogLevel::Error, "Refusing to delete an entry outside the folder: " +
                                                 pathToUtf8(entry.fullPath));
                    return ErrorCode::DirectoryAccessDenied;
                }
                if (!vanished(entryError)) return ErrorCode::DirectoryAccessDenied;
            }
        }
        current = path;
        if (keptAny) return ErrorCode::Success;
        return removeRoot();
    } catch (const std::system_error& e) {
        const int code = e.code().value();
        reportDelete(current, false, code != 0 ? static_cast<uint32_t>(code) : ERROR_INVALID_NAME);
        return ErrorCode::DirectoryAccessDenied;
    } catch (...) {
        reportDelete(current, false, ERROR_INVALID_NAME);
        return ErrorCode::DirectoryAccessDenied;
    }
}

uint32_t FileOperations::lastRemovalError() noexcept { return t_lastRemovalError; }

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
