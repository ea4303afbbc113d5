#pragma once
// Brings an installation folder to the state an update manifest describes:
// fetch, parse, validate, back up, download through the cache, verify,
// install, and roll back on failure.
#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/CryptoVerifier.h"
#include "common/ErrorCodes.h"
#include "common/FileOperations.h"
#include "common/HttpClient.h"
#include "manifest/ApplyTransaction.h"
#include "manifest/CacheFolder.h"
#include "manifest/DownloadCache.h"
#include "manifest/Manifest.h"

namespace korvel {

struct ApplyProgress {
    int32_t totalFiles = 0;
    int32_t processedFiles = 0;
    uint64_t totalBytes = 0;
    uint64_t processedBytes = 0;
    double percent = 0.0;
    std::string currentFile;
    uint64_t currentFileTotal = 0;
    uint64_t currentFileDone = 0;
    double currentFilePercent = 0.0;
    int64_t startTime = 0;  // 100-ns ticks since 1970
    double bytesPerSecond = 0.0;
    uint64_t etaMs = 0;
};

class ManifestHandler {
public:
    // ---------------------------------------------------------------------
    // Parsing, validation and the signature check
    // (Manifest.cpp, ManifestValidation.cpp, ManifestSignature.cpp).
    // The stateless checks are static so they can run without a handler.
    // ---------------------------------------------------------------------
    static void resetManifest(Manifest& manifest);
    static ErrorCode parseManifestJson(const std::string& text, Manifest& out);
    static ErrorCode parseFileEntry(const Json::Value& entry, ManifestFile& out);
    static void readFileEntryAliases(const Json::Value& entry, ManifestFile& out);

    static ErrorCode validateManifestSchema(const Json::Value& document);
    static ErrorCode validateFileEntry(const ManifestFile& file);
    static bool isValidVersion(const std::string& version);
    static ManifestComponent isLauncherManifest(const Manifest& manifest);

    // Members use this handler's verifier and cache folder; the overloads
    // taking them explicitly do the work.
    ErrorCode validateManifest(const Manifest& manifest);
    ErrorCode verifyManifestSignature(const Manifest& manifest);
    ErrorCode verifyCmsSignature(const std::string& canonicalText, const std::string& signature);
    static ErrorCode validateManifest(const Manifest& manifest, CryptoVerifier& verifier,
                                      const std::filesystem::path& cacheFolder);
    static ErrorCode verifyManifestSignature(const Manifest& manifest, CryptoVerifier& verifier,
                                             const std::filesystem::path& cacheFolder);
    static ErrorCode verifyCmsSignature(const std::string& canonicalText, const std::string& signature,
                                        CryptoVerifier& verifier, const std::filesystem::path& cacheFolder);

    // ---------------------------------------------------------------------
    // Apply flow, cache, installation, backup (ManifestHandler.cpp and its
    // companions).
    // ---------------------------------------------------------------------
    // The cache folder is %TEMP%\KorvelCache unless one is given.
    explicit ManifestHandler(const std::wstring& cdnRoot);
    ManifestHandler(const std::wstring& cdnRoot, const std::filesystem::path& cacheFolder);
    ~ManifestHandler();
    ManifestHandler(const ManifestHandler&) = delete;
    ManifestHandler& operator=(const ManifestHandler&) = delete;

    ErrorCode initialize();
    ErrorCode applyManifest(const std::wstring& manifestUrl, const std::wstring& targetDir);
    ErrorCode downloadManifest(const std::wstring& manifestUrl, Manifest& manifest);
    ErrorCode processManifestFiles(const Manifest& manifest, const std::wstring& targetDir);
    void setProgress(int32_t processedFiles, uint64_t processedBytes, const std::string& currentFile);
    void reportProgress(const std::string& fileName, uint64_t done, uint64_t total);

    ErrorCode downloadAllFiles(const Manifest& manifest);
    ErrorCode downloadFile(const ManifestFile& entry, const std::filesystem::path& tempPath,
                           const std::string& baseUrl);
    ErrorCode buildFileUrl(const ManifestFile& entry, const std::string& base, std::wstring& url);
    ErrorCode downloadWithRetry(const std::wstring& url, const std::filesystem::path& destination,
                                const std::string& expectedSha256);
    ErrorCode cachePathFor(const std::string& sha256, std::filesystem::path& path);
    ErrorCode storeInCache(const std::filesystem::path& source, const std::string& sha256);
    void cleanupDownloadCache();
    ErrorCode cleanupExpiredCacheFiles();

    ErrorCode verifyFile(const ManifestFile& entry, const std::filesystem::path& file);
    ErrorCode verifyAllFiles(const Manifest& manifest);
    ErrorCode installFile(const ManifestFile& entry, const std::filesystem::path& source,
                          const std::filesystem::path& targetDir);
    ErrorCode installAllFiles(const Manifest& manifest, const std::filesystem::path& targetDir);
    ErrorCode ensureParentDirectory(const std::filesystem::path& targetDir, const std::string& relativePath);
    ErrorCode setFilePermissions(const std::filesystem::path& file, const std::string& permissions);
    ErrorCode processExecutable(const ManifestFile& entry, const std::filesystem::path& file);

    ErrorCode createBackup(const Manifest& manifest, const std::wstring& targetDir, std::wstring& backupId,
                           const std::set<std::string>* sessionFiles = nullptr);
    void purgeStaleBackups();
    ErrorCode writeBackupManifest(const Manifest& manifest, const std::filesystem::path& backupDir);
    ErrorCode restoreBackup(const std::wstring& backupId, const std::wstring& targetDir);
    ErrorCode restoreFromBackupManifest(const std::filesystem::path& backupManifestFile,
                                        const std::wstring& targetDir);
    ErrorCode cleanupBackup(const std::wstring& backupId);

    // ---------------------------------------------------------------------
    // Prepared download sessions (ManifestSession.cpp): the files come from
    // a folder the caller filled, checked as strictly as downloads.
    // ---------------------------------------------------------------------
    ErrorCode applyManifestFromSession(const std::wstring& manifestUrl, const std::wstring& targetDir,
                                       const std::wstring& sessionRoot, const std::wstring& filesManifest);
    ErrorCode processPreparedSession(const Manifest& manifest, const std::wstring& targetDir,
                                     const std::wstring& sessionRoot, const std::wstring& filesManifest);

    // What the last apply of this handler took as the release, for the
    // operations of a plan after it; read only after the apply returned 0:
    // every file path of the manifest it validated, and for a session apply
    // the descriptor's "file" names as it read them.
    struct AppliedFiles {
        std::vector<std::string> manifestFiles;
        bool readDescriptor = false;
        std::set<std::string> descriptorNames;
    };
    const AppliedFiles& appliedFiles() const { return applied; }

    // How long an apply waits for another run that uses the same cache
    // folder before it gives up with 6 (10 minutes unless set).
    void setCacheLockTimeout(std::chrono::milliseconds timeout) { cacheLockTimeout = timeout; }
    // The system-wide name of the lock of a cache folder.
    static std::wstring cacheLockName(const std::filesystem::path& cacheFolder);
    // Called after each file is installed, with its relative path; what it
    // throws takes the apply's failure path like any other exception (for
    // tests of the rollback after files were replaced).
    void setInstallObserver(std::function<void(const std::string&)> observer) {
        installObserver = std::move(observer);
    }
    // How long an apply waits for another run into the same target before
    // it gives up with 6 (10 minutes unless set).
    void setTargetLockTimeout(std::chrono::milliseconds timeout) { targetLockTimeout = timeout; }
    // The system-wide name of the lock of a target folder, derived from its
    // final path (of its longest existing part), so that every spelling of
    // one folder, and a link to it, share one lock.
    static std::wstring targetLockName(const std::wstring& targetDir);

    // Largest manifest the handler downloads.
    static constexpr uint64_t kMaxManifestSize = 32ull * 1024 * 1024;

private:
    // One apply run, from its first event to its last: the locks it holds,
    // the manifest it took and its backup.
    struct ApplyRun {
        std::string url8;
        DownloadCache::Lock cacheLock;
        Manifest manifest;
        ScopedHandle targetMutex;
        HeldMutex targetLock;
        int fileCount = 0;
        std::wstring backupId;
    };
    // One apply per target at a time, whatever cache each run uses.
    ErrorCode acquireTargetLock(const std::wstring& targetDir, ScopedHandle& mutex, HeldMutex& held);
    // The steps every apply begins with: the first line and "starting",
    // initialise, take the cache lock, download and validate the manifest
    // (each failure reported with its status event), take the target lock.
    ErrorCode startApply(const std::wstring& manifestUrl, const std::wstring& targetDir,
                         const std::string& startLine, ApplyRun& run);
    // The backup before anything is changed; a backup that could not be
    // made ends the run (see backupFailed).
    ErrorCode backUpTarget(ApplyRun& run, const std::wstring& targetDir, const std::set<std::string>* sessionFiles);
    // A backup that could not be made: nothing was changed, the partial copy
    // goes, and the apply ends with 125 and "processing_failed".
    ErrorCode backupFailed(ErrorCode backupResult, const std::wstring& backupId, const std::string& url8,
                           int fileCount);
    // Puts the backup back after a failure part way, saying when it cannot.
    void rollback(const std::wstring& backupId, const std::wstring& targetDir);
    // Runs the processing of an apply whose backup exists: a failure, or an
    // exception (rethrown), puts the backup back before it is reported with
    // "<failure>" and "processing_failed".
    ErrorCode processWithRollback(const std::function<ErrorCode()>& process, const std::string& failure,
                                  const ApplyRun& run, const std::wstring& targetDir);
    // Success: the changes stand, the backup goes, "completed" and the last
    // line.
    ErrorCode finishApply(const ApplyRun& run, const std::string& successLine);
    // Opens a file below the cache through pinned handles, or any other
    // path directly.
    ErrorCode openFileAt(const std::filesystem::path& path, uint32_t access, uint32_t share, bool create,
                         HeldFile& out, bool announce = true);
    // Deletes a file this run wrote; inside the cache only through its
    // pinned folders, never through a link. 0 when it is gone.
    ErrorCode removeFileAt(const std::filesystem::path& path);
    // As removeFileAt; a failure leaves as filesystem_error("remove").
    void removeFileOrThrow(const std::filesystem::path& path);
    ErrorCode fetchWithRetry(const std::wstring& url, const std::filesystem::path& destination,
                             const std::string& expectedSha256, uint64_t maxSize, HeldFile& out);
    ErrorCode storeDownloaded(HeldFile& downloaded, const std::filesystem::path& tempPath, const std::string& sha256,
                              uint64_t size, HeldFile& kept);
    ErrorCode verifyOpenFile(const ManifestFile& entry, const std::filesystem::path& file, HeldFile& held);
    ErrorCode storeFromHeld(HeldFile& source, const std::filesystem::path& sourcePath, const std::string& sha256,
                            uint64_t size, HeldFile* keep);
    ErrorCode installFromHandle(const ManifestFile& entry, HANDLE source, const std::filesystem::path& sourcePath,
                                const std::filesystem::path& targetDir);
    // The installation with the source open (source) or, for a target that
    // may be kept as it is, not yet open (source null, sourceBasics the
    // times and attributes noted when the store file was checked): it is
    // opened only if the target has to be written.
    ErrorCode installFromSource(const ManifestFile& entry, HANDLE source, const FILE_BASIC_INFO* sourceBasics,
                                const std::filesystem::path& sourcePath, const std::filesystem::path& targetDir);
    // The two lines of a store file that could not be opened for its copy.
    static void reportUnopenedSource(const ManifestFile& entry, const std::filesystem::path& source, ErrorCode opened);
    // The steps of a backup: every path safe and reached without a link;
    // the pinned backup folder with its manifest; one target file copied
    // (copied false when there is none to keep).
    static ErrorCode checkBackupPaths(const Manifest& manifest, const std::filesystem::path& target);
    ErrorCode startBackupFolder(const Manifest& manifest, const std::wstring& backupId);
    ErrorCode backUpFile(const ManifestFile& entry, const std::filesystem::path& target, const std::wstring& backupId,
                         bool& copied);

    // The session descriptor's bytes, read once so that both of its
    // readings see the same document.
    enum class DescriptorState { Missing, Unopenable, TooLarge, Read };
    struct DescriptorBytes {
        DescriptorState state = DescriptorState::Missing;
        std::string text;
    };
    static DescriptorBytes readDescriptor(const std::wstring& filesManifest);
    ErrorCode processPreparedSession(const Manifest& manifest, const std::wstring& targetDir,
                                     const std::wstring& sessionRoot, const std::wstring& filesManifest,
                                     const DescriptorBytes& descriptor);
    // The steps of the installation from a session: the root is a folder
    // and the descriptor was read; its entries mapped by "file" to files
    // proven inside the root; the progress totals; one prepared file
    // checked and installed through the one handle it is read by.
    static ErrorCode checkSessionInputs(const std::wstring& sessionRoot, const std::wstring& filesManifest,
                                        DescriptorState state);
    // One prepared file of the session, as its descriptor entry gave it.
    struct PreparedFile {
        std::filesystem::path path;  // resolved through the file system
        uint64_t bytes = 0;
        std::string sha256;
    };
    static ErrorCode mapPreparedFiles(const Json::Value& list, const std::wstring& rootFinal,
                                      std::unordered_map<std::string, PreparedFile>& prepared);
    void startSessionProgress(const Manifest& manifest);
    ErrorCode installPreparedFile(const ManifestFile& entry, const PreparedFile& record, const std::wstring& rootFinal,
                                  const std::filesystem::path& targetDir);
    ErrorCode verifyHandle(const ManifestFile& entry, const std::filesystem::path& file, HeldFile& held);
    void removeStaleTemporaries(const std::filesystem::path& target);
    ErrorCode finishInstall(const ManifestFile& entry, const std::filesystem::path& target);
    bool keepInstalled(const ManifestFile& entry, const FILE_BASIC_INFO& sourceInfo,
                       const std::filesystem::path& sourcePath, const std::filesystem::path& target);

    DownloadCache cache;
    TransferScratch scratch;
    Sha256Hasher downloadHasher;
    // Declared after the cache and the buffer it uses: it goes first.
    ApplyTransaction transaction;
    AppliedFiles applied;
    // Leftover temporaries beside target files, by folder (its path in
    // upper case), each folder listed once per run.
    std::map<std::wstring, std::vector<std::wstring>> staleTemporaries;
    std::chrono::milliseconds cacheLockTimeout{600000};
    std::chrono::milliseconds targetLockTimeout{600000};

    std::wstring cdnRoot;
    HttpClient http;
    CryptoVerifier crypto;
    ApplyProgress progress;
    std::function<bool(const ApplyProgress&)> progressCallback;
    std::function<void(const std::string&)> installObserver;
};

}  // namespace korvel
