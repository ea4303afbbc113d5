// Backups of the target files an update replaces, kept below
// KorvelCache\backups\<UTC time>, and the rollback that puts them back.
#include <json/reader.h>
#include <json/writer.h>
#include <windows.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/FileSystemQueries.h"
#include "common/PathSafety.h"
#include "common/TextConversion.h"
#include "manifest/ManifestHandler.h"
#include "manifest/ManifestInternal.h"

namespace korvel {

using detail::fullCopyOptions;
using detail::handlerLog;

namespace {

std::wstring utcBackupId() {
    const std::time_t now = std::time(nullptr);
    std::tm calendar{};
    if (gmtime_s(&calendar, &now) != 0) calendar = std::tm{};
    wchar_t text[32] = {};
    std::wcsftime(text, sizeof(text) / sizeof(text[0]), L"%Y%m%d_%H%M%S", &calendar);
    return text;
}

std::filesystem::path backupsRoot(const std::filesystem::path& cacheDir) { return cacheDir / L"backups"; }

}  // namespace

ErrorCode ManifestHandler::createBackup(const Manifest& manifest, const std::wstring& targetDir, std::wstring& backupId,
                                        const std::set<std::string>* sessionFiles) {
    handlerLog(LogLevel::Debug, "Creating backup before applying manifest");
    for (const ManifestFile& entry : manifest.files) {
        if (!isSafeRelativePathUtf8(entry.path)) {
            handlerLog(LogLevel::Error, "Refusing unsafe backup path");
            return ErrorCode::InvalidArguments;
        }
    }
    const std::filesystem::path target(targetDir);
    for (const ManifestFile& entry : manifest.files) {
        if (detail::crossesLink(target, utf8ToPath(entry.path))) {
            handlerLog(LogLevel::Error, "Refusing to back up through a link: " + entry.path);
            return ErrorCode::InvalidArguments;
        }
    }

    purgeStaleBackups();

    backupId = utcBackupId();
    const std::filesystem::path backupDir = backupsRoot(cacheDir) / backupId;
    FileOperations files;
    const ErrorCode dirResult = files.createDirectory(backupDir);
    if (dirResult != ErrorCode::Success) return dirResult;

    const ErrorCode manifestResult = writeBackupManifest(manifest, backupDir);
    if (manifestResult != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Failed to write backup manifest");
        return manifestResult;
    }

    int backedUp = 0;
    int skipped = 0;
    for (const ManifestFile& entry : manifest.files) {
        if (sessionFiles != nullptr && sessionFiles->count(entry.path) == 0) {
            skipped += 1;
            continue;
        }
        const std::filesystem::path relative = utf8ToPath(entry.path).make_preferred();
        const std::filesystem::path source = target / relative;
        DWORD error = 0;
        const DWORD attributes = detail::fileAttributes(source, &error);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            // A file the run will add has nothing to keep.
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
            handlerLog(LogLevel::Error, "Failed to back up file: " + entry.path);
            return files.mapWin32Error(error);
        }
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) continue;

        const std::filesystem::path copy = backupDir / relative;
        const ErrorCode parentResult = files.createDirectory(copy.parent_path());
        if (parentResult != ErrorCode::Success) {
            handlerLog(LogLevel::Error, "Failed to back up file: " + entry.path);
            return parentResult;
        }
        const ErrorCode copyResult = files.copyFile(source, copy, fullCopyOptions());
        if (copyResult != ErrorCode::Success) {
            handlerLog(LogLevel::Error, "Failed to back up file: " + entry.path);
            return copyResult;
        }
        backedUp += 1;
    }

    std::string line = "Backup created with ID: " + wideToUtf8(backupId) + " (backed up " + std::to_string(backedUp) +
                       " files";
    if (skipped >= 1) line += ", skipped " + std::to_string(skipped) + " unchanged";
    line += ")";
    handlerLog(LogLevel::Info, line);
    return ErrorCode::Success;
}

void ManifestHandler::purgeStaleBackups() {
    const std::filesystem::path root = backupsRoot(cacheDir);
    try {
        if (!existsOrThrow(root)) return;
        std::vector<std::filesystem::path> folders;
        for (const auto& entry : std::filesystem::directory_iterator(root)) {
            if (entry.is_directory()) folders.push_back(entry.path());
        }
        FileOperations files;
        int purged = 0;
        for (const auto& folder : folders) {
            const std::string name = pathToUtf8(folder.filename());
            const DWORD attributes = detail::fileAttributes(folder);
            if (!isSafeRelativePathUtf8(name) || attributes == INVALID_FILE_ATTRIBUTES ||
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                handlerLog(LogLevel::Warning, "Skipped unsafe stale backup entry");
                continue;
            }
            detail::clearReadOnlyTree(folder);
            if (files.removeDirectory(folder, true) != ErrorCode::Success) continue;
            handlerLog(LogLevel::Debug, "Purged stale backup: " + name);
            purged += 1;
        }
        if (purged >= 1) handlerLog(LogLevel::Info, "Purged " + std::to_string(purged) + " stale backup(s)");
    } catch (const std::exception& e) {
        handlerLog(LogLevel::Warning, std::string("Failed to purge stale backups: ") + e.what());
    }
}

ErrorCode ManifestHandler::writeBackupManifest(const Manifest& manifest, const std::filesystem::path& backupDir) {
    Json::Value root(Json::objectValue);
    root["version"] = manifest.version;
    root["gameVersion"] = manifest.gameVersion;
    root["backupTime"] = std::to_string(static_cast<long long>(std::time(nullptr)));
    Json::Value list(Json::arrayValue);
    for (const ManifestFile& entry : manifest.files) {
        Json::Value item(Json::objectValue);
        item["relativePath"] = entry.path;
        item["sha256Hash"] = entry.sha256;
        item["size"] = Json::Value(static_cast<Json::UInt64>(entry.size));
        list.append(std::move(item));
    }
    root["files"] = std::move(list);

    std::ofstream out(backupDir / L"backup_manifest.json", std::ios::out | std::ios::trunc);
    if (!out) return ErrorCode::FileAccessDenied;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    out << Json::writeString(builder, root);
    out.close();
    // A backup manifest that did not reach the disk whole is no backup.
    if (out.fail()) return ErrorCode::FileAccessDenied;
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::restoreBackup(const std::wstring& backupId, const std::wstring& targetDir) {
    handlerLog(LogLevel::Info, "Restoring backup: " + wideToUtf8(backupId));
    if (!isSafeRelativePath(backupId)) {
        handlerLog(LogLevel::Error, "Invalid backup ID");
        return ErrorCode::InvalidArguments;
    }
    const std::filesystem::path backupDir = backupsRoot(cacheDir) / backupId;
    const DWORD attributes = detail::fileAttributes(backupDir);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        handlerLog(LogLevel::Error, "Backup directory not found: " + pathToUtf8(backupDir));
        return ErrorCode::FileNotFound;
    }
    const ErrorCode result = restoreFromBackupManifest(backupDir / L"backup_manifest.json", targetDir);
    if (result == ErrorCode::Success) handlerLog(LogLevel::Info, "Backup restored successfully");
    return result;
}

ErrorCode ManifestHandler::restoreFromBackupManifest(const std::filesystem::path& backupManifestFile,
                                                     const std::wstring& targetDir) {
    std::ifstream in(backupManifestFile, std::ios::binary);
    if (!in) return ErrorCode::FileAccessDenied;

    Json::CharReaderBuilder reader;
    Json::Value root;
    std::string errors;
    if (!Json::parseFromStream(reader, in, &root, &errors)) {
        throw std::runtime_error("Failed to parse backup manifest: " + errors);
    }
    if (jsonHasEmbeddedNul(root)) {
        handlerLog(LogLevel::Error, "Backup manifest contains an escaped embedded NUL");
        return ErrorCode::InvalidArguments;
    }
    if (!root.isObject()) {
        handlerLog(LogLevel::Error, "Backup manifest is not a JSON object");
        return ErrorCode::InvalidArguments;
    }

    const std::filesystem::path backupDir = backupManifestFile.parent_path();
    const Json::Value& list = root["files"];
    if (!list.isArray()) return ErrorCode::Success;

    const std::filesystem::path target(targetDir);
    FileOperations files;
    // Every file that can come back does; the first failure is what the
    // caller learns, so a partial restore is never reported as a success.
    ErrorCode firstFailure = ErrorCode::Success;
    auto fail = [&](ErrorCode code, const std::string& rel) {
        handlerLog(LogLevel::Error, "Failed to restore file: " + rel);
        if (firstFailure == ErrorCode::Success) firstFailure = code;
    };

    for (const Json::Value& item : list) {
        const std::string rel = item.isObject() ? item.get("relativePath", "").asString() : std::string();
        if (!isSafeRelativePathUtf8(rel)) {
            handlerLog(LogLevel::Error, "Backup manifest contains an unsafe path");
            return ErrorCode::InvalidArguments;
        }
        const std::filesystem::path relative = utf8ToPath(rel).make_preferred();
        const std::filesystem::path copy = backupDir / relative;
        const std::filesystem::path destination = target / relative;
        if (detail::fileAttributes(copy) == INVALID_FILE_ATTRIBUTES) continue;

        if (detail::crossesLink(target, relative)) {
            handlerLog(LogLevel::Error, "Refusing to restore through a link: " + rel);
            fail(ErrorCode::InvalidArguments, rel);
            continue;
        }
        const ErrorCode parentResult = files.createDirectory(destination.parent_path());
        if (parentResult != ErrorCode::Success) {
            fail(parentResult, rel);
            continue;
        }
        const ErrorCode writableResult = detail::makeReplaceable(destination);
        if (writableResult != ErrorCode::Success) {
            fail(writableResult, rel);
            continue;
        }
        const ErrorCode copyResult = files.copyFile(copy, destination, fullCopyOptions());
        if (copyResult != ErrorCode::Success) fail(copyResult, rel);
    }
    return firstFailure;
}

ErrorCode ManifestHandler::cleanupBackup(const std::wstring& backupId) {
    handlerLog(LogLevel::Debug, "Cleaning up backup: " + wideToUtf8(backupId));
    if (!isSafeRelativePath(backupId)) {
        handlerLog(LogLevel::Error, "Invalid backup ID");
        return ErrorCode::InvalidArguments;
    }
    const std::filesystem::path folder = backupsRoot(cacheDir) / backupId;
    detail::clearReadOnlyTree(folder);
    FileOperations files;
    return files.removeDirectory(folder, true);
}

}  // namespace korvel
