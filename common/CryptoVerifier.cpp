#include "common/CryptoVerifier.h"

#include <sodium.h>

#include <fstream>
#include <string>

#include "common/EventLogger.h"
#include "common/TextConversion.h"

namespace korvel {

namespace {

const ComponentLog cryptoLog("CryptoVerifier");

// 64 hexadecimal digits, or empty; the configuration refuses anything else.
#ifndef KORVEL_MANIFEST_PUBLIC_KEY_HEX
#error "KORVEL_MANIFEST_PUBLIC_KEY_HEX must be defined by the build"
#endif

std::optional<Ed25519PublicKey> keyFromHex(const char* hex) {
    Ed25519PublicKey key{};
    size_t length = 0;
    const std::string text(hex);
    if (text.size() != key.size() * 2) return std::nullopt;
    if (sodium_hex2bin(key.data(), key.size(), text.data(), text.size(), nullptr, &length, nullptr) != 0 ||
        length != key.size()) {
        return std::nullopt;
    }
    return key;
}

}  // namespace

const std::optional<Ed25519PublicKey>& builtInManifestKey() {
    static const std::optional<Ed25519PublicKey> key = keyFromHex(KORVEL_MANIFEST_PUBLIC_KEY_HEX);
    return key;
}

CryptoVerifier::CryptoVerifier() : CryptoVerifier(std::nullopt) {}

CryptoVerifier::CryptoVerifier(const std::optional<Ed25519PublicKey>& key) {
    cryptoLog(LogLevel::Info, "Initializing crypto verifier");
    keyed = key.has_value();
    // A library that cannot start checks nothing: the verifier stays keyed
    // (no placeholder check) and every check fails.
    if (keyed && sodium_init() >= 0) publicKey = key;
    if (keyed && !publicKey.has_value()) cryptoLog(LogLevel::Error, "The signature library could not be initialized");
    initialized = true;
}

CryptoVerifier::~CryptoVerifier() {
    if (certStore != nullptr) {
        CertCloseStore(certStore, 0);
        certStore = nullptr;
    }
    if (cryptProvider != 0) {
        CryptReleaseContext(cryptProvider, 0);
        cryptProvider = 0;
    }
    initialized = false;
}

ErrorCode CryptoVerifier::verifyDetachedSignature(const std::filesystem::path& dataFile,
                                                  const std::filesystem::path& signatureFile) {
    cryptoLog(LogLevel::Info, "Verifying detached Ed25519 signature");
    cryptoLog(LogLevel::Debug, "Data file: " + pathToUtf8(dataFile));
    cryptoLog(LogLevel::Debug, "Signature file: " + pathToUtf8(signatureFile));

    std::vector<uint8_t> data;
    ErrorCode result = readFileBytes(dataFile, data);
    if (result != ErrorCode::Success) {
        cryptoLog(LogLevel::Error, "Failed to read data file");
        return result;
    }
    std::vector<uint8_t> signature;
    result = readFileBytes(signatureFile, signature);
    if (result != ErrorCode::Success) {
        cryptoLog(LogLevel::Error, "Failed to read signature file");
        return result;
    }

    cryptoLog(LogLevel::Warning, "Ed25519 signature verification requires public key - implement with manifest");
    return verifyCmsSignature();
}

ErrorCode CryptoVerifier::verifyDetachedSignature(const std::string& data, const std::string& signatureBase64) {
    cryptoLog(LogLevel::Info, "Verifying detached Ed25519 signature");
    cryptoLog(LogLevel::Debug, "Signed data: " + std::to_string(data.size()) + " bytes held in memory");
    if (!publicKey.has_value()) {
        cryptoLog(LogLevel::Error, "No public key to verify the signature with");
        return ErrorCode::ManifestSignatureInvalid;
    }
    std::vector<uint8_t> signature;
    if (!decodeBase64(signatureBase64, signature)) {
        cryptoLog(LogLevel::Error, "Signature is not standard base64");
        return ErrorCode::ManifestSignatureInvalid;
    }
    if (signature.size() != crypto_sign_BYTES) {
        cryptoLog(LogLevel::Error, "Signature is " + std::to_string(signature.size()) + " bytes, not " +
                                       std::to_string(crypto_sign_BYTES));
        return ErrorCode::ManifestSignatureInvalid;
    }
    if (crypto_sign_verify_detached(signature.data(), reinterpret_cast<const unsigned char*>(data.data()),
                                    data.size(), publicKey->data()) != 0) {
        cryptoLog(LogLevel::Error, "Signature does not match the signed data and the built-in key");
        return ErrorCode::ManifestSignatureInvalid;
    }
    return ErrorCode::Success;
}

bool CryptoVerifier::decodeBase64(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    if (text.empty()) return false;
    std::vector<uint8_t> buffer(text.size() / 4 * 3 + 3);
    size_t length = 0;
    // No end pointer: the whole text must decode, padding included.
    if (sodium_base642bin(buffer.data(), buffer.size(), text.data(), text.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0) {
        return false;
    }
    buffer.resize(length);
    out = std::move(buffer);
    return true;
}

ErrorCode CryptoVerifier::verifyCmsSignature() {
    cryptoLog(LogLevel::Warning, "CMS signature verification not yet implemented");
    return ErrorCode::Success;
}

ErrorCode CryptoVerifier::readFileBytes(const std::filesystem::path& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in.is_open()) {
        cryptoLog(LogLevel::Error, "Failed to open file: " + pathToUtf8(path));
        return ErrorCode::FileNotFound;
    }
    const std::streamoff size = in.tellg();
    if (size < 0) return ErrorCode::InternalError;
    in.seekg(0, std::ios::beg);
    bytes.resize(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (in.fail()) {
        cryptoLog(LogLevel::Error, "Failed to read file: " + pathToUtf8(path));
        return ErrorCode::InternalError;
    }
    return ErrorCode::Success;
}

}  // namespace korvel
