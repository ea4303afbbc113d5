// The detached signature of a legacy manifest: the signed bytes are a
// canonical document rebuilt from the parsed record, handed to the crypto
// verifier through two temporary files in the cache folder.
#include <json/writer.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/EventLogger.h"
#include "common/FileSystemQueries.h"
#include "manifest/Manifest.h"
#include "manifest/ManifestHandler.h"

namespace korvel {

namespace {

const char* const kComponent = "ManifestHandler";

void logLine(LogLevel level, const std::string& message) {
    EventLogger::instance().log(level, message, kComponent);
}

}  // namespace

std::string buildCanonicalSignedText(const Manifest& manifest) {
    Json::Value root(Json::objectValue);
    root["version"] = manifest.version;
    root["gameVersion"] = manifest.gameVersion;
    root["channel"] = manifest.channel;
    root["baseUrl"] = manifest.baseUrl;
    root["totalSize"] = Json::Value(static_cast<Json::UInt64>(manifest.totalSize));
    root["fileCount"] = Json::Value(static_cast<Json::Int>(manifest.fileCount));

    Json::Value files(Json::arrayValue);
    for (const ManifestFile& file : manifest.files) {
        Json::Value entry(Json::objectValue);
        entry["relativePath"] = file.path;
        entry["sha256Hash"] = file.sha256;
        entry["size"] = Json::Value(static_cast<Json::UInt64>(file.size));
        if (file.isExecutable) entry["isExecutable"] = true;
        if (!file.isRequired) entry["isRequired"] = false;
        if (!file.downloadUrl.empty()) entry["downloadUrl"] = file.downloadUrl;
        if (file.compressionLevel > 0) entry["compressionLevel"] = Json::Value(static_cast<Json::Int>(file.compressionLevel));
        if (!file.permissions.empty()) entry["permissions"] = file.permissions;
        files.append(std::move(entry));
    }
    root["files"] = std::move(files);

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, root);
}

ErrorCode ManifestHandler::verifyManifestSignature(const Manifest& manifest) {
    return verifyManifestSignature(manifest, crypto, cacheDir);
}

ErrorCode ManifestHandler::verifyCmsSignature(const std::string& canonicalText, const std::string& signature) {
    return verifyCmsSignature(canonicalText, signature, crypto, cacheDir);
}

ErrorCode ManifestHandler::verifyManifestSignature(const Manifest& manifest, CryptoVerifier& verifier,
                                                   const std::filesystem::path& cacheFolder) {
    if (manifest.schemaOverride) {
        logLine(LogLevel::Debug, "Skipping manifest signature verification (schema override)");
        return ErrorCode::Success;
    }
    logLine(LogLevel::Debug, "Verifying manifest signature");
    if (manifest.signature.empty()) {
        logLine(LogLevel::Error, "No signature provided for verification (required for all manifests)");
        return ErrorCode::ManifestSignatureInvalid;
    }
    const std::string text = buildCanonicalSignedText(manifest);
    if (verifyCmsSignature(text, manifest.signature, verifier, cacheFolder) != ErrorCode::Success) {
        logLine(LogLevel::Error, "Manifest signature verification failed");
        return ErrorCode::ManifestSignatureInvalid;
    }
    logLine(LogLevel::Info, "Manifest signature verified successfully");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::verifyCmsSignature(const std::string& canonicalText, const std::string& signature,
                                              CryptoVerifier& verifier, const std::filesystem::path& cacheFolder) {
    logLine(LogLevel::Debug, "Verifying manifest CMS signature");
    const std::filesystem::path dataFile = cacheFolder / L"manifest_data.tmp";
    const std::filesystem::path signatureFile = cacheFolder / L"manifest_sig.tmp";

    {
        std::ofstream out(dataFile, std::ios::binary | std::ios::trunc);
        if (!out.is_open()) return ErrorCode::FileAccessDenied;
        out.write(canonicalText.data(), static_cast<std::streamsize>(canonicalText.size()));
    }
    {
        std::ofstream out(signatureFile, std::ios::binary | std::ios::trunc);
        if (!out.is_open()) {
            removeOrThrow(dataFile);
            return ErrorCode::FileAccessDenied;
        }
        out.write(signature.data(), static_cast<std::streamsize>(signature.size()));
    }

    const ErrorCode result = verifier.verifyDetachedSignature(dataFile, signatureFile);

    removeOrThrow(dataFile);
    removeOrThrow(signatureFile);
    return result;
}

}  // namespace korvel
