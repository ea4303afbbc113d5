#pragma once
// What one apply has done to a target and may have to undo: the backup it
// took (the copies with the digests of the bytes written), the files and
// folders it added, and what it learnt on the way (store files checked,
// targets found already right). Changes begun and neither committed nor
// rolled back are rolled back when the transaction goes away, whatever
// ended the run.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/ErrorCodes.h"
#include "common/FileOperations.h"
#include "manifest/CacheFolder.h"
#include "manifest/DownloadCache.h"

namespace korvel {

class ApplyTransaction {
public:
    ApplyTransaction(DownloadCache& cache, TransferScratch& scratch) : cache_(cache), scratch_(scratch) {}
    ~ApplyTransaction();
    ApplyTransaction(const ApplyTransaction&) = delete;
    ApplyTransaction& operator=(const ApplyTransaction&) = delete;

    // --- The backup: only what it records comes back in a rollback. ---
    // A new backup in the pinned folder "backups"\id; an earlier one of
    // this transaction is let go (not restored).
    void startBackup(const std::wstring& id, PinnedChain folder);
    // One file copied into the backup (the copy is not held open: the
    // handles would grow with the manifest; a restore checks each one as it
    // writes it).
    void addBackedUp(const std::string& relativePath, HeldFile copy);
    const std::wstring& backupId() const noexcept { return backup_.id; }
    // The backup is gone or no longer this transaction's.
    void forgetBackup() { backup_ = BackupRecord{}; }
    // Puts back, through a copy checked as it is written, every recorded
    // file (only those named in only, when given); the first failure is the
    // result, after every file that can come back has.
    ErrorCode restore(const std::set<std::string>* only, const std::wstring& targetDir);

    // --- What the file passes learn. ---
    // A store file this run wrote or checked, with its size: it is not read
    // again before the installation checks its bytes as it writes them.
    // basics, when given, are its times and attributes as its own handle
    // showed them at the check.
    void noteChecked(const std::wstring& storeFile, uint64_t size, const FILE_BASIC_INFO* basics = nullptr);
    bool isChecked(const std::wstring& storeFile) const { return checkedStore_.count(storeFile) != 0; }
    bool isChecked(const std::wstring& storeFile, uint64_t size) const;
    // The times and attributes noted with a checked store file of that size.
    bool checkedBasics(const std::wstring& storeFile, uint64_t size, FILE_BASIC_INFO& out) const;
    // A target that held the entry's bytes when the backup read it: the
    // installation checks it again, through a handle that denies writing,
    // before it keeps it as it is.
    void noteUnchanged(const std::string& relativePath) { unchangedTargets_.insert(relativePath); }
    // True (once) when relativePath was noted unchanged.
    bool takeUnchanged(const std::string& relativePath) { return unchangedTargets_.erase(relativePath) != 0; }
    bool isUnchanged(const std::string& relativePath) const { return unchangedTargets_.count(relativePath) != 0; }
    void forgetUnchanged() { unchangedTargets_.clear(); }
    // Drops both of the above.
    void forgetChecks();

    // --- Changes to the target. ---
    // The file passes start changing targetDir: what they add is recorded
    // from here on, and the transaction owes a commit or a rollback.
    void beginChanges(const std::wstring& targetDir);
    void noteCreatedFile(const std::string& relativePath) { created_.files.push_back(relativePath); }
    void noteCreatedFolders(const std::vector<std::string>& relativePaths);
    // Removes, through the pinned target, the files this run created there
    // and then the folders it made that are empty; 0 when every such file is
    // gone. The record is used up.
    ErrorCode removeCreated(const std::wstring& targetDir);
    // The changes stand: nothing is owed any more, what was learnt is let go.
    void commit();
    // The changes were undone (or their undoing was tried) by the caller.
    void endChanges() noexcept { changing_ = false; }

private:
    struct BackupRecord {
        std::wstring id;
        PinnedChain folder;  // "backups" and the backup folder
        struct Item {
            std::string relativePath;
            HeldFile copy;
        };
        std::vector<Item> items;
    };
    // What this run added to the target (relative paths as written).
    struct CreatedRecord {
        std::vector<std::string> files;
        std::vector<std::string> folders;
    };

    DownloadCache& cache_;
    TransferScratch& scratch_;
    BackupRecord backup_;
    CreatedRecord created_;
    struct CheckedStoreFile {
        uint64_t size = 0;
        bool hasBasics = false;
        FILE_BASIC_INFO basics{};
    };
    std::map<std::wstring, CheckedStoreFile> checkedStore_;
    std::set<std::string> unchangedTargets_;
    bool changing_ = false;
    std::wstring changingTarget_;
};

}  // namespace korvel
