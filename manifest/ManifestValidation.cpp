// The two checks a manifest passes before anything is downloaded (the raw
// check on the JSON document during parsing, the semantic check on the
// parsed record) and the rule that tells launcher from client manifests.
#include <windows.h>

#include <algorithm>
#include <set>
#include <string>

#include "common/EventLogger.h"
#include "common/PathSafety.h"
#include "common/TextConversion.h"
#include "manifest/Manifest.h"
#include "manifest/ManifestHandler.h"

namespace korvel {

namespace {

const char* const kComponent = "ManifestHandler";
constexpr Json::ArrayIndex kMaxEntries = 10000;
constexpr std::size_t kMaxPathBytes = 260;
constexpr uint64_t kMaxFileSize = 2147483648ULL;

const ComponentLog logLine(kComponent);

ErrorCode refuse(const std::string& message) {
    logLine(LogLevel::Error, message);
    return ErrorCode::ManifestSchemaInvalid;
}

std::string asciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The name under which the file system knows a relative path: one separator,
// letter case folded as the file system folds it.
std::wstring fileKey(const std::string& path) {
    std::wstring key = utf8ToUtf16(path);
    for (wchar_t& c : key) {
        if (c == L'/') c = L'\\';
    }
    if (key.empty()) return key;
    std::wstring upper(key.size(), L'\0');
    const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, key.c_str(), static_cast<int>(key.size()),
                                &upper[0], static_cast<int>(upper.size()), nullptr, nullptr, 0);
    return n == static_cast<int>(key.size()) ? upper : key;
}

bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool isAsciiAlnum(char c) {
    return isAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isHexDigit(char c) {
    return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// ^[a-fA-F0-9]{64}$
bool isValidHash(const std::string& hash) {
    return hash.size() == 64 && std::all_of(hash.begin(), hash.end(), isHexDigit);
}

// A run of at least one character satisfying pred, starting at pos; pos is
// moved past it.
template <typename Pred>
bool consumeRun(const std::string& text, std::size_t& pos, Pred pred) {
    const std::size_t start = pos;
    while (pos < text.size() && pred(text[pos])) ++pos;
    return pos > start;
}

bool isSchemaForm(const Json::Value& document) {
    return (document.isMember("schemaVersion") && document["schemaVersion"].isString()) ||
           (document.isMember("assets") && document["assets"].isArray());
}

// "path", else "relativePath", whichever is a JSON string first.
bool legacyEntryPath(const Json::Value& entry, std::string& path) {
    for (const char* key : {"path", "relativePath"}) {
        if (entry.isMember(key) && entry[key].isString()) {
            path = entry[key].asString();
            return true;
        }
    }
    return false;
}

ErrorCode validateSchemaForm(const Json::Value& document) {
    for (const char* key : {"schemaVersion", "manifestId", "createdUtc", "buildMetadata", "assets", "signatureBlock"}) {
        if (!document.isMember(key)) return refuse(std::string("Required field missing: ") + key);
    }

    const Json::Value& build = document["buildMetadata"];
    if (!build.isObject()) return refuse("buildMetadata must be an object");
    if (!build.isMember("version") || !build["version"].isString()) {
        return refuse("Required field missing: buildMetadata.version");
    }

    const Json::Value& assets = document["assets"];
    if (!assets.isArray() || assets.empty()) return refuse("Manifest assets array is missing or empty");
    if (assets.size() > kMaxEntries) return refuse("Manifest exceeds maximum file count");

    for (const Json::Value& asset : assets) {
        if (!asset.isObject()) return refuse("Asset entry must be an object");
        for (const char* key : {"path", "size", "hash"}) {
            if (!asset.isMember(key)) return refuse(std::string("Required field missing: assets.") + key);
        }
        if (!asset["path"].isString()) return refuse("Asset path must be a string");
        if (!asset["hash"].isString()) return refuse("Asset hash must be a string");
        if (!asset["size"].isNumeric()) return refuse("Asset size must be numeric");

        const std::string path = asset["path"].asString();
        if (path.size() > kMaxPathBytes) return refuse("Asset path too long: " + path);
        const std::string hash = asset["hash"].asString();
        if (!isValidHash(hash)) return refuse("Invalid asset hash format: " + hash);
        if (asset["size"].asUInt64() > kMaxFileSize) return refuse("Asset too large: " + path);

        if (!asset.isMember("fullReference") || !asset["fullReference"].isObject()) {
            return refuse("Required field missing: assets.fullReference");
        }
        const Json::Value& reference = asset["fullReference"];
        if (!reference.isMember("url") || !reference["url"].isString()) {
            return refuse("Required field missing: assets.fullReference.url");
        }
    }

    const Json::Value& block = document["signatureBlock"];
    if (!block.isObject()) return refuse("signatureBlock must be an object");
    if (!block.isMember("signature") || !block["signature"].isString()) {
        return refuse("Required field missing: signatureBlock.signature");
    }
    return ErrorCode::Success;
}

ErrorCode validateLegacyForm(const Json::Value& document) {
    std::string component = "client";
    if (document.isMember("component") && document["component"].isString()) {
        component = asciiLower(document["component"].asString());
    }
    if (component != "launcher" && filesLookLikeLauncher(document)) {
        component = "launcher";
        logLine(LogLevel::Debug, "Manifest heuristic identified component as launcher");
    }

    for (const char* key : {"version", "files"}) {
        if (!document.isMember(key)) return refuse(std::string("Required field missing: ") + key);
    }
    if (!document.isMember("gameVersion")) {
        if (component == "launcher") {
            logLine(LogLevel::Debug, "gameVersion omitted for optional component");
        } else {
            return refuse("Required field missing: gameVersion");
        }
    }
    if (!document.isMember("signature")) return refuse("Required field missing: signature");
    if (!ManifestHandler::isValidVersion(document["version"].asString())) return refuse("Invalid version format");

    const Json::Value& files = document["files"];
    if (!files.isArray()) {
        logLine(LogLevel::Debug, "Manifest schema validation passed");
        return ErrorCode::Success;
    }
    if (files.size() > kMaxEntries) return refuse("Manifest exceeds maximum file count");

    for (const Json::Value& entry : files) {
        if (!entry.isMember("size")) return refuse("Required field missing: files.size");
        std::string path;
        if (!legacyEntryPath(entry, path)) return refuse("Required field missing: files.path (or relativePath)");
        if (path.size() > kMaxPathBytes) return refuse("Path too long: " + path);

        std::string hash;
        bool haveHash = false;
        for (const char* key : {"sha256", "sha256Hash"}) {
            if (entry.isMember(key) && entry[key].isString()) {
                hash = entry[key].asString();
                haveHash = true;
                break;
            }
        }
        if (!haveHash) return refuse("Required field missing: files.sha256 (or sha256Hash)");
        if (!isValidHash(hash)) return refuse("Invalid SHA-256 hash format");
        if (entry["size"].asUInt64() > kMaxFileSize) return refuse("File exceeds maximum size limit");
    }

    logLine(LogLevel::Debug, "Manifest schema validation passed");
    return ErrorCode::Success;
}

}  // namespace

bool isLauncherPath(const std::string& path) {
    if (path.empty()) return false;
    const std::string lower = asciiLower(path);
    return startsWith(lower, "launcher/") || lower.find("/launcher/") != std::string::npos;
}

bool filesLookLikeLauncher(const Json::Value& document) {
    if (!document.isMember("files") || !document["files"].isArray()) return false;
    int64_t withPath = 0;
    int64_t launcher = 0;
    for (const Json::Value& entry : document["files"]) {
        std::string path;
        if (!legacyEntryPath(entry, path)) continue;
        ++withPath;
        if (isLauncherPath(path)) ++launcher;
    }
    if (withPath == 0) return false;
    return launcher >= std::max<int64_t>(1, (withPath + 1) / 2);
}

FileAreaCounts countFileAreas(const Manifest& manifest) {
    FileAreaCounts counts;
    for (const ManifestFile& file : manifest.files) {
        ++counts.total;
        const std::string lower = asciiLower(file.path);
        if (startsWith(lower, "launcher/") || lower.find("/launcher/") != std::string::npos) ++counts.launcher;
        if (startsWith(lower, "resources/") || lower.find("/resources/") != std::string::npos) ++counts.resources;
        if (startsWith(lower, "client/") || startsWith(lower, "game/") || startsWith(lower, "bin/") ||
            startsWith(lower, "assets/")) {
            ++counts.clientArea;
        }
    }
    return counts;
}

ManifestComponent ManifestHandler::isLauncherManifest(const Manifest& manifest) {
    const std::string name = asciiLower(manifest.componentName);
    if (name == "launcher") return ManifestComponent::Launcher;
    if (name == "client") return ManifestComponent::Client;
    if (!manifest.gameVersion.empty()) return ManifestComponent::Client;
    const FileAreaCounts counts = countFileAreas(manifest);
    if (counts.total == 0) return ManifestComponent::Client;
    if (counts.launcher + counts.resources > counts.clientArea) return ManifestComponent::Launcher;
    return ManifestComponent::Client;
}

// ^\d+\.\d+\.\d+(?:-[a-zA-Z0-9]+(?:\.[a-zA-Z0-9]+)*)?$ with ASCII digits,
// matched by hand: no regex engine recursion on hostile input.
bool ManifestHandler::isValidVersion(const std::string& version) {
    std::size_t pos = 0;
    for (int part = 0; part < 3; ++part) {
        if (part > 0) {
            if (pos >= version.size() || version[pos] != '.') return false;
            ++pos;
        }
        if (!consumeRun(version, pos, isAsciiDigit)) return false;
    }
    if (pos == version.size()) return true;
    if (version[pos] != '-') return false;
    ++pos;
    if (!consumeRun(version, pos, isAsciiAlnum)) return false;
    while (pos < version.size()) {
        if (version[pos] != '.') return false;
        ++pos;
        if (!consumeRun(version, pos, isAsciiAlnum)) return false;
    }
    return true;
}

ErrorCode ManifestHandler::validateManifestSchema(const Json::Value& document) {
    logLine(LogLevel::Debug, "Validating manifest schema");
    return isSchemaForm(document) ? validateSchemaForm(document) : validateLegacyForm(document);
}

ErrorCode ManifestHandler::validateFileEntry(const ManifestFile& file) {
    if (!isSafeRelativePathUtf8(file.path)) {
        logLine(LogLevel::Error, "Invalid or unsafe file path");
        return ErrorCode::ManifestSchemaInvalid;
    }
    if (!isValidHash(file.sha256)) {
        logLine(LogLevel::Error, "Invalid hash format for file: " + file.path);
        return ErrorCode::ManifestSchemaInvalid;
    }
    if (file.size > kMaxFileSize) {
        logLine(LogLevel::Error, "File too large: " + file.path);
        return ErrorCode::ManifestSchemaInvalid;
    }
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::validateManifest(const Manifest& manifest) {
    return validateManifest(manifest, crypto, cache.folder());
}

ErrorCode ManifestHandler::validateManifest(const Manifest& manifest, CryptoVerifier& verifier,
                                            const std::filesystem::path& cacheFolder) {
    logLine(LogLevel::Debug, "Validating manifest");
    if (manifest.version.empty()) return refuse("Manifest missing version");
    if (asciiLower(manifest.componentName) != "launcher" && manifest.gameVersion.empty()) {
        return refuse("Manifest missing game version");
    }
    if (manifest.files.empty()) return refuse("Manifest contains no files");
    if (manifest.signature.empty()) {
        if (manifest.schemaOverride && !verifier.hasPublicKey()) {
            logLine(LogLevel::Debug, "Skipping signature requirement due to schema override");
        } else {
            logLine(LogLevel::Error, "Manifest missing signature");
            return ErrorCode::ManifestSignatureInvalid;
        }
    }
    if (!isValidVersion(manifest.version)) return refuse("Invalid version format: " + manifest.version);

    for (const ManifestFile& file : manifest.files) {
        const ErrorCode result = validateFileEntry(file);
        if (result != ErrorCode::Success) return result;
    }
    // Two entries for one file (the file system ignores letter case and
    // reads / as \) leave a tree that cannot match the manifest.
    std::set<std::wstring> seen;
    for (const ManifestFile& file : manifest.files) {
        if (!seen.insert(fileKey(file.path)).second) return refuse("Duplicate file path in manifest: " + file.path);
    }

    // The schema form's exemption holds only for a build without a key.
    if (manifest.schemaOverride && !verifier.hasPublicKey()) {
        logLine(LogLevel::Debug, "Skipping signature verification for schema override");
    } else {
        const ErrorCode result = verifyManifestSignature(manifest, verifier, cacheFolder);
        if (result != ErrorCode::Success) return result;
    }

    logLine(LogLevel::Info, "Manifest validation successful");
    return ErrorCode::Success;
}

}  // namespace korvel
