// SHA-256 over Windows CNG, and the operations that hash files: every byte
// is read through the one pump.
#include "common/FileOperations.h"

#include <string>

#include "common/FileOperationsInternal.h"
#include "common/TextConversion.h"

namespace korvel {
namespace fs = std::filesystem;
using fileops::logLine;

namespace {

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

}  // namespace

// A digest of part of the file would name other bytes than the file's: a
// read failure fails the hash.
ErrorCode fileops::hashRest(BytePump& pump, Sha256Hasher& hasher, HANDLE file, const fs::path& name,
                            std::string& hex, uint64_t& size) {
    BytePump::Job job;
    job.source = file;
    job.sourceName = &name;
    job.hasher = &hasher;
    const BytePump::Result read = pump.run(job);
    size = read.bytes;
    if (read.outcome == BytePump::Outcome::ReadFailed) {
        std::string ignored;
        hasher.finish(ignored);
    }
    if (!read.ok()) return ErrorCode::HashCalculationFailed;
    return hasher.finish(hex);
}

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

bool FileOperations::digestsEqual(const std::string& a, const std::string& b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
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
    BytePump pump;
    uint64_t size = 0;
    return fileops::hashRest(pump, hasher, file.get(), path, hex, size);
}

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

ErrorCode FileOperations::hashHandle(HANDLE file, const fs::path& name, TransferScratch& scratch, std::string& hex,
                                     uint64_t& size) {
    hex.clear();
    size = 0;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        logWin32Failure("ReadFile", name, GetLastError());
        return ErrorCode::HashCalculationFailed;
    }
    if (const ErrorCode code = scratch.hasher.begin(); code != ErrorCode::Success) return code;
    return fileops::hashRest(scratch.pump, scratch.hasher, file, name, hex, size);
}

}  // namespace korvel
