#pragma once
// Shared by the handler tests: a scratch folder with the test's own cache
// folder in it, file entries made from content, and the diagnostic lines a
// call writes.
#include <gtest/gtest.h>
#include <windows.h>

#include <json/reader.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/TextConversion.h"
#include "manifest/Manifest.h"
#include "manifest/ManifestHandler.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {

namespace fs = std::filesystem;

inline std::string sha256Of(const std::string& content) {
    // Hashing through a file keeps the tests on the product's own hasher.
    wchar_t folder[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, folder);
    wchar_t name[MAX_PATH + 1];
    GetTempFileNameW(folder, L"sha", 0, name);
    writeFile(name, content);
    std::string hex;
    FileOperations files;
    files.calculateSha256(name, hex);
    DeleteFileW(name);
    return hex;
}

inline Json::Value parseJsonFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    Json::CharReaderBuilder builder;
    Json::Value value;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &value, &errors)) throw std::runtime_error("not JSON: " + errors);
    return value;
}

inline ManifestFile makeEntry(const std::string& path, const std::string& content) {
    ManifestFile entry;
    entry.path = path;
    entry.sha256 = sha256Of(content);
    entry.size = content.size();
    return entry;
}

inline bool isReadOnly(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

inline void setReadOnlyFlag(const fs::path& path, bool readOnly) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    SetFileAttributesW(path.c_str(), readOnly ? (attributes | FILE_ATTRIBUTE_READONLY)
                                              : (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)));
}

// Sets a file's last-write time to now minus the given hours.
inline void ageFile(const fs::path& path, int hours) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER v;
    v.LowPart = now.dwLowDateTime;
    v.HighPart = now.dwHighDateTime;
    v.QuadPart -= static_cast<uint64_t>(hours) * 36000000000ULL;
    FILETIME old;
    old.dwLowDateTime = v.LowPart;
    old.dwHighDateTime = v.HighPart;
    ScopedHandle h(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(h.valid());
    SetFileTime(h.get(), nullptr, nullptr, &old);
}

inline std::vector<std::string> logMessages(const std::vector<Json::Value>& events, const std::string& level = "") {
    std::vector<std::string> out;
    for (const auto& e : events) {
        if (e.get("event_type", "").asString() != "diagnostic") continue;
        if (!level.empty() && e.get("level", "").asString() != level) continue;
        out.push_back(e.get("message", "").asString());
    }
    return out;
}

inline bool hasMessage(const std::vector<Json::Value>& events, const std::string& text,
                       const std::string& level = "") {
    for (const auto& m : logMessages(events, level)) {
        if (m == text) return true;
    }
    return false;
}

inline bool hasMessagePrefix(const std::vector<Json::Value>& events, const std::string& prefix,
                             const std::string& level = "") {
    for (const auto& m : logMessages(events, level)) {
        if (m.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

inline int countMessagePrefix(const std::vector<Json::Value>& events, const std::string& prefix) {
    int n = 0;
    for (const auto& m : logMessages(events)) {
        if (m.compare(0, prefix.size(), prefix) == 0) ++n;
    }
    return n;
}

// Each test gets a scratch folder with a cache folder of its own, which the
// test gives to every handler it makes.
class HandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        scratch = std::make_unique<ScratchDir>();
        tempDir = scratch->path() / L"tmp";
        fs::create_directories(tempDir);
        cacheDir = tempDir / L"KorvelCache";
        targetDir = scratch->path() / L"target";
        savedVerbose = EventLogger::instance().verbose;
        EventLogger::instance().verbose = true;
    }

    void TearDown() override {
        EventLogger::instance().verbose = savedVerbose;
        scratch.reset();
    }

    // The store path of an entry, as the handler names it.
    fs::path storePath(const ManifestFile& entry) const {
        return cacheDir / utf8ToPath(entry.sha256.substr(0, 8)) / utf8ToPath(entry.sha256);
    }

    void putInStore(const ManifestFile& entry, const std::string& content) const {
        fs::create_directories(storePath(entry).parent_path());
        writeFile(storePath(entry), content);
    }

    static Manifest manifestOf(const std::vector<ManifestFile>& files) {
        Manifest manifest;
        manifest.version = "1.2.0";
        manifest.gameVersion = "2024.1";
        manifest.files = files;
        for (const auto& f : files) manifest.totalSize += f.size;
        manifest.fileCount = static_cast<int32_t>(files.size());
        return manifest;
    }

    std::unique_ptr<ScratchDir> scratch;
    fs::path tempDir;
    fs::path cacheDir;
    fs::path targetDir;

private:
    bool savedVerbose = false;
};

}  // namespace korvel::test
