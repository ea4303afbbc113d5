// The apply flow: fetch and check the manifest, back up what it will replace,
// then download, verify and install, restoring the backup when a file pass
// fails.
#include "manifest/ManifestHandler.h"

#include <windows.h>

#include <exception>
#include <filesystem>
#include <cwchar>
#include <cwctype>

#include "common/DangerousRoot.h"
#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/FileSystemQueries.h"
#include "common/PinnedDirectory.h"
#include "common/ProductFolders.h"
#include "common/TextConversion.h"
#include "manifest/ManifestInternal.h"

namespace korvel {

namespace detail {

int64_t unixTicksNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    // FILETIME counts from 1601; the progress record counts from 1970.
    return static_cast<int64_t>(v.QuadPart) - 116444736000000000LL;
}

}  // namespace detail

using detail::handlerLog;

ManifestHandler::ManifestHandler(const std::wstring& cdnRootUrl)
    : ManifestHandler(cdnRootUrl, downloadCacheFolder()) {}

ManifestHandler::ManifestHandler(const std::wstring& cdnRootUrl, const std::filesystem::path& cacheFolder)
    : cache(cacheFolder), transaction(cache, scratch), cdnRoot(cdnRootUrl), http(),
      crypto(builtInManifestKey()) {}

ManifestHandler::~ManifestHandler() {
    try {
        cleanupDownloadCache();
    } catch (...) {
        // Trimming the cache must never take the process down.
    }
}

ErrorCode ManifestHandler::initialize() {
    handlerLog(LogLevel::Debug, "Initializing ManifestHandler");
    const ErrorCode httpResult = http.initialize();
    if (httpResult != ErrorCode::Success) return httpResult;
    // The cache is reached through pinned handles from here on.
    if (cache.open() != ErrorCode::Success) {
        handlerLog(LogLevel::Warning, "Failed to create cache directory: " + pathToUtf8(cache.folder()));
    }
    handlerLog(LogLevel::Debug, "Loading trusted certificates (placeholder implementation)");
    handlerLog(LogLevel::Info, "ManifestHandler initialized successfully");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::startApply(const std::wstring& manifestUrl, const std::wstring& targetDir,
                                      const std::string& startLine, ApplyRun& run) {
    EventLogger& events = EventLogger::instance();
    run.url8 = wideToUtf8(manifestUrl);
    handlerLog(LogLevel::Info, startLine + run.url8);
    events.manifestProcessing(run.url8, "starting", -1);
    // Refused before anything is fetched: no manifest, however signed, puts
    // files into Windows or into a folder such as Program Files itself.
    const std::wstring refusal = applyTargetRefusal(targetDir);
    if (!refusal.empty()) {
        handlerLog(LogLevel::Error, "Refusing to apply an update into folder " + wideToUtf8(targetDir) + ": " +
                                        wideToUtf8(refusal));
        events.manifestProcessing(run.url8, "target_refused", -1);
        return ErrorCode::DirectoryAccessDenied;
    }
    const ErrorCode initResult = initialize();
    if (initResult != ErrorCode::Success) return initResult;

    // Runs sharing the cache would mix their manifests, stores and backups.
    const ErrorCode lockResult = cache.lock(cacheLockTimeout, run.cacheLock);
    if (lockResult != ErrorCode::Success) return lockResult;

    resetManifest(run.manifest);
    const ErrorCode downloadResult = downloadManifest(manifestUrl, run.manifest);
    if (downloadResult != ErrorCode::Success) {
        events.manifestProcessing(run.url8, "download_failed", -1);
        return downloadResult;
    }
    const ErrorCode validationResult = validateManifest(run.manifest);
    if (validationResult != ErrorCode::Success) {
        events.manifestProcessing(run.url8, "validation_failed", -1);
        return validationResult;
    }
    applied = AppliedFiles{};
    staleTemporaries.clear();
    for (const ManifestFile& file : run.manifest.files) applied.manifestFiles.push_back(file.path);

    const ErrorCode locked = acquireTargetLock(targetDir, run.targetMutex, run.targetLock);
    if (locked != ErrorCode::Success) return locked;
    run.fileCount = static_cast<int>(run.manifest.files.size());
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::backUpTarget(ApplyRun& run, const std::wstring& targetDir,
                                        const std::set<std::string>* sessionFiles) {
    // No target file is replaced unless its old content is safely kept.
    const ErrorCode backupResult = createBackup(run.manifest, targetDir, run.backupId, sessionFiles);
    if (backupResult != ErrorCode::Success) return backupFailed(backupResult, run.backupId, run.url8, run.fileCount);
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::backupFailed(ErrorCode backupResult, const std::wstring& backupId, const std::string& url8,
                                        int fileCount) {
    handlerLog(LogLevel::Error, "Failed to create backup, no file was changed (code " +
                                    std::to_string(toInt(backupResult)) + ")");
    // The target is untouched, so the incomplete copy is worth nothing.
    if (!backupId.empty()) cleanupBackup(backupId);
    EventLogger::instance().manifestProcessing(url8, "processing_failed", fileCount);
    return ErrorCode::ManifestApplyFailed;
}

void ManifestHandler::rollback(const std::wstring& backupId, const std::wstring& targetDir) {
    handlerLog(LogLevel::Info, "Attempting rollback...");
    if (restoreBackup(backupId, targetDir) != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Rollback failed - system may be in inconsistent state");
    }
}

ErrorCode ManifestHandler::processWithRollback(const std::function<ErrorCode()>& process, const std::string& failure,
                                               const ApplyRun& run, const std::wstring& targetDir) {
    EventLogger& events = EventLogger::instance();
    ErrorCode result = ErrorCode::Success;
    transaction.beginChanges(targetDir);
    try {
        result = process();
    } catch (const std::exception& e) {
        // Files may already be replaced: they come back before the error
        // goes on.
        handlerLog(LogLevel::Error, failure + ": " + e.what());
        transaction.forgetChecks();
        try {
            rollback(run.backupId, targetDir);
        } catch (const std::exception& inner) {
            handlerLog(LogLevel::Error, std::string("Rollback failed - system may be in inconsistent state: ") +
                                            inner.what());
        }
        transaction.endChanges();
        events.manifestProcessing(run.url8, "processing_failed", run.fileCount);
        throw;
    }
    if (result != ErrorCode::Success) {
        handlerLog(LogLevel::Error, failure);
        transaction.forgetChecks();
        rollback(run.backupId, targetDir);
        transaction.endChanges();
        transaction.forgetBackup();
        events.manifestProcessing(run.url8, "processing_failed", run.fileCount);
    }
    return result;
}

ErrorCode ManifestHandler::finishApply(const ApplyRun& run, const std::string& successLine) {
    transaction.commit();
    cleanupBackup(run.backupId);
    EventLogger::instance().manifestProcessing(run.url8, "completed", run.fileCount);
    handlerLog(LogLevel::Info, successLine);
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::applyManifest(const std::wstring& manifestUrl, const std::wstring& targetDir) {
    ApplyRun run;
    if (const ErrorCode code = startApply(manifestUrl, targetDir, "Applying manifest from: ", run);
        code != ErrorCode::Success) {
        return code;
    }
    if (const ErrorCode code = backUpTarget(run, targetDir, nullptr); code != ErrorCode::Success) return code;
    if (const ErrorCode code = processWithRollback([&] { return processManifestFiles(run.manifest, targetDir); },
                                                   "Failed to process manifest files", run, targetDir);
        code != ErrorCode::Success) {
        return code;
    }
    return finishApply(run, "Manifest applied successfully");
}

namespace detail {

std::wstring folderLockName(const wchar_t* prefix, std::wstring key) {
    for (wchar_t& c : key) {
        if (c == L'/') c = L'\\';
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    uint64_t hash = 1469598103934665603ull;
    for (wchar_t c : key) {
        hash ^= static_cast<uint16_t>(c);
        hash *= 1099511628211ull;
    }
    wchar_t name[64];
    swprintf(name, sizeof name / sizeof name[0], L"Global\\%ls-%016llx", prefix, static_cast<unsigned long long>(hash));
    return name;
}

bool waitForLock(HANDLE mutex, std::chrono::milliseconds limit, const char* operation, const std::string& details,
                 const std::string& waitingLine) {
    DWORD wait = WaitForSingleObject(mutex, 0);
    if (wait == WAIT_TIMEOUT) {
        EventLogger::instance().status(operation, "waiting", details);
        handlerLog(LogLevel::Info, waitingLine);
        const auto ms = limit.count();
        wait = WaitForSingleObject(mutex, ms >= 0xFFFFFFFFll ? 0xFFFFFFFEu : static_cast<DWORD>(ms < 0 ? 0 : ms));
    }
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

}  // namespace detail

std::wstring ManifestHandler::cacheLockName(const std::filesystem::path& cacheFolder) {
    return DownloadCache::lockName(cacheFolder);
}

std::wstring ManifestHandler::targetLockName(const std::wstring& targetDir) {
    std::wstring full;
    uint32_t error = 0;
    if (!getFullPathName(targetDir, full, error)) full = targetDir;
    // The longest part that exists is named by its final path (links and
    // other spellings resolved); the missing rest is appended as written.
    std::filesystem::path existing(full);
    std::filesystem::path rest;
    while (true) {
        ScopedHandle handle(CreateFileW(toExtendedLengthPath(existing.wstring()).c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        std::wstring finalPath;
        if (handle && getFinalPathByHandle(handle.get(), finalPath)) {
            std::filesystem::path named(fromExtendedLengthPath(std::move(finalPath)));
            if (!rest.empty()) named /= rest;
            full = named.wstring();
            break;
        }
        if (!existing.has_relative_path() || existing.parent_path() == existing) break;
        rest = rest.empty() ? existing.filename() : existing.filename() / rest;
        existing = existing.parent_path();
    }
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    for (wchar_t& c : full) c = static_cast<wchar_t>(std::towupper(c));
    return detail::folderLockName(L"KorvelTarget", full);
}

ErrorCode ManifestHandler::acquireTargetLock(const std::wstring& targetDir, ScopedHandle& mutex, HeldMutex& held) {
    const std::wstring name = targetLockName(targetDir);
    mutex.reset(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!mutex) {
        handlerLog(LogLevel::Error, "Failed to create the target lock: " + std::to_string(GetLastError()));
        return ErrorCode::InternalError;
    }
    if (detail::waitForLock(mutex.get(), targetLockTimeout, "target_lock", wideToUtf8(targetDir),
                    "Waiting for another update of the same target")) {
        held.reset(mutex.get());
        return ErrorCode::Success;
    }
    handlerLog(LogLevel::Error, "Timed out waiting for another update of the same target");
    return ErrorCode::Timeout;
}

ErrorCode ManifestHandler::openFileAt(const std::filesystem::path& path, uint32_t access, uint32_t share, bool create,
                                      HeldFile& out, bool announce) {
    out.file.close();
    out.chain.clear();
    std::filesystem::path relative;
    if (cache.isOpen() && cache.contains(path, relative)) {
        return cache.openFile(relative, access, share, create, out.chain, out.file, announce);
    }
    // Outside the cache only session files are opened, for reading: every
    // file this handler creates lies in the cache and goes the pinned way
    // above, so this creation serves only a handler whose cache is closed.
    if (create && !path.parent_path().empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(path.parent_path(), ignored);
    }
    out.file.reset(CreateFileW(path.c_str(), access, share, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.file) return FileOperations::mapWin32Error(GetLastError());
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::removeFileAt(const std::filesystem::path& path) {
    std::filesystem::path relative;
    if (cache.isOpen() && cache.contains(path, relative)) {
        // Most names are free; only something found is removed, through the
        // pins (each of which costs a look-up of final paths).
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
            (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
            return ErrorCode::Success;
        }
        return cache.removeFile(relative);
    }
    removeOrThrow(path);
    return ErrorCode::Success;
}

void ManifestHandler::removeFileOrThrow(const std::filesystem::path& path) {
    if (removeFileAt(path) != ErrorCode::Success) {
        throw std::filesystem::filesystem_error("remove", path, std::make_error_code(std::errc::permission_denied));
    }
}

ErrorCode ManifestHandler::downloadManifest(const std::wstring& manifestUrl, Manifest& manifest) {
    handlerLog(LogLevel::Debug, "Downloading manifest from: " + wideToUtf8(manifestUrl));
    const std::filesystem::path tempPath = cache.folder() / L"manifest.json.tmp";

    const ErrorCode dirResult = cache.ensureOpen();
    if (dirResult != ErrorCode::Success) return dirResult;

    // The bytes parsed are the bytes received, kept in memory; the file on
    // disk is only a copy that anyone could have changed since.
    HeldFile temp;
    if (openFileAt(tempPath, GENERIC_WRITE, FILE_SHARE_READ, true, temp) != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Failed to open downloaded manifest file");
        return ErrorCode::FileAccessDenied;
    }
    std::string text;
    DownloadOptions options;
    options.resume = false;
    options.maxSize = kMaxManifestSize;
    options.bodyStart = [&](uint64_t offset) {
        if (offset != 0) return false;
        text.clear();
        return true;
    };
    options.bodyData = [&](const void* data, size_t size) {
        text.append(static_cast<const char*>(data), size);
        return true;
    };
    const ErrorCode downloadResult = http.downloadFile(manifestUrl, temp.file.get(), tempPath, options);
    temp.file.close();
    temp.chain.clear();
    if (downloadResult != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Failed to download manifest");
        return downloadResult;
    }

    const ErrorCode parseResult = parseManifestJson(text, manifest);
    if (parseResult != ErrorCode::Success) return parseResult;

    removeFileOrThrow(tempPath);
    handlerLog(LogLevel::Info, "Manifest downloaded and parsed successfully");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::processManifestFiles(const Manifest& manifest, const std::wstring& targetDir) {
    const int32_t count = static_cast<int32_t>(manifest.files.size());
    handlerLog(LogLevel::Info, "Processing " + std::to_string(count) + " files from manifest");

    progress.totalFiles = count;
    progress.totalBytes = manifest.totalSize;
    progress.processedFiles = 0;
    progress.processedBytes = 0;
    progress.startTime = detail::unixTicksNow();

    FileOperations files;
    const std::filesystem::path target(targetDir);
    const ErrorCode dirResult = files.createDirectory(target);
    if (dirResult != ErrorCode::Success) return dirResult;

    ErrorCode result = downloadAllFiles(manifest);
    if (result != ErrorCode::Success) return result;
    result = verifyAllFiles(manifest);
    if (result != ErrorCode::Success) return result;
    result = installAllFiles(manifest, target);
    if (result != ErrorCode::Success) return result;

    setProgress(progress.totalFiles, progress.totalBytes, "");
    handlerLog(LogLevel::Info, "All manifest files processed successfully");
    return ErrorCode::Success;
}

void ManifestHandler::setProgress(int32_t processedFiles, uint64_t processedBytes, const std::string& currentFile) {
    progress.processedFiles = processedFiles;
    progress.processedBytes = processedBytes;
    progress.currentFile = currentFile;

    if (progress.totalBytes != 0) {
        progress.percent = static_cast<double>(processedBytes) / static_cast<double>(progress.totalBytes) * 100.0;
    } else if (progress.totalFiles > 0) {
        progress.percent = static_cast<double>(processedFiles) / static_cast<double>(progress.totalFiles) * 100.0;
    } else {
        progress.percent = 0.0;
    }

    const int64_t elapsed = (detail::unixTicksNow() - progress.startTime) / 10000000LL;
    if (elapsed <= 0) return;
    progress.bytesPerSecond = static_cast<double>(processedBytes) / static_cast<double>(elapsed);
    if (progress.bytesPerSecond > 0) {
        // More bytes than the manifest announced: nothing is left to wait for.
        const uint64_t remaining =
            progress.totalBytes > processedBytes ? progress.totalBytes - processedBytes : 0;
        const uint64_t seconds = static_cast<uint64_t>(static_cast<double>(remaining) / progress.bytesPerSecond);
        progress.etaMs = seconds * 1000;
    }
}

void ManifestHandler::reportProgress(const std::string& fileName, uint64_t done, uint64_t total) {
    progress.currentFile = fileName;
    progress.currentFileTotal = total;
    progress.currentFileDone = done;
    progress.currentFilePercent =
        total != 0 ? static_cast<double>(done) / static_cast<double>(total) * 100.0 : 100.0;
    EventLogger::instance().downloadProgress(fileName, done, total);
}

}  // namespace korvel
