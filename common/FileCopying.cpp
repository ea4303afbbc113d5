// Copying files. Every copy writes the new content to a temporary file
// beside the target, verifies it and stamps its times there, and only then
// moves it over the target in one step. Until that step the target is never
// touched, so a failed, cancelled or mismatched copy leaves the old file as
// it was. The bytes of the copies made here go through the one pump.
#include "common/Win32Util.h"
#include "common/FileOperations.h"

#include "common/FileSystemQueries.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <functional>

#include "common/EventLogger.h"
#include "common/FileOperationsInternal.h"
#include "common/TextConversion.h"

namespace korvel {
namespace fs = std::filesystem;
using fileops::logLine;

namespace {

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


// The new content's file beside the target, until it replaces the target.
struct TemporaryTarget {
    fs::path path;
    ScopedHandle file;

    void discard() noexcept {
        file.close();
        removeTemporaryFile(path);
    }
};

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
    if (!options.overwrite && existsOrThrow(target)) {
        logLine(LogLevel::Error, "Target file exists and overwrite not allowed: " + pathToUtf8(target));
        return ErrorCode::FileAccessDenied;
    }
    return ErrorCode::Success;
}


// The source's attributes and times, taken before its bytes are read from
// its start.
ErrorCode readSourceBasics(HANDLE source, const fs::path& sourceName, FILE_BASIC_INFO& sourceInfo) {
    LARGE_INTEGER start{};
    if (!GetFileInformationByHandleEx(source, FileBasicInfo, &sourceInfo, sizeof sourceInfo) ||
        !SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) {
        const DWORD code = GetLastError();
        FileOperations::logWin32Failure("ReadFile", sourceName, code);
        return FileOperations::mapWin32Error(code);
    }
    return ErrorCode::Success;
}

// Attributes that matter to the file's use go along, and its times when
// asked; a failure only loses them.
void applySourceBasics(HANDLE target, const FILE_BASIC_INFO& sourceInfo, bool preserveTimestamps) noexcept {
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
}

// Reserving the space up front keeps the file contiguous; a refusal only
// costs speed, a full disk still fails at the write.
void reserveSpace(HANDLE file, uint64_t size) noexcept {
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation);
}

// After each chunk of a copy: the caller's callback (false cancels), then,
// when asked, one "file_copy" progress event.
std::function<bool(uint64_t)> copyProgress(const CopyOptions& options, uint64_t total, bool events) {
    return [&options, total, events](uint64_t copied) {
        if (options.progressCallback && !options.progressCallback(copied, total)) return false;
        if (events) {
            const int percent = total == 0 ? 100 : static_cast<int>(copied * 100 / total);
            EventLogger::instance().progress("file_copy", percent, "Copied " + std::to_string(copied) + " bytes");
        }
        return true;
    };
}

// Writes the source's bytes into the temporary file, hashing them as they
// are written, and checks them against the size and digest expected.
ErrorCode writeChecked(HANDLE source, const fs::path& sourceName, const fs::path& target, HANDLE temporary,
                       const CopyOptions& options, uint64_t expectedSize, const std::string& expectedSha256,
                       TransferScratch& scratch) {
    const bool large = expectedSize > FileOperations::kSystemCopyLimit;
    if (large) reserveSpace(temporary, expectedSize);
    if (const ErrorCode code = scratch.hasher.begin(); code != ErrorCode::Success) return code;

    BytePump::Job job = BytePump::Job::copy(source, sourceName, temporary, target, &scratch.hasher);
    // More bytes than expected can never match: they are not written.
    job.cap = expectedSize;
    job.capRule = BytePump::CapRule::FailBeyond;
    job.progress = copyProgress(options, expectedSize, large);
    const BytePump::Result copied = scratch.pump.run(job);
    const bool tooLong = copied.outcome == BytePump::Outcome::TooLong;
    if (!copied.ok() && !tooLong) return copied.code();

    std::string digest;
    if (const ErrorCode code = scratch.hasher.finish(digest); code != ErrorCode::Success) return code;
    if (tooLong || copied.bytes != expectedSize || !FileOperations::digestsEqual(digest, expectedSha256)) {
        logLine(LogLevel::Error, "Hash verification failed after copy");
        return ErrorCode::FileHashMismatch;
    }
    return ErrorCode::Success;
}

// Copies every byte of the source into the temporary file, one progress
// event per chunk, hashing them into sourceHasher when one is given. A
// source that ends before its size was read is never a complete copy.
ErrorCode copyChunks(BytePump& pump, HANDLE from, const fs::path& source, HANDLE to, const fs::path& target,
                     const CopyOptions& options, Sha256Hasher* sourceHasher) {
    LARGE_INTEGER sizeValue{};
    if (!GetFileSizeEx(from, &sizeValue)) {
        const DWORD code = GetLastError();
        FileOperations::logWin32Failure("GetFileSizeEx", source, code);
        return FileOperations::mapWin32Error(code);
    }
    const uint64_t total = static_cast<uint64_t>(sizeValue.QuadPart);
    reserveSpace(to, total);
    if (sourceHasher) {
        if (const ErrorCode code = sourceHasher->begin(); code != ErrorCode::Success) return code;
    }

    // The source is hashed from the very bytes that are written, so the
    // verification needs no second read of the source.
    BytePump::Job job = BytePump::Job::copy(from, source, to, target, sourceHasher);
    job.progress = copyProgress(options, total, true);
    const BytePump::Result copied = pump.run(job);
    if (!copied.ok()) return copied.code();
    if (copied.bytes != total) {
        logLine(LogLevel::Error, "Copied " + std::to_string(copied.bytes) + " of " + std::to_string(total) +
                                     " bytes from: " + pathToUtf8(source));
        return ErrorCode::FileCopyFailed;
    }
    return ErrorCode::Success;
}

ErrorCode flushTemporary(HANDLE to, const fs::path& target) {
    if (FlushFileBuffers(to)) return ErrorCode::Success;
    const DWORD code = GetLastError();
    FileOperations::logWin32Failure("FlushFileBuffers", target, code);
    return FileOperations::mapWin32Error(code);
}

// The copy, read back from its start, has the digest of the bytes that were
// read from the source.
bool readsBackAs(BytePump& pump, Sha256Hasher& sourceHasher, const TemporaryTarget& temporary) {
    std::string sourceHash;
    std::string copyHash;
    ErrorCode code = sourceHasher.finish(sourceHash);
    Sha256Hasher copyHasher;
    if (code == ErrorCode::Success) code = copyHasher.begin();
    LARGE_INTEGER start{};
    if (code == ErrorCode::Success && !SetFilePointerEx(temporary.file.get(), start, nullptr, FILE_BEGIN)) {
        FileOperations::logWin32Failure("SetFilePointerEx", temporary.path, GetLastError());
        code = ErrorCode::HashCalculationFailed;
    }
    uint64_t size = 0;
    if (code == ErrorCode::Success) code = fileops::hashRest(pump, copyHasher, temporary.file.get(), temporary.path,
                                                             copyHash, size);
    return code == ErrorCode::Success && FileOperations::digestsEqual(sourceHash, copyHash);
}

}  // namespace

fs::path FileOperations::temporaryPathBeside(const fs::path& target) { return temporaryPathFor(target); }

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
    if (const ErrorCode code = readSourceBasics(source, sourceName, sourceInfo); code != ErrorCode::Success)
        return code;

    // No sharing: nothing else can change the new content between its
    // check and the final move.
    TemporaryTarget temporary;
    const ErrorCode created = createTemporaryBeside(target, GENERIC_WRITE, temporary.path, temporary.file);
    if (created != ErrorCode::Success) return created;
    const ErrorCode written = writeChecked(source, sourceName, target, temporary.file.get(), options, expectedSize,
                                           expectedSha256, scratch);
    if (written != ErrorCode::Success) {
        temporary.discard();
        return written;
    }

    // The mark goes first: a read-only file can be given no deletion mark,
    // and taking one off should not depend on that.
    if (const ErrorCode code = keepTemporary(temporary.path, temporary.file); code != ErrorCode::Success) return code;
    applySourceBasics(temporary.file.get(), sourceInfo, options.preserveTimestamps);
    temporary.file.close();
    if (const ErrorCode code = commitTemporary(temporary.path, target, options.overwrite); code != ErrorCode::Success)
        return code;
    if (expectedSize <= kSystemCopyLimit) EventLogger::instance().fileOperation("copy", target, true, 0, false);
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
    if (const ErrorCode code = readSourceBasics(source, sourceName, sourceInfo); code != ErrorCode::Success)
        return code;
    if (!startFileAnew(target)) {
        const DWORD code = GetLastError();
        logWin32Failure("WriteFile", targetName, code);
        return mapWin32Error(code);
    }
    if (const ErrorCode code = scratch.hasher.begin(); code != ErrorCode::Success) return code;

    BytePump::Job job = BytePump::Job::copy(source, sourceName, target, targetName, &scratch.hasher);
    const BytePump::Result copied = scratch.pump.run(job);
    size = copied.bytes;
    if (!copied.ok()) {
        // A failed hash has released itself; otherwise the hash goes unused.
        if (copied.outcome != BytePump::Outcome::HashFailed) {
            scratch.hasher.finish(digest);
            digest.clear();
        }
        return copied.code();
    }
    if (const ErrorCode code = scratch.hasher.finish(digest); code != ErrorCode::Success) return code;
    applySourceBasics(target, sourceInfo, preserveTimestamps);
    EventLogger::instance().fileOperation("copy", targetName, true, 0, false);
    return ErrorCode::Success;
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
    TemporaryTarget temporary;
    const ErrorCode created =
        createTemporaryBeside(target, GENERIC_READ | GENERIC_WRITE, temporary.path, temporary.file);
    if (created != ErrorCode::Success) return created;

    BytePump pump;
    Sha256Hasher sourceHasher;
    ErrorCode code = copyChunks(pump, from.get(), source, temporary.file.get(), target, options,
                                options.verifyHash ? &sourceHasher : nullptr);
    if (code == ErrorCode::Success) code = flushTemporary(temporary.file.get(), target);
    if (code == ErrorCode::Success && options.verifyHash && !readsBackAs(pump, sourceHasher, temporary)) {
        logLine(LogLevel::Error, "Hash verification failed after copy");
        code = ErrorCode::FileHashMismatch;
    }
    if (code != ErrorCode::Success) {
        temporary.discard();
        return code;
    }

    // Stamped last: reading the copy back must not leave its own times.
    if (options.preserveTimestamps) copyTimes(from.get(), temporary.file.get());
    from.close();
    if (const ErrorCode kept = keepTemporary(temporary.path, temporary.file); kept != ErrorCode::Success) return kept;
    temporary.file.close();
    return commitTemporary(temporary.path, target, options.overwrite);
}

}  // namespace korvel
