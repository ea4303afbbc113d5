#pragma once
// The manifest signature checker. It holds no public key and no trusted
// certificate: a check reads the data file and the detached signature file,
// warns that the signature itself is not examined, and succeeds when both
// files could be read.
#include <windows.h>

#include <wincrypt.h>

#include <cstdint>
#include <filesystem>
#include <vector>

#include "common/ErrorCodes.h"

namespace korvel {

class CryptoVerifier {
public:
    CryptoVerifier();
    ~CryptoVerifier();
    CryptoVerifier(const CryptoVerifier&) = delete;
    CryptoVerifier& operator=(const CryptoVerifier&) = delete;

    // 0, or 141 / 4 from reading the first file that fails.
    ErrorCode verifyDetachedSignature(const std::filesystem::path& dataFile,
                                      const std::filesystem::path& signatureFile);
    ErrorCode verifyCmsSignature();
    // 0; 141 when the file cannot be opened; 4 when it cannot be read.
    ErrorCode readFileBytes(const std::filesystem::path& path, std::vector<uint8_t>& bytes);

    bool isInitialized() const { return initialized; }

private:
    // Never opened; released on destruction should that ever change.
    HCERTSTORE certStore = nullptr;
    HCRYPTPROV cryptProvider = 0;
    bool initialized = false;
};

}  // namespace korvel
