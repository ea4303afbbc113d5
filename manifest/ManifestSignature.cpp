// The detached signature of a manifest: the signed bytes are a canonical
// document rebuilt from the parsed record. With the built-in key the check
// is made on the bytes held in memory; the two temporary files in the cache
// folder are still written, but nothing is read back from that folder,
// which any program of the user can write. Without a key the placeholder
// verifier reads the two files.
#include <json/writer.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/EventLogger.h"
#include "common/UniqueResource.h"
#include "common/WriteAllBytes.h"
#include "manifest/CacheFolder.h"
#include "manifest/Manifest.h"
#include "manifest/ManifestHandler.h"

namespace korvel {

namespace {

const char* const kComponent = "ManifestHandler";
const wchar_t* const kDataName = L"manifest_data.tmp";
const wchar_t* const kSignatureName = L"manifest_sig.tmp";

const ComponentLog logLine(kComponent);

// Replaces the content of a freshly opened file. A failed write is not
// reported: the verifier then reads whatever the file holds.
// A failed write leaves the file short, which the signature check refuses.
void writeWhole(HANDLE file, const std::string& bytes) {
    writeAllBytes(file, bytes, false);
    SetEndOfFile(file);
}

// Removes one of the temporary files through the pinned folder; anything
// but its absence leaves the check as a file-system error.
void removeTemporary(CacheFolder& cache, const std::filesystem::path& file) {
    if (cache.removeFile(file.filename()) == ErrorCode::Success) return;
    throw std::filesystem::filesystem_error("remove", file, std::make_error_code(std::errc::permission_denied));
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
    return verifyManifestSignature(manifest, crypto, cache.folder());
}

ErrorCode ManifestHandler::verifyCmsSignature(const std::string& canonicalText, const std::string& signature) {
    return verifyCmsSignature(canonicalText, signature, crypto, cache.folder());
}

ErrorCode ManifestHandler::verifyManifestSignature(const Manifest& manifest, CryptoVerifier& verifier,
                                                   const std::filesystem::path& cacheFolder) {
    // With a key built in, the schema form is checked like the legacy form.
    if (manifest.schemaOverride && !verifier.hasPublicKey()) {
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
    const std::filesystem::path dataFile = cacheFolder / kDataName;
    const std::filesystem::path signatureFile = cacheFolder / kSignatureName;

    // The folder lies where unelevated programs can plant links: both files
    // are written through the pinned folder, never through a link, and held
    // without write or delete sharing until the verifier has read them.
    CacheFolder cache;
    if (cache.open(cacheFolder, false) != ErrorCode::Success) return ErrorCode::FileAccessDenied;
    PinnedChain unused;
    ScopedHandle data;
    if (cache.openFile(kDataName, GENERIC_WRITE, FILE_SHARE_READ, true, unused, data) != ErrorCode::Success) {
        return ErrorCode::FileAccessDenied;
    }
    writeWhole(data.get(), canonicalText);
    ScopedHandle sig;
    if (cache.openFile(kSignatureName, GENERIC_WRITE, FILE_SHARE_READ, true, unused, sig) != ErrorCode::Success) {
        data.close();
        removeTemporary(cache, dataFile);
        return ErrorCode::FileAccessDenied;
    }
    writeWhole(sig.get(), signature);

    const ErrorCode result = verifier.hasPublicKey() ? verifier.verifyDetachedSignature(canonicalText, signature)
                                                     : verifier.verifyDetachedSignature(dataFile, signatureFile);

    data.close();
    sig.close();
    removeTemporary(cache, dataFile);
    removeTemporary(cache, signatureFile);
    return result;
}

}  // namespace korvel
