#include "tests/support/ManifestSigning.h"

#include <json/writer.h>
#include <sodium.h>

#include <stdexcept>
#include <vector>

#include "manifest/Manifest.h"
#include "manifest/ManifestHandler.h"
// Generated at configuration from tests/keys/manifest-test-key.pem.
#include "tests/ManifestTestKey.h"

namespace korvel::test {

namespace {

struct KeyPair {
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
};

const KeyPair& testKey() {
    static const KeyPair pair = [] {
        if (sodium_init() < 0) throw std::runtime_error("libsodium did not start");
        unsigned char seed[crypto_sign_SEEDBYTES];
        size_t length = 0;
        const std::string hex = KORVEL_TEST_MANIFEST_SEED_HEX;
        if (sodium_hex2bin(seed, sizeof seed, hex.data(), hex.size(), nullptr, &length, nullptr) != 0 ||
            length != sizeof seed) {
            throw std::runtime_error("the test key's seed is not 32 bytes of hex");
        }
        KeyPair keys{};
        crypto_sign_seed_keypair(keys.publicKey, keys.secretKey, seed);
        return keys;
    }();
    return pair;
}

}  // namespace

std::string signBytes(const std::string& bytes) {
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                         testKey().secretKey);
    std::vector<char> text(sodium_base64_ENCODED_LEN(sizeof signature, sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(text.data(), text.size(), signature, sizeof signature, sodium_base64_VARIANT_ORIGINAL);
    return std::string(text.data());
}

std::string signedManifestText(Json::Value document) {
    const bool schemaForm = document.isMember("signatureBlock") || document.isMember("assets");
    // A placeholder first, so the document parses as it will be served.
    if (schemaForm) {
        document["signatureBlock"]["signature"] = "x";
    } else {
        document["signature"] = "x";
    }
    Json::StreamWriterBuilder builder;
    Manifest parsed;
    if (ManifestHandler::parseManifestJson(Json::writeString(builder, document), parsed) != ErrorCode::Success) {
        throw std::runtime_error("the document to sign is not a manifest");
    }
    const std::string signature = signBytes(buildCanonicalSignedText(parsed));
    if (schemaForm) {
        document["signatureBlock"]["signature"] = signature;
    } else {
        document["signature"] = signature;
    }
    return Json::writeString(builder, document);
}

}  // namespace korvel::test
