// Carrying out the orphan set: deletion through the pinned target (or only
// counting, in a dry run), the orphan events, and the two report files left
// in the session folder.
#include "orphan/OrphanCleanup.h"

#include "common/ErrorCodes.h"
#include "common/FileOperations.h"
#include "common/JsonText.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "common/WriteAllBytes.h"
#include "manifest/SessionPaths.h"
#include "orphan/OrphanInternal.h"

#include <windows.h>
#include <winternl.h>

#include <json/writer.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace korvel {

using namespace orphan_detail;
namespace fs = std::filesystem;

namespace orphan_detail {

std::string compactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    std::string text = Json::writeString(builder, value);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

}  // namespace orphan_detail

namespace {

// Marks the file of the handle for deletion; it goes when the handle closes.
void discard(HANDLE file) noexcept {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

// A new file of the given name inside folder, opened for writing; fails when
// anything already holds the name.
long createNewAt(HANDLE folder, const std::wstring& name, ScopedHandle& file) {
    const OpenAtRequest request{GENERIC_WRITE | DELETE, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_NORMAL};
    return openAt(folder, name, request, file);
}

}  // namespace

bool replaceFileContentsAt(HANDLE folder, const std::wstring& name, const std::string& bytes) noexcept {
    try {
        if (folder == nullptr || folder == INVALID_HANDLE_VALUE || name.empty() ||
            name.find_first_of(L"\\/") != std::wstring::npos || name.size() > 200)
            return false;
        ScopedHandle file;
        for (int attempt = 0; !file; ++attempt) {
            // A new name only: never opens, and so never writes through,
            // anything that was already there.
            const std::wstring temporary = FileOperations::temporaryPathBeside(name).filename().wstring();
            const long status = createNewAt(folder, temporary, file);
            if (file) break;
            if (static_cast<uint32_t>(status) != 0xC0000035u /* STATUS_OBJECT_NAME_COLLISION */ || attempt >= 8)
                return false;
        }
        if (!writeAllBytes(file.get(), bytes, true) || renameIntoFolder(file.get(), folder, name, true) != 0) {
            discard(file.get());
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

int OrphanCleanup::deleteOrphans(const std::wstring& targetPath, PinnedDirectory& root,
                                 const std::vector<InventoryEntry>& orphanFiles,
                                 const std::vector<InventoryEntry>& orphanDirectories, OrphanCleanupResult& result) {
    EventLogger& logger = EventLogger::instance();
    if (dryRun) {
        logInfo("Dry-run mode: would remove " + std::to_string(orphanFiles.size()) + " files and " +
                std::to_string(orphanDirectories.size()) + " directories");
        for (const InventoryEntry& file : orphanFiles) result.bytesFreed += file.size;
        result.filesRemoved = static_cast<int32_t>(orphanFiles.size());
        result.dirsRemoved = static_cast<int32_t>(orphanDirectories.size());
        return 0;
    }

    const auto pathOf = [&](const InventoryEntry& entry) {
        if (!entry.fullPath.empty()) return entry.fullPath;
        return (fs::path(targetPath) / utf8ToPath(entry.key)).wstring();
    };
    const auto eventPathOf = [&](const InventoryEntry& entry) {
        return entry.fullPath.empty() ? targetPath : entry.fullPath;
    };

    for (const InventoryEntry& file : orphanFiles) {
        try {
            const std::wstring path = pathOf(file);
            uint32_t error = 0;
            bool violation = false;
            if (root.deleteEntry(path, file.key, error, violation)) {
                logger.fileOperation("delete", fs::path(path), true, 0, false);
                result.filesRemoved += 1;
                result.bytesFreed += file.size;
                emitRemoved(file.key, file.size);
                continue;
            }
            logger.fileOperation("delete", fs::path(path), false, error, false);
            if (violation) {
                logger.error(toInt(ErrorCode::FileDeleteFailed), kOperation,
                             "Fatal containment failure while deleting: " + file.key);
                return toInt(ErrorCode::FileDeleteFailed);
            }
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
            result.filesSkipped += 1;
            result.skippedPaths.push_back(file.key);
            emitSkippedLocked(file.key, wideToUtf8(formatWin32Error(error)));
        } catch (const std::exception& e) {
            logger.fileOperation("delete", fs::path(eventPathOf(file)), false, ERROR_INVALID_NAME, false);
            result.filesSkipped += 1;
            result.skippedPaths.push_back(file.key);
            emitSkippedLocked(file.key, e.what());
        }
    }

    for (const InventoryEntry& directory : orphanDirectories) {
        try {
            const std::wstring path = pathOf(directory);
            uint32_t error = 0;
            bool violation = false;
            if (root.deleteEntry(path, directory.key, error, violation)) {
                logger.fileOperation("delete", fs::path(path), true, 0, false);
                result.dirsRemoved += 1;
                emitRemoved(directory.key, 0);
                continue;
            }
            logger.fileOperation("delete", fs::path(path), false, error, false);
            if (violation) {
                logger.error(toInt(ErrorCode::FileDeleteFailed), kOperation,
                             "Fatal containment failure while deleting directory: " + directory.key);
                return toInt(ErrorCode::FileDeleteFailed);
            }
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
            logWarning("Failed to remove directory " + directory.key + ": " + wideToUtf8(formatWin32Error(error)));
        } catch (const std::exception& e) {
            logger.fileOperation("delete", fs::path(eventPathOf(directory)), false, ERROR_INVALID_NAME, false);
            logWarning("Failed to remove directory " + directory.key + ": " + e.what());
        }
    }
    return 0;
}

int OrphanCleanup::writeLocalInventory(const HeldSessionRoot& sessionRoot,
                                       const std::vector<InventoryEntry>& inventory) {
    try {
        Json::Value document(Json::arrayValue);
        for (const InventoryEntry& entry : inventory) {
            Json::Value item(Json::objectValue);
            item["isDirectory"] = entry.isDirectory;
            item["isSymlink"] = entry.isReparsePoint;
            item["path"] = entry.key;
            item["size"] = Json::UInt64(entry.isDirectory || entry.isReparsePoint ? 0 : entry.size);
            document.append(item);
        }
        if (!replaceFileContentsAt(sessionRoot.handle.get(), L"local-inventory.json", jsonDocumentText(document))) {
            logWarning("Failed to write local-inventory.json");
            return toInt(ErrorCode::FileAccessDenied);
        }
        logInfo("Wrote local-inventory.json with " + std::to_string(inventory.size()) + " entries");
        return 0;
    } catch (const std::exception& e) {
        logWarning(std::string("Failed to write local-inventory.json: ") + e.what());
        return toInt(ErrorCode::InternalError);
    }
}

int OrphanCleanup::writeOrphanReport(const HeldSessionRoot& sessionRoot,
                                     const std::vector<InventoryEntry>& orphanFiles,
                                     const std::vector<InventoryEntry>& orphanDirectories,
                                     const OrphanCleanupResult& result) {
    try {
        Json::Value document(Json::objectValue);
        document["bytesFreed"] = Json::UInt64(result.bytesFreed);
        document["dirsRemoved"] = Json::Int(result.dirsRemoved);
        document["filesRemoved"] = Json::Int(result.filesRemoved);
        document["filesSkipped"] = Json::Int(result.filesSkipped);
        Json::Value orphans(Json::arrayValue);
        for (const InventoryEntry& file : orphanFiles) {
            Json::Value item(Json::objectValue);
            item["path"] = file.key;
            item["size"] = Json::UInt64(file.size);
            item["type"] = "file";
            orphans.append(item);
        }
        for (const InventoryEntry& directory : orphanDirectories) {
            Json::Value item(Json::objectValue);
            item["path"] = directory.key;
            item["size"] = Json::UInt64(0);
            item["type"] = "directory";
            orphans.append(item);
        }
        document["orphans"] = orphans;
        Json::Value skipped(Json::arrayValue);
        for (const std::string& key : result.skippedPaths) skipped.append(key);
        document["skippedPaths"] = skipped;
        if (!replaceFileContentsAt(sessionRoot.handle.get(), L"orphan-report.json", jsonDocumentText(document))) {
            logWarning("Failed to write orphan-report.json");
            return toInt(ErrorCode::FileAccessDenied);
        }
        logInfo("Wrote orphan-report.json");
        return 0;
    } catch (const std::exception& e) {
        logWarning(std::string("Failed to write orphan-report.json: ") + e.what());
        return toInt(ErrorCode::InternalError);
    }
}

void OrphanCleanup::emitStarted(const std::wstring& targetPath, OrphanComponent component, uint64_t expectedCount,
                                uint64_t observedCount) {
    Json::Value details(Json::objectValue);
    details["component"] = orphanComponentText(component);
    details["expectedCount"] = Json::UInt64(expectedCount);
    details["observedCount"] = Json::UInt64(observedCount);
    details["targetPath"] = wideToUtf8(targetPath);
    EventLogger::instance().status(kOperation, "orphan_cleanup_started", compactJson(details));
}

void OrphanCleanup::emitCandidate(const InventoryEntry& entry) {
    Json::Value details(Json::objectValue);
    details["path"] = entry.key;
    details["size"] = Json::UInt64(entry.size);
    details["type"] = entry.isDirectory ? "dir" : "file";
    EventLogger::instance().status(kOperation, "orphan_candidate", compactJson(details));
}

void OrphanCleanup::emitRemoved(const std::string& key, uint64_t size) {
    Json::Value details(Json::objectValue);
    details["path"] = key;
    details["size"] = Json::UInt64(size);
    EventLogger::instance().status(kOperation, "orphan_removed", compactJson(details));
}

void OrphanCleanup::emitSkippedLocked(const std::string& key, const std::string& error) {
    Json::Value details(Json::objectValue);
    details["error"] = error;
    details["path"] = key;
    EventLogger::instance().status(kOperation, "orphan_skipped_locked", compactJson(details));
}

void OrphanCleanup::emitComplete(const OrphanCleanupResult& result) {
    Json::Value details(Json::objectValue);
    details["bytesFreed"] = Json::UInt64(result.bytesFreed);
    details["dirsRemoved"] = Json::Int(result.dirsRemoved);
    details["filesRemoved"] = Json::Int(result.filesRemoved);
    details["filesSkipped"] = Json::Int(result.filesSkipped);
    EventLogger::instance().status(kOperation, "orphan_cleanup_complete", compactJson(details));
}

void OrphanCleanup::emitSkipped(const OrphanCleanupResult& result) noexcept {
    try {
        Json::Value details(Json::objectValue);
        details["reason"] = result.skipReason;
        if (result.systemErrorCode != 0) details["system_error_code"] = Json::UInt(result.systemErrorCode);
        EventLogger::instance().status(kOperation, "orphan_cleanup_skipped", compactJson(details));
    } catch (...) {
        // The skip itself stands; only its event is lost.
    }
}

}  // namespace korvel
