// An apply's record of what it changed, and the undoing of it.
#include "manifest/ApplyTransaction.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>

#include "common/EventLogger.h"
#include "common/FileSystemQueries.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "manifest/ManifestInternal.h"

namespace korvel {

using detail::handlerLog;

ApplyTransaction::~ApplyTransaction() {
    if (!changing_) return;
    // Neither committed nor undone by the run: whatever ended it, the old
    // files come back and the added ones go.
    try {
        handlerLog(LogLevel::Info, "Attempting rollback...");
        ErrorCode result = restore(nullptr, changingTarget_);
        const ErrorCode removed = removeCreated(changingTarget_);
        if (result == ErrorCode::Success) result = removed;
        if (result == ErrorCode::Success) {
            handlerLog(LogLevel::Info, "Backup restored successfully");
        } else {
            handlerLog(LogLevel::Error, "Rollback failed - system may be in inconsistent state");
        }
    } catch (...) {
        // A destructor lets nothing escape; what was not restored is what
        // the lines above did not report.
    }
}

void ApplyTransaction::startBackup(const std::wstring& id, PinnedChain folder) {
    backup_ = BackupRecord{};
    backup_.id = id;
    backup_.folder = std::move(folder);
}

void ApplyTransaction::addBackedUp(const std::string& relativePath, HeldFile copy) {
    BackupRecord::Item item;
    item.relativePath = relativePath;
    item.copy = std::move(copy);
    backup_.items.push_back(std::move(item));
}

void ApplyTransaction::noteChecked(const std::wstring& storeFile, uint64_t size, const FILE_BASIC_INFO* basics) {
    CheckedStoreFile& record = checkedStore_[storeFile];
    record.size = size;
    record.hasBasics = basics != nullptr;
    record.basics = basics != nullptr ? *basics : FILE_BASIC_INFO{};
}

bool ApplyTransaction::checkedBasics(const std::wstring& storeFile, uint64_t size, FILE_BASIC_INFO& out) const {
    const auto known = checkedStore_.find(storeFile);
    if (known == checkedStore_.end() || known->second.size != size || !known->second.hasBasics) return false;
    out = known->second.basics;
    return true;
}

bool ApplyTransaction::isChecked(const std::wstring& storeFile, uint64_t size) const {
    const auto known = checkedStore_.find(storeFile);
    return known != checkedStore_.end() && known->second.size == size;
}

void ApplyTransaction::forgetChecks() {
    checkedStore_.clear();
    unchangedTargets_.clear();
}

void ApplyTransaction::beginChanges(const std::wstring& targetDir) {
    created_ = CreatedRecord{};
    changing_ = true;
    changingTarget_ = targetDir;
}

void ApplyTransaction::noteCreatedFolders(const std::vector<std::string>& relativePaths) {
    created_.folders.insert(created_.folders.end(), relativePaths.begin(), relativePaths.end());
}

void ApplyTransaction::commit() {
    changing_ = false;
    created_ = CreatedRecord{};
    forgetChecks();
}

ErrorCode ApplyTransaction::restore(const std::set<std::string>* only, const std::wstring& targetDir) {
    // The files restored are replaced: nothing of this run may hold them.
    unchangedTargets_.clear();
    const std::filesystem::path target(targetDir);
    const std::filesystem::path backupRelative = std::filesystem::path(L"backups") / backup_.id;
    const std::filesystem::path backupDir = cache_.folder() / backupRelative;
    FileOperations files;
    // Every file that can come back does; the first failure is what the
    // caller learns, so a partial restore is never reported as a success.
    ErrorCode firstFailure = ErrorCode::Success;
    auto fail = [&](ErrorCode code, const std::string& rel) {
        handlerLog(LogLevel::Error, "Failed to restore file: " + rel);
        if (firstFailure == ErrorCode::Success) firstFailure = code;
    };
    for (BackupRecord::Item& item : backup_.items) {
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
        ErrorCode copyResult =
            cache_.openFile(backupRelative / relative, GENERIC_READ, FILE_SHARE_READ, false, copy.chain, copy.file);
        if (copyResult == ErrorCode::Success) {
            copyResult = files.copyVerified(copy.file.get(), backupDir / relative, destination,
                                            detail::fullCopyOptions(), item.copy.size, item.copy.sha256, scratch_);
        }
        if (copyResult == ErrorCode::FileHashMismatch) {
            handlerLog(LogLevel::Error, "Backup copy no longer matches what was backed up: " + rel);
        }
        if (copyResult != ErrorCode::Success) fail(copyResult, rel);
    }
    return firstFailure;
}

ErrorCode ApplyTransaction::removeCreated(const std::wstring& targetDir) {
    CreatedRecord record = std::move(created_);
    created_ = CreatedRecord{};
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

}  // namespace korvel
