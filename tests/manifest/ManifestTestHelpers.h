#pragma once
// Shared by the manifest tests: base documents of both forms, JSON text
// helpers and the capture of the ERROR lines a call writes.
#include <json/reader.h>
#include <json/writer.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/EventLogger.h"
#include "manifest/Manifest.h"
#include "manifest/ManifestHandler.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {

inline const std::string kHashA = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
inline const std::string kHashB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
inline const std::string kHashUpper = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";

inline Json::Value parseJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        throw std::runtime_error("test fixture is not JSON: " + errors);
    }
    return value;
}

inline std::string toJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

// A valid legacy-form client manifest with two files.
inline const char* const kLegacyBase = R"json({
  "version": "1.2.3",
  "gameVersion": "2024.1",
  "signature": "c2lnbmF0dXJl",
  "channel": "beta",
  "baseUrl": "https://cdn.example/base/",
  "files": [
    {"path": "client/game.exe", "sha256": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
     "size": 100, "isExecutable": true},
    {"relativePath": "client/data/pak0.bin",
     "sha256Hash": "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", "size": 2048}
  ]
})json";

// A valid schema-form manifest with two assets.
inline const char* const kSchemaBase = R"json({
  "schemaVersion": "2.0",
  "manifestId": "m-42",
  "createdUtc": "2024-03-05T06:07:08Z",
  "buildMetadata": {"version": "3.4.5", "channel": "nightly"},
  "assets": [
    {"path": "bin/app.exe", "size": 10,
     "hash": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
     "fullReference": {"url": "https://cdn.example/a"}},
    {"path": "bin/lib.dll", "size": 20,
     "hash": "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
     "fullReference": {"url": "https://cdn.example/b"}}
  ],
  "signatureBlock": {"signature": "sig", "algorithm": "none"}
})json";

inline Json::Value legacyBase() { return parseJson(kLegacyBase); }
inline Json::Value schemaBase() { return parseJson(kSchemaBase); }

// The messages of the ManifestHandler ERROR lines in captured output.
inline std::vector<std::string> errorLines(const StdoutCapture& capture) {
    std::vector<std::string> lines;
    for (const Json::Value& event : capture.events()) {
        if (event.get("event_type", "").asString() == "diagnostic" && event.get("level", "").asString() == "ERROR" &&
            event.get("component", "").asString() == "ManifestHandler") {
            lines.push_back(event.get("message", "").asString());
        }
    }
    return lines;
}

// Every diagnostic message of the captured output, any level.
inline std::vector<std::string> allLines(const StdoutCapture& capture) {
    std::vector<std::string> lines;
    for (const Json::Value& event : capture.events()) {
        if (event.get("event_type", "").asString() == "diagnostic") {
            lines.push_back(event.get("level", "").asString() + " " + event.get("message", "").asString());
        }
    }
    return lines;
}

struct ParseOutcome {
    int code = -1;
    std::vector<std::string> errors;
    Manifest manifest;
};

inline ParseOutcome parseText(const std::string& text) {
    ParseOutcome outcome;
    StdoutCapture capture;
    ManifestHandler::resetManifest(outcome.manifest);
    outcome.code = toInt(ManifestHandler::parseManifestJson(text, outcome.manifest));
    outcome.errors = errorLines(capture);
    return outcome;
}

inline ParseOutcome parseDoc(const Json::Value& document) { return parseText(toJson(document)); }

}  // namespace korvel::test
