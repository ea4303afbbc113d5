// Reading an update manifest, in its schema form or its legacy form, into a
// Manifest record. Values JsonCpp cannot convert to the type asked for raise
// its exception on purpose: the command that runs the apply reports it.
#include "manifest/Manifest.h"

#include <json/reader.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "common/EventLogger.h"
#include "common/TextConversion.h"
#include "manifest/ManifestHandler.h"

namespace korvel {

namespace {

const char* const kComponent = "ManifestHandler";

const ComponentLog logLine(kComponent);

bool isSchemaForm(const Json::Value& document) {
    return (document.isMember("schemaVersion") && document["schemaVersion"].isString()) ||
           (document.isMember("assets") && document["assets"].isArray());
}

// The first of the keys whose value is a JSON string, or the empty text.
std::string firstStringOf(const Json::Value& entry, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (entry.isMember(key) && entry[key].isString()) return entry[key].asString();
    }
    return std::string();
}

}  // namespace

const char* componentDisplayName(ManifestComponent component) {
    switch (component) {
        case ManifestComponent::Client: return "client";
        case ManifestComponent::Launcher: return "launcher";
        case ManifestComponent::Unknown: return "unknown";
    }
    return "invalid";
}

int64_t parseManifestTimestamp(const std::string& text) {
    // Matched by hand: the stream time parser accepts text that stops
    // early (a date without its time), which must not count as a match.
    std::size_t pos = 0;
    const auto number = [&text, &pos](std::size_t maxDigits, int low, int high, int& value) {
        const std::size_t start = pos;
        value = 0;
        while (pos < text.size() && pos - start < maxDigits && text[pos] >= '0' && text[pos] <= '9') {
            value = value * 10 + (text[pos] - '0');
            ++pos;
        }
        return pos > start && value >= low && value <= high;
    };
    const auto literal = [&text, &pos](char c) {
        if (pos >= text.size() || text[pos] != c) return false;
        ++pos;
        return true;
    };
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!number(4, 0, 9999, year) || !literal('-') || !number(2, 1, 12, month) || !literal('-') ||
        !number(2, 1, 31, day) || !literal('T') || !number(2, 0, 23, hour) || !literal(':') ||
        !number(2, 0, 59, minute) || !literal(':') || !number(2, 0, 60, second)) {
        return 0;
    }
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = 0;
    const std::time_t seconds = std::mktime(&fields);
    // mktime cannot place the date (before 1970 in some zones, or far
    // beyond): treat it like text that does not match.
    if (seconds == static_cast<std::time_t>(-1)) return 0;
    return static_cast<int64_t>(seconds) * 10000000LL;
}

void ManifestHandler::resetManifest(Manifest& manifest) {
    manifest = Manifest{};
}

void ManifestHandler::readFileEntryAliases(const Json::Value& entry, ManifestFile& out) {
    out.path = firstStringOf(entry, {"path", "relativePath"});
    out.sha256 = firstStringOf(entry, {"sha256", "sha256Hash", "hash"});
    out.downloadUrl = firstStringOf(entry, {"downloadUrl", "url"});
}

ErrorCode ManifestHandler::parseFileEntry(const Json::Value& entry, ManifestFile& out) {
    readFileEntryAliases(entry, out);
    if (out.path.empty()) {
        logLine(LogLevel::Error, "Required field missing: files.path (or relativePath)");
        return ErrorCode::ManifestSchemaInvalid;
    }
    if (out.sha256.empty()) {
        logLine(LogLevel::Error, "Required field missing: files.sha256 (or sha256Hash)");
        return ErrorCode::ManifestSchemaInvalid;
    }
    if (!entry.isMember("size")) {
        logLine(LogLevel::Error, "Required field missing: files.size");
        return ErrorCode::ManifestSchemaInvalid;
    }
    out.size = entry["size"].asUInt64();
    out.isExecutable = entry.get("isExecutable", false).asBool();
    out.isRequired = entry.get("isRequired", true).asBool();
    if (out.downloadUrl.empty() && entry.isMember("downloadUrl")) {
        out.downloadUrl = entry["downloadUrl"].asString();
    }
    out.compressionLevel = entry.get("compressionLevel", 0).asInt();
    out.permissions = entry.get("permissions", "644").asString();
    if (entry.isMember("lastModified")) {
        out.lastModified = parseManifestTimestamp(entry["lastModified"].asString());
    }
    return ErrorCode::Success;
}

namespace {

// The parse's steps, in the order parseManifestJson runs them.

// No byte 0 in the raw text, valid JSON, no escaped NUL in what it holds.
ErrorCode readDocument(const std::string& text, Json::Value& parsed) {
    if (text.find('\0') != std::string::npos) {
        logLine(LogLevel::Error, "Manifest JSON contains an embedded NUL");
        return ErrorCode::ManifestParseFailed;
    }
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &parsed, &errors)) {
        logLine(LogLevel::Error, "Failed to parse manifest JSON: " + errors);
        return ErrorCode::ManifestParseFailed;
    }
    if (jsonHasEmbeddedNul(parsed)) {
        logLine(LogLevel::Error, "Manifest JSON contains an escaped embedded NUL");
        return ErrorCode::ManifestParseFailed;
    }
    return ErrorCode::Success;
}

// Which form the document is in, and the identity both forms carry.
void readFormAndId(const Json::Value& document, Manifest& out) {
    out.schemaForm = isSchemaForm(document);
    if (out.schemaForm) out.schemaVersion = document.get("schemaVersion", "").asString();
    out.manifestId = document.get("manifestId", "").asString();
    out.signatureBlock = Json::Value(Json::objectValue);
}

// One file entry read into its record and appended; a refused entry ends
// the parse with its code.
ErrorCode appendFileEntry(const Json::Value& entry, Manifest& out) {
    ManifestFile file;
    const ErrorCode fileResult = ManifestHandler::parseFileEntry(entry, file);
    if (fileResult != ErrorCode::Success) return fileResult;
    out.files.push_back(std::move(file));
    return ErrorCode::Success;
}

// A schema-form asset in the shape of a legacy file entry, so one reader
// serves both forms.
Json::Value assetAsFileEntry(const Json::Value& asset) {
    Json::Value entry(Json::objectValue);
    entry["path"] = asset["path"];
    entry["size"] = asset["size"];
    entry["sha256"] = asset["hash"];
    if (asset.isMember("fullReference") && asset["fullReference"].isObject()) {
        entry["downloadUrl"] = asset["fullReference"].get("url", "").asString();
    }
    if (asset.isMember("lastModified")) entry["lastModified"] = asset["lastModified"];
    return entry;
}

ErrorCode readSchemaForm(const Json::Value& document, Manifest& out) {
    out.componentName = document.get("component", "client").asString();
    out.componentExplicit = document.isMember("component");

    const Json::Value& build = document["buildMetadata"];
    out.version = build.get("version", "").asString();
    out.gameVersion = out.version;
    out.channel = build.get("channel", "stable").asString();
    out.description = document.get("description", "").asString();
    out.baseUrl = document.get("baseUrl", "").asString();

    if (document["createdUtc"].isString()) {
        std::string created = document["createdUtc"].asString();
        if (!created.empty() && created.back() == 'Z') created.pop_back();
        out.createdAt = parseManifestTimestamp(created);
    }
    if (document.isMember("createdBy") && document["createdBy"].isString()) {
        out.createdBy = document["createdBy"].asString();
    }

    out.files.clear();
    for (const Json::Value& asset : document["assets"]) {
        const ErrorCode fileResult = appendFileEntry(assetAsFileEntry(asset), out);
        if (fileResult != ErrorCode::Success) return fileResult;
    }

    out.signatureBlock = document["signatureBlock"];
    out.signature = out.signatureBlock.get("signature", "").asString();
    out.schemaOverride = true;
    return ErrorCode::Success;
}

ErrorCode readLegacyForm(const Json::Value& document, Manifest& out) {
    out.version = document["version"].asString();
    if (document.isMember("component")) {
        out.componentName = document["component"].asString();
        out.componentExplicit = true;
    } else {
        out.componentName.clear();
        out.componentExplicit = false;
    }

    const auto readText = [&document](const char* key, std::string& field) {
        if (document.isMember(key)) field = document[key].asString();
    };
    readText("gameVersion", out.gameVersion);
    readText("description", out.description);
    readText("baseUrl", out.baseUrl);
    readText("previousVersion", out.previousVersion);
    readText("createdBy", out.createdBy);
    readText("signature", out.signature);
    readText("signerCertificate", out.signerCertificate);
    out.channel = document.get("channel", "stable").asString();

    if (document.isMember("totalSize")) out.totalSize = document["totalSize"].asUInt64();
    if (document.isMember("fileCount")) out.fileCount = document["fileCount"].asInt();
    if (document.isMember("isIncremental")) out.isIncremental = document["isIncremental"].asBool();
    if (document.isMember("createdAt")) {
        out.createdAt = parseManifestTimestamp(document["createdAt"].asString());
    }

    if (document.isMember("files") && document["files"].isArray()) {
        for (const Json::Value& element : document["files"]) {
            const ErrorCode fileResult = appendFileEntry(element, out);
            if (fileResult != ErrorCode::Success) return fileResult;
        }
    }
    return ErrorCode::Success;
}

// The classification as set, or as inferred with what it was inferred from.
void logComponent(const Manifest& manifest) {
    const std::string componentText = componentDisplayName(manifest.component);
    if (manifest.componentExplicit) {
        logLine(LogLevel::Info, "Component explicitly set: " + componentText);
        return;
    }
    std::string reason;
    if (!manifest.gameVersion.empty()) {
        reason = "gameVersion present";
    } else {
        const FileAreaCounts counts = countFileAreas(manifest);
        if (counts.launcher > 0 || counts.resources > 0) {
            reason = std::to_string(counts.launcher) + " launcher patterns, " + std::to_string(counts.resources) +
                     " resources patterns, " + std::to_string(counts.clientArea) + " client patterns";
        } else {
            reason = "backwards compatibility default";
        }
    }
    logLine(LogLevel::Info, "Component inferred as " + componentText + " (" + reason + ")");
}

// Only a launcher manifest may leave the game version out.
ErrorCode checkGameVersion(const Manifest& manifest) {
    if (!manifest.gameVersion.empty()) return ErrorCode::Success;
    if (manifest.component == ManifestComponent::Launcher) {
        logLine(LogLevel::Debug, "gameVersion not specified (acceptable for launcher manifests)");
        return ErrorCode::Success;
    }
    logLine(LogLevel::Error, "gameVersion is required for client manifests");
    return ErrorCode::ManifestSchemaInvalid;
}

// Totals the document left out are those of the file list, required or not.
void recomputeTotals(Manifest& manifest) {
    uint64_t sum = 0;
    for (const ManifestFile& file : manifest.files) sum += file.size;
    manifest.totalSize = sum;
    manifest.fileCount = static_cast<int32_t>(manifest.files.size());
}

}  // namespace

ErrorCode ManifestHandler::parseManifestJson(const std::string& text, Manifest& out) {
    logLine(LogLevel::Debug, "Parsing manifest JSON");

    Json::Value parsed;
    const ErrorCode readResult = readDocument(text, parsed);
    if (readResult != ErrorCode::Success) return readResult;
    // Read only through a const view: a non-const operator[] would add
    // members and change what the later steps see.
    const Json::Value& document = parsed;

    const ErrorCode schemaResult = validateManifestSchema(document);
    if (schemaResult != ErrorCode::Success) return schemaResult;

    readFormAndId(document, out);
    const ErrorCode formResult = out.schemaForm ? readSchemaForm(document, out) : readLegacyForm(document, out);
    if (formResult != ErrorCode::Success) return formResult;

    out.component = isLauncherManifest(out);
    logComponent(out);

    const ErrorCode gameVersionResult = checkGameVersion(out);
    if (gameVersionResult != ErrorCode::Success) return gameVersionResult;

    if (out.totalSize == 0 || out.fileCount == 0) recomputeTotals(out);

    logLine(LogLevel::Info, "Manifest parsed successfully: " + std::to_string(out.files.size()) + " files, " +
                                std::to_string(out.totalSize / 1048576) + " MB total, component=" +
                                componentDisplayName(out.component));
    return ErrorCode::Success;
}

}  // namespace korvel
