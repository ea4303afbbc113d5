#include "common/CryptoVerifier.h"

#include <fstream>
#include <string>

#include "common/EventLogger.h"
#include "common/TextConversion.h"

namespace korvel {

namespace {

const ComponentLog cryptoLog("CryptoVerifier");

}  // namespace

CryptoVerifier::CryptoVerifier() {
    cryptoLog(LogLevel::Info, "Initializing crypto verifier");
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
