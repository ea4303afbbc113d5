#pragma once
// The records an update manifest is read into, in either of its two forms,
// and the rule that tells a client manifest from a launcher manifest.
#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

enum class ManifestComponent : int { Client = 0, Launcher = 1, Unknown = 2 };

// "client", "launcher", "unknown"; "invalid" for any other value.
const char* componentDisplayName(ManifestComponent component);

// One file of a manifest.
struct ManifestFile {
    std::string path;            // relative to the target folder, as written ('/' or '\')
    std::string sha256;          // 64 hex digits, letter case as written
    uint64_t size = 0;
    bool isExecutable = false;
    bool isRequired = true;      // false: neither fetched nor installed
    std::string downloadUrl;     // empty: built from the manifest's baseUrl
    int32_t compressionLevel = 0;
    std::string permissions = "644";
    int64_t lastModified = 0;    // 100-ns units since 1970
};

struct Manifest {
    std::string schemaVersion;
    std::string manifestId;
    std::string version;
    std::string componentName = "client";
    std::string gameVersion;
    int64_t createdAt = 0;       // 100-ns units since 1970
    std::string createdBy;
    std::string description;
    std::string channel;
    uint64_t totalSize = 0;
    int32_t fileCount = 0;
    std::string baseUrl;
    std::vector<ManifestFile> files;
    std::string signature;
    std::string signerCertificate;
    Json::Value signatureBlock{Json::objectValue};
    bool isIncremental = false;
    std::string previousVersion;
    bool schemaForm = false;
    // Set once a schema-form document has been read: in a build without a
    // key such manifests are exempt from the signature check.
    bool schemaOverride = false;
    ManifestComponent component = ManifestComponent::Unknown;
    bool componentExplicit = false;
};

// Counts of file paths by area, for telling launcher from client builds.
struct FileAreaCounts {
    int32_t launcher = 0;
    int32_t clientArea = 0;
    int32_t resources = 0;
    int32_t total = 0;
};

// True when the lower-cased path begins with "launcher/" or holds
// "/launcher/"; only '/' counts as a separator.
bool isLauncherPath(const std::string& path);

// True when at least half (rounded up) of the legacy "files" elements that
// carry a string path are launcher paths.
bool filesLookLikeLauncher(const Json::Value& document);

FileAreaCounts countFileAreas(const Manifest& manifest);

// The text over which a legacy manifest's detached signature is made: a
// compact JSON object rebuilt from the parsed record, so that formatting and
// unsigned keys of the served document do not change the signed bytes.
std::string buildCanonicalSignedText(const Manifest& manifest);

// "%Y-%m-%dT%H:%M:%S" (anything after the seconds ignored) as local time
// without daylight saving, in 100-ns units since 1970; 0 when the text does
// not match.
int64_t parseManifestTimestamp(const std::string& text);

}  // namespace korvel
