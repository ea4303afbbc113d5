// Backups of the target files an update replaces, kept below
// KorvelCache\backups\<UTC time>, and the rollback that puts them back.
#include <json/reader.h>
#include <json/writer.h>
#include <windows.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/FileSystemQueries.h"
#include "common/JsonText.h"
#include "common/PathSafety.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "common/Win32Util.h"
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

    // Whatever an earlier backup of this handler held is let go first.
    backup = BackupRecord{};
    installedTargets.clear();
    purgeStaleBackups();

    backupId = utcBackupId();
    const std::filesystem::path backupDir = backupsRoot(cacheDir) / backupId;
    const std::filesystem::path backupRelative = std::filesystem::path(L"backups") / backupId;
    FileOperations files;
    if (!cache.isOpen()) {
        const ErrorCode opened = cache.open(cacheDir);
        if (opened != ErrorCode::Success) return opened;
    }
    const ErrorCode dirResult = cache.pinFolder(backupRelative, true, backup.folder);
    if (dirResult != ErrorCode::Success) return dirResult;
    backup.id = backupId;

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

        // The copy is written through a handle proven to lie in the backup
        // folder, and recorded with the digest of what was written: only
        // that comes back in a rollback.
        BackupRecord::Item item;
        item.relativePath = entry.path;
        ErrorCode result = cache.openFile(backupRelative / relative, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                          true, item.copy.chain, item.copy.file);
        ScopedHandle from;
        if (result == ErrorCode::Success) {
            from.reset(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            if (!from) {
                const DWORD code = GetLastError();
                FileOperations::logWin32Failure("CreateFile (source)", source, code);
                result = FileOperations::mapWin32Error(code);
            }
        }
        if (result == ErrorCode::Success) {
            result = files.copyBetween(from.get(), source, item.copy.file.get(), backupDir / relative, true, scratch,
                                       item.copy.sha256, item.copy.size);
        }
        if (result != ErrorCode::Success) {
            handlerLog(LogLevel::Error, "Failed to back up file: " + entry.path);
            return result;
        }
        // A file that already holds the entry's bytes need not be written
        // again; the installation checks it once more before keeping it.
        if (item.copy.size == entry.size && FileOperations::digestsEqual(item.copy.sha256, entry.sha256)) {
            installedTargets.insert(entry.path);
        }
        // Neither file stays open: the handles would grow with the manifest.
        from.close();
        item.copy.file.close();
        item.copy.chain.clear();
        backup.items.push_back(std::move(item));
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
    try {
        if (!cache.isOpen() && cache.open(cacheDir) != ErrorCode::Success) return;
        // The backups folder is listed through its pinned handle's path; a
        // link in its place is never listed.
        PinnedChain backups;
        if (cache.pinFolder(L"backups", false, backups) != ErrorCode::Success || backups.empty()) return;
        std::vector<std::wstring> folders;
        {
            WIN32_FIND_DATAW data;
            const std::wstring pattern = backups.back().finalPath() + L"\\*";
            FindHandle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
            if (find) {
                do {
                    const std::wstring name = data.cFileName;
                    if (name == L"." || name == L"..") continue;
                    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
                    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                        handlerLog(LogLevel::Warning, "Skipped unsafe stale backup entry");
                        continue;
                    }
                    folders.push_back(name);
                } while (FindNextFileW(find.get(), &data));
            }
        }
        FileOperations files;
        int purged = 0;
        for (const auto& folderName : folders) {
            const std::filesystem::path folder = backupsRoot(cacheDir) / folderName;
            const std::string name = pathToUtf8(folderName);
            const DWORD attributes = detail::fileAttributes(folder);
            if (!isSafeRelativePathUtf8(name) || attributes == INVALID_FILE_ATTRIBUTES ||
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                handlerLog(LogLevel::Warning, "Skipped unsafe stale backup entry");
                continue;
            }
            // The pinned removal refuses a folder that resolves elsewhere and
            // clears read-only entries itself.
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

    // Written as a text file is on this system: each line ends in CR LF.
    const std::string bytes = jsonDocumentText(root);

    // Opened without following a link, and proven to lie in backupDir.
    HeldFile out;
    if (openFileAt(backupDir / L"backup_manifest.json", GENERIC_WRITE, FILE_SHARE_READ, true, out) !=
        ErrorCode::Success) {
        return ErrorCode::FileAccessDenied;
    }
    DWORD written = 0;
    // A backup manifest that did not reach the disk whole is no backup.
    if (!SetEndOfFile(out.file.get()) ||
        !WriteFile(out.file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        return ErrorCode::FileAccessDenied;
    }
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
    // What is restored is what this handler backed up, as it recorded it;
    // the backup manifest on disk is anybody's to edit.
    if (backup.id != backupId) {
        handlerLog(LogLevel::Error, "Backup was not made by this run: " + wideToUtf8(backupId));
        return ErrorCode::FileNotFound;
    }
    ErrorCode result = restoreRecorded(nullptr, targetDir);
    const ErrorCode removed = removeCreated(targetDir);
    if (result == ErrorCode::Success) result = removed;
    if (result == ErrorCode::Success) handlerLog(LogLevel::Info, "Backup restored successfully");
    return result;
}

ErrorCode ManifestHandler::removeCreated(const std::wstring& targetDir) {
    CreatedRecord record = std::move(created);
    created = CreatedRecord{};
    if (record.files.empty() && record.folders.empty()) return ErrorCode::Success;
    // The target is held by its final path, without following a link from
    // there on, and each entry is deleted only when its own handle proves
    // it lies where it was created.
    std::wstring finalPath;
    {
        ScopedHandle handle(CreateFileW(toExtendedLengthPath(std::filesystem::path(targetDir).wstring()).c_str(),
                                        FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (handle) getFinalPathByHandle(handle.get(), finalPath);
    }
    PinnedDirectory target;
    uint32_t error = 0;
    if (finalPath.empty() ||
        !openDirectoryNoReparse(fromExtendedLengthPath(finalPath), target, error, FILE_READ_ATTRIBUTES | SYNCHRONIZE)) {
        handlerLog(LogLevel::Error, "Cannot hold the target to remove the files this run added");
        return ErrorCode::DirectoryAccessDenied;
    }
    EventLogger& events = EventLogger::instance();
    ErrorCode firstFailure = ErrorCode::Success;
    const auto entryPath = [&](const std::string& rel) {
        std::wstring text = utf8ToPath(rel).make_preferred().wstring();
        return target.finalPath() + L"\\" + text;
    };
    for (auto it = record.files.rbegin(); it != record.files.rend(); ++it) {
        const std::wstring full = entryPath(*it);
        bool violation = false;
        if (target.deleteEntry(full, *it, error, violation)) {
            events.fileOperation("delete", full, true, 0, false);
        } else if (violation || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)) {
            events.fileOperation("delete", full, false, error, true);
            handlerLog(LogLevel::Error, "Failed to remove added file: " + *it);
            if (firstFailure == ErrorCode::Success) firstFailure = ErrorCode::FileAccessDenied;
        }
    }
    // Deepest first; a folder that holds anything now stays as it is.
    std::vector<RemovalEntry> folders;
    for (const std::string& rel : record.folders) folders.push_back(RemovalEntry{entryPath(rel), rel, true});
    std::stable_sort(folders.begin(), folders.end(), removalOrderLess);
    for (const RemovalEntry& folder : folders) {
        bool violation = false;
        if (target.deleteEntry(folder.fullPath, folder.relativePath, error, violation)) {
            events.fileOperation("delete", folder.fullPath, true, 0, false);
        }
    }
    return firstFailure;
}

ErrorCode ManifestHandler::restoreRecorded(const std::set<std::string>* only, const std::wstring& targetDir) {
    // The files restored are replaced: nothing of this run may hold them.
    installedTargets.clear();
    const std::filesystem::path target(targetDir);
    const std::filesystem::path backupDir = backupsRoot(cacheDir) / backup.id;
    FileOperations files;
    // Every file that can come back does; the first failure is what the
    // caller learns, so a partial restore is never reported as a success.
    ErrorCode firstFailure = ErrorCode::Success;
    auto fail = [&](ErrorCode code, const std::string& rel) {
        handlerLog(LogLevel::Error, "Failed to restore file: " + rel);
        if (firstFailure == ErrorCode::Success) firstFailure = code;
    };
    for (BackupRecord::Item& item : backup.items) {
        const std::string& rel = item.relativePath;
        if (only != nullptr && only->count(rel) == 0) continue;
        const std::filesystem::path relative = utf8ToPath(rel).make_preferred();
        const std::filesystem::path destination = target / relative;
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
        // The copy must still hold the bytes recorded when it was made; the
        // check runs on the bytes as they are written beside the target. It
        // is opened through the pinned backup folder, only for this file.
        HeldFile copy;
        ErrorCode copyResult = cache.openFile(std::filesystem::path(L"backups") / backup.id / relative, GENERIC_READ,
                                              FILE_SHARE_READ, false, copy.chain, copy.file);
        if (copyResult == ErrorCode::Success) {
            copyResult = files.copyVerified(copy.file.get(), backupDir / relative, destination,
                                            detail::fullCopyOptions(), item.copy.size, item.copy.sha256, scratch);
        }
        if (copyResult == ErrorCode::FileHashMismatch) {
            handlerLog(LogLevel::Error, "Backup copy no longer matches what was backed up: " + rel);
        }
        if (copyResult != ErrorCode::Success) fail(copyResult, rel);
    }
    return firstFailure;
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
    const Json::Value& list = root["files"];
    if (!list.isArray()) return ErrorCode::Success;

    // The file only chooses among what this handler recorded for the backup
    // folder that holds it; it adds nothing.
    const bool recorded = !backup.id.empty() &&
                          samePath(backupManifestFile.parent_path().wstring(),
                                   (backupsRoot(cacheDir) / backup.id).wstring());
    ErrorCode firstFailure = ErrorCode::Success;
    for (const Json::Value& item : list) {
        const std::string rel = item.isObject() ? item.get("relativePath", "").asString() : std::string();
        if (!isSafeRelativePathUtf8(rel)) {
            handlerLog(LogLevel::Error, "Backup manifest contains an unsafe path");
            return ErrorCode::InvalidArguments;
        }
        if (!recorded) continue;
        const std::set<std::string> only = {rel};
        const ErrorCode result = restoreRecorded(&only, targetDir);
        if (result != ErrorCode::Success && firstFailure == ErrorCode::Success) firstFailure = result;
    }
    return firstFailure;
}

ErrorCode ManifestHandler::cleanupBackup(const std::wstring& backupId) {
    handlerLog(LogLevel::Debug, "Cleaning up backup: " + wideToUtf8(backupId));
    if (!isSafeRelativePath(backupId)) {
        handlerLog(LogLevel::Error, "Invalid backup ID");
        return ErrorCode::InvalidArguments;
    }
    installedTargets.clear();
    if (backup.id == backupId) backup = BackupRecord{};
    const std::filesystem::path folder = backupsRoot(cacheDir) / backupId;
    FileOperations files;
    return files.removeDirectory(folder, true);
}

}  // namespace korvel
