#pragma once
// The manifest signature checker. With the Ed25519 public key the build was
// configured with, it checks a detached signature over bytes held in memory
// (libsodium). A verifier without a key (a build configured without one)
// keeps the placeholder check: it reads the data file and the detached
// signature file, warns that the signature itself is not examined, and
// succeeds when both files could be read.
#include <windows.h>

#include <wincrypt.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/ErrorCodes.h"

namespace korvel {

using Ed25519PublicKey = std::array<uint8_t, 32>;

// The key compiled in from KORVEL_MANIFEST_PUBLIC_KEY; none when the build
// was configured without one. Nothing at run time can change it.
const std::optional<Ed25519PublicKey>& builtInManifestKey();

class CryptoVerifier {
public:
    // Without a key: the placeholder check only.
    CryptoVerifier();
    explicit CryptoVerifier(const std::optional<Ed25519PublicKey>& key);
    ~CryptoVerifier();
    CryptoVerifier(const CryptoVerifier&) = delete;
    CryptoVerifier& operator=(const CryptoVerifier&) = delete;

    // 0, or 141 / 4 from reading the first file that fails.
    ErrorCode verifyDetachedSignature(const std::filesystem::path& dataFile,
                                      const std::filesystem::path& signatureFile);
    ErrorCode verifyCmsSignature();
    // With a key: 0 when signatureBase64 (standard padded base64 of the
    // 64-byte detached signature) verifies over data; 122 otherwise, also
    // when the verifier holds no key.
    ErrorCode verifyDetachedSignature(const std::string& data, const std::string& signatureBase64);
    // Strict standard base64 with padding, nothing else allowed (no white
    // space, no URL alphabet, no stray bits): false for any other text.
    static bool decodeBase64(const std::string& text, std::vector<uint8_t>& out);

    // True when built with a key: the placeholder check is then never used.
    bool hasPublicKey() const { return keyed; }
    // 0; 141 when the file cannot be opened; 4 when it cannot be read.
    ErrorCode readFileBytes(const std::filesystem::path& path, std::vector<uint8_t>& bytes);

    bool isInitialized() const { return initialized; }

private:
    // Never opened; released on destruction should that ever change.
    HCERTSTORE certStore = nullptr;
    HCRYPTPROV cryptProvider = 0;
    bool initialized = false;
    bool keyed = false;
    std::optional<Ed25519PublicKey> publicKey;
};

}  // namespace korvel
