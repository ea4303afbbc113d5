#include "common/BytePump.h"

#include <algorithm>

#include "common/FileOperations.h"

namespace korvel {

ErrorCode BytePump::Result::code() const {
    switch (outcome) {
        case Outcome::Complete: return ErrorCode::Success;
        case Outcome::ReadFailed: return FileOperations::mapWin32Error(win32Error);
        case Outcome::WriteFailed:
            return FileOperations::mapWin32Error(win32Error != 0 ? win32Error : ERROR_WRITE_FAULT);
        case Outcome::HashFailed: return ErrorCode::HashCalculationFailed;
        case Outcome::Cancelled: return ErrorCode::Cancelled;
        case Outcome::TooLong: return ErrorCode::FileHashMismatch;
    }
    return ErrorCode::InternalError;
}

unsigned char* BytePump::buffer() {
    if (buffer_.size() != kChunkSize) buffer_.assign(kChunkSize, 0);
    return buffer_.data();
}

BytePump::Result BytePump::write(HANDLE target, const std::filesystem::path* targetName, const void* data,
                                 DWORD size) {
    Result result;
    DWORD written = 0;
    if (!WriteFile(target, data, size, &written, nullptr) || written != size) {
        result.outcome = Outcome::WriteFailed;
        result.win32Error = GetLastError();
        if (targetName) FileOperations::logWin32Failure("WriteFile", *targetName, result.win32Error);
    }
    return result;
}

BytePump::Result BytePump::run(const Job& job) {
    Result result;
    unsigned char* const chunk = buffer();
    const bool stopAtCap = job.cap && job.capRule == CapRule::StopAt;
    for (;;) {
        DWORD want = static_cast<DWORD>(kChunkSize);
        if (stopAtCap) {
            if (result.bytes >= *job.cap) break;
            want = static_cast<DWORD>(std::min<uint64_t>(*job.cap - result.bytes, kChunkSize));
        }
        DWORD got = 0;
        if (!ReadFile(job.source, chunk, want, &got, nullptr)) {
            result.outcome = Outcome::ReadFailed;
            result.win32Error = GetLastError();
            if (job.sourceName) FileOperations::logWin32Failure("ReadFile", *job.sourceName, result.win32Error);
            return result;
        }
        if (got == 0) break;
        if (job.cap && job.capRule == CapRule::FailBeyond && got > *job.cap - result.bytes) {
            result.outcome = Outcome::TooLong;
            return result;
        }
        if (job.target) {
            const Result wrote = write(job.target, job.targetName, chunk, got);
            if (!wrote.ok()) {
                result.outcome = wrote.outcome;
                result.win32Error = wrote.win32Error;
                return result;
            }
        }
        if (job.hasher && job.hasher->update(chunk, got) != ErrorCode::Success) {
            result.outcome = Outcome::HashFailed;
            return result;
        }
        result.bytes += got;
        if (job.progress && !job.progress(result.bytes)) {
            result.outcome = Outcome::Cancelled;
            return result;
        }
    }
    return result;
}

}  // namespace korvel
