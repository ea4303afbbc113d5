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
    const std::filesystem::path target(targetDir);
    ErrorCode result = checkBackupPaths(manifest, target);
    if (result != ErrorCode::Success) return result;

    // Whatever an earlier backup of this handler held is let go first.
    transaction.forgetBackup();
    transaction.forgetUnchanged();
    purgeStaleBackups();

    backupId = utcBackupId();
    if ((result = startBackupFolder(manifest, backupId)) != ErrorCode::Success) return result;

    int backedUp = 0;
    int skipped = 0;
    for (const ManifestFile& entry : manifest.files) {
        if (sessionFiles != nullptr && sessionFiles->count(entry.path) == 0) {
            skipped += 1;
            continue;
        }
        bool copied = false;
        if ((result = backUpFile(entry, target, backupId, copied)) != ErrorCode::Success) return result;
        if (copied) backedUp += 1;
    }

    std::string line = "Backup created with ID: " + wideToUtf8(backupId) + " (backed up " + std::to_string(backedUp) +
                       " files";
    if (skipped >= 1) line += ", skipped " + std::to_string(skipped) + " unchanged";
    line += ")";
    handlerLog(LogLevel::Info, line);
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::checkBackupPaths(const Manifest& manifest, const std::filesystem::path& target) {
    for (const ManifestFile& entry : manifest.files) {
        if (!isSafeRelativePathUtf8(entry.path)) {
            handlerLog(LogLevel::Error, "Refusing unsafe backup path");
            return ErrorCode::InvalidArguments;
        }
    }
    for (const ManifestFile& entry : manifest.files) {
        if (detail::crossesLink(target, utf8ToPath(entry.path))) {
            handlerLog(LogLevel::Error, "Refusing to back up through a link: " + entry.path);
            return ErrorCode::InvalidArguments;
        }
    }
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::startBackupFolder(const Manifest& manifest, const std::wstring& backupId) {
    const ErrorCode opened = cache.ensureOpen();
    if (opened != ErrorCode::Success) return opened;
    PinnedChain folder;
    const ErrorCode dirResult = cache.pinFolder(std::filesystem::path(L"backups") / backupId, true, folder);
    if (dirResult != ErrorCode::Success) return dirResult;
    transaction.startBackup(backupId, std::move(folder));

    const ErrorCode manifestResult = writeBackupManifest(manifest, backupsRoot(cache.folder()) / backupId);
    if (manifestResult != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Failed to write backup manifest");
        return manifestResult;
    }
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::backUpFile(const ManifestFile& entry, const std::filesystem::path& target,
                                      const std::wstring& backupId, bool& copied) {
    const std::filesystem::path relative = utf8ToPath(entry.path).make_preferred();
    const std::filesystem::path source = target / relative;
    DWORD error = 0;
    const DWORD attributes = detail::fileAttributes(source, &error);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // A file the run will add has nothing to keep.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ErrorCode::Success;
        handlerLog(LogLevel::Error, "Failed to back up file: " + entry.path);
        return FileOperations::mapWin32Error(error);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ErrorCode::Success;

    // The copy is written through a handle proven to lie in the backup
    // folder, and recorded with the digest of what was written: only that
    // comes back in a rollback.
    const std::filesystem::path backupRelative = std::filesystem::path(L"backups") / backupId;
    HeldFile copy;
    ErrorCode result = cache.openFile(backupRelative / relative, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, true,
                                      copy.chain, copy.file);
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
        FileOperations files;
        result = files.copyBetween(from.get(), source, copy.file.get(), cache.folder() / backupRelative / relative,
                                   true, scratch, copy.sha256, copy.size);
    }
    if (result != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Failed to back up file: " + entry.path);
        return result;
    }
    // A file that already holds the entry's bytes need not be written
    // again; the installation checks it once more before keeping it.
    if (copy.size == entry.size && FileOperations::digestsEqual(copy.sha256, entry.sha256)) {
        transaction.noteUnchanged(entry.path);
    }
    // Neither file stays open: the handles would grow with the manifest.
    from.close();
    copy.file.close();
    copy.chain.clear();
    transaction.addBackedUp(entry.path, std::move(copy));
    copied = true;
    return ErrorCode::Success;
}

void ManifestHandler::purgeStaleBackups() {
    try {
        if (cache.ensureOpen() != ErrorCode::Success) return;
        // The backups folder is listed through its pinned handle's path; a
        // link in its place is never listed.
        PinnedChain backups;
        if (cache.pinFolder(L"backups", false, backups) != ErrorCode::Success || backups.empty()) return;
        std::vector<std::wstring> folders;
        {
            WIN32_FIND_DATAW data;
            const std::wstring pattern = backups.back()->finalPath() + L"\\*";
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
        // A folder the cache still holds cannot be removed.
        cache.releaseHeld();
        for (const auto& folderName : folders) {
            const std::filesystem::path folder = backupsRoot(cache.folder()) / folderName;
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
    const std::filesystem::path backupDir = backupsRoot(cache.folder()) / backupId;
    const DWORD attributes = detail::fileAttributes(backupDir);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        handlerLog(LogLevel::Error, "Backup directory not found: " + pathToUtf8(backupDir));
        return ErrorCode::FileNotFound;
    }
    // What is restored is what this handler backed up, as it recorded it;
    // the backup manifest on disk is anybody's to edit.
    if (transaction.backupId() != backupId) {
        handlerLog(LogLevel::Error, "Backup was not made by this run: " + wideToUtf8(backupId));
        return ErrorCode::FileNotFound;
    }
    ErrorCode result = transaction.restore(nullptr, targetDir);
    const ErrorCode removed = transaction.removeCreated(targetDir);
    if (result == ErrorCode::Success) result = removed;
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
    const Json::Value& list = root["files"];
    if (!list.isArray()) return ErrorCode::Success;

    // The file only chooses among what this handler recorded for the backup
    // folder that holds it; it adds nothing.
    const bool recorded = !transaction.backupId().empty() &&
                          samePath(backupManifestFile.parent_path().wstring(),
                                   (backupsRoot(cache.folder()) / transaction.backupId()).wstring());
    ErrorCode firstFailure = ErrorCode::Success;
    for (const Json::Value& item : list) {
        const std::string rel = item.isObject() ? item.get("relativePath", "").asString() : std::string();
        if (!isSafeRelativePathUtf8(rel)) {
            handlerLog(LogLevel::Error, "Backup manifest contains an unsafe path");
            return ErrorCode::InvalidArguments;
        }
        if (!recorded) continue;
        const std::set<std::string> only = {rel};
        const ErrorCode result = transaction.restore(&only, targetDir);
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
    transaction.forgetUnchanged();
    if (transaction.backupId() == backupId) transaction.forgetBackup();
    const std::filesystem::path folder = backupsRoot(cache.folder()) / backupId;
    // A folder the cache still holds cannot be removed.
    cache.releaseHeld();
    FileOperations files;
    return files.removeDirectory(folder, true);
}

}  // namespace korvel
