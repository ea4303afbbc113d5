#pragma once
// The one way bytes move from an open file: read in chunks into one buffer
// kept for the pump's life, optionally capped, hashed as they pass, written
// to an open target, with progress after each chunk. Read and write
// failures are logged and mapped to codes in one place.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "common/ErrorCodes.h"

namespace korvel {

class Sha256Hasher;

class BytePump {
public:
    static constexpr size_t kChunkSize = 1024 * 1024;

    // How a cap holds.
    enum class CapRule {
        // Reading ends once cap bytes have passed; nothing beyond is read.
        StopAt,
        // A source longer than cap fails; the chunk that would pass the cap
        // is read but neither written nor hashed.
        FailBeyond,
    };

    enum class Outcome { Complete, ReadFailed, WriteFailed, HashFailed, Cancelled, TooLong };

    struct Result {
        Outcome outcome = Outcome::Complete;
        // Bytes read, written and hashed (the refused chunk of TooLong and
        // the chunk of a failed write not included).
        uint64_t bytes = 0;
        // The Windows error of a failed read or write as the system gave it.
        uint32_t win32Error = 0;

        bool ok() const noexcept { return outcome == Outcome::Complete; }
        // 0; a failed read or write through the file error map (a write cut
        // short without an error counts as ERROR_WRITE_FAULT); 204 for the
        // hash; 3 when cancelled; 142 for a source longer than its cap,
        // which can never hold the bytes expected.
        ErrorCode code() const;
    };

    struct Job {
        // Read from its current position until the end or the cap.
        HANDLE source = INVALID_HANDLE_VALUE;
        // A failed read or write is logged against these names when given;
        // without one it is only reported in the result.
        const std::filesystem::path* sourceName = nullptr;
        // Optional: every chunk is written whole to it.
        HANDLE target = nullptr;
        const std::filesystem::path* targetName = nullptr;
        // Optional, begun and finished by the caller: every chunk passed on
        // is added to it.
        Sha256Hasher* hasher = nullptr;
        std::optional<uint64_t> cap;
        CapRule capRule = CapRule::StopAt;
        // After each chunk with the bytes passed so far; false cancels.
        std::function<bool(uint64_t bytes)> progress;

        // A copy from source to target, hashed as it passes when hasher is
        // given; failures are logged against both names.
        static Job copy(HANDLE source, const std::filesystem::path& sourceName, HANDLE target,
                        const std::filesystem::path& targetName, Sha256Hasher* hasher) {
            Job job;
            job.source = source;
            job.sourceName = &sourceName;
            job.target = target;
            job.targetName = &targetName;
            job.hasher = hasher;
            return job;
        }
    };

    BytePump() = default;
    BytePump(const BytePump&) = delete;
    BytePump& operator=(const BytePump&) = delete;

    Result run(const Job& job);

    // The write step of run, for bytes that came from elsewhere into
    // buffer(): all size bytes to target, or WriteFailed.
    static Result write(HANDLE target, const std::filesystem::path* targetName, const void* data, DWORD size);

    // The buffer every run reads into, kChunkSize bytes, made on first use.
    unsigned char* buffer();

private:
    std::vector<unsigned char> buffer_;
};

}  // namespace korvel
