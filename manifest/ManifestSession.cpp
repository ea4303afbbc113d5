// Updates applied from a prepared download session: a folder the caller
// filled with the update's files, and a descriptor that says which target
// file each of them is. Everything in it was written by unelevated code: a
// file is taken only when the file system places it inside the session
// root, and what is installed is what was checked, read through the one
// handle that was checked and that nobody else may write.
#include <json/reader.h>
#include <json/value.h>
#include <windows.h>

#include <exception>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/FileSystemQueries.h"
#include "common/PathSafety.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "common/Win32Util.h"
#include "manifest/ManifestHandler.h"
#include "manifest/ManifestInternal.h"
#include "manifest/SessionPaths.h"

namespace korvel {

using detail::handlerLog;
namespace fs = std::filesystem;

namespace {

// Whatever a session path opens, its other end never acts as this process.
constexpr DWORD kNoImpersonation = SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

// One prepared file of the session, as its descriptor entry gave it.
struct PreparedFile {
    fs::path path;  // resolved through the file system
    uint64_t bytes = 0;
    std::string sha256;
};

std::string lowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool parseDescriptor(const std::string& text, Json::Value& document, std::string& errors) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &document, &errors);
}

// The lenient reading, for the backup: the "file" names of the session.
// text is null when the descriptor could not be read.
ErrorCode collectSessionFiles(const std::string* text, std::set<std::string>& names) {
    Json::Value document;
    std::string errors;
    if (text == nullptr || !parseDescriptor(*text, document, errors)) return ErrorCode::Success;
    if (jsonHasEmbeddedNul(document)) {
        handlerLog(LogLevel::Error, "Prepared-session descriptor contains an escaped embedded NUL");
        return ErrorCode::InvalidArguments;
    }
    if (!document.isObject()) return ErrorCode::Success;
    const Json::Value list = document.get("files", Json::Value());
    if (!list.isArray()) return ErrorCode::Success;
    for (const Json::Value& element : list) {
        // An element that is neither an object nor null leaves as the JSON
        // library's error, before anything is touched.
        const Json::Value& file = element["file"];
        if (file.isString()) {
            const std::string name = file.asString();
            if (!isSafeRelativePathUtf8(name)) {
                handlerLog(LogLevel::Error, "Prepared-session descriptor contains an unsafe relative path");
                return ErrorCode::InvalidArguments;
            }
            names.insert(name);
        } else if (element["path"].isString()) {
            // Not used here; text that is not UTF-8 fails the run already.
            utf8ToPath(element["path"].asString());
        }
    }
    return ErrorCode::Success;
}

// Opens a prepared file once for the whole of its check and installation:
// reading shared, writing and deletion refused to everyone else. Its
// handle's final path must lie inside the session root, whatever link the
// path crossed by now.
ErrorCode openPreparedFile(const fs::path& prepared, const std::wstring& rootFinal, ScopedHandle& out) {
    const std::string shown = pathToUtf8(prepared);
    const DWORD attributes = detail::fileAttributes(prepared);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        handlerLog(LogLevel::Error, "Prepared file not found on disk: " + shown);
        return ErrorCode::FileNotFound;
    }
    ScopedHandle file(CreateFileW(toExtendedLengthPath(prepared.wstring()).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | kNoImpersonation, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            handlerLog(LogLevel::Error, "Prepared file not found on disk: " + shown);
            return ErrorCode::FileNotFound;
        }
        FileOperations::logWin32Failure("CreateFile (prepared file)", prepared, code);
        return FileOperations::mapWin32Error(code);
    }
    FILE_BASIC_INFO basic{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        handlerLog(LogLevel::Error, "Prepared file not found on disk: " + shown);
        return ErrorCode::FileNotFound;
    }
    std::wstring raw;
    if (!getFinalPathByHandle(file.get(), raw)) {
        const uint32_t code = lastErrorOr(ERROR_INVALID_FUNCTION);
        FileOperations::logWin32Failure("GetFinalPathNameByHandle", prepared, code);
        return FileOperations::mapWin32Error(code);
    }
    const std::wstring finalPath = fromExtendedLengthPath(std::move(raw));
    if (!pathElementsWithin(finalPath, rootFinal)) {
        handlerLog(LogLevel::Error, "Prepared file lies outside session root: " + wideToUtf8(finalPath));
        return ErrorCode::InvalidArguments;
    }
    out = std::move(file);
    return ErrorCode::Success;
}

}  // namespace

ManifestHandler::DescriptorBytes ManifestHandler::readDescriptor(const std::wstring& filesManifest) {
    DescriptorBytes out;
    const fs::path path(filesManifest);
    // Any entry counts as present, a dangling link included.
    if (!fs::exists(fs::symlink_status(path))) return out;
    out.state = DescriptorBytes::State::Unopenable;
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN | kNoImpersonation, nullptr));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return out;
    std::string text;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return out;
        if (got == 0) break;
        text.append(buffer, got);
        if (text.size() > kMaxManifestSize) {
            out.state = DescriptorBytes::State::TooLarge;
            return out;
        }
    }
    out.state = DescriptorBytes::State::Read;
    out.text = std::move(text);
    return out;
}

ErrorCode ManifestHandler::applyManifestFromSession(const std::wstring& manifestUrl, const std::wstring& targetDir,
                                                    const std::wstring& sessionRoot,
                                                    const std::wstring& filesManifest) {
    EventLogger& events = EventLogger::instance();
    const std::string url8 = wideToUtf8(manifestUrl);
    handlerLog(LogLevel::Info, "Applying manifest from prepared session: " + url8);
    events.manifestProcessing(url8, "starting", -1);

    // The manifest download and the backup use the shared cache.
    ScopedHandle cacheMutex;
    HeldMutex cacheLock;
    Manifest manifest;
    const ErrorCode begun = beginApply(manifestUrl, cacheMutex, cacheLock, manifest);
    if (begun != ErrorCode::Success) return begun;
    ScopedHandle targetMutex;
    HeldMutex targetLock;
    const ErrorCode locked = acquireTargetLock(targetDir, targetMutex, targetLock);
    if (locked != ErrorCode::Success) return locked;
    const int fileCount = static_cast<int>(manifest.files.size());

    // Read once: the backup's reading and the installation's see the same
    // document, whatever happens to the file meanwhile.
    const DescriptorBytes descriptor = readDescriptor(filesManifest);
    std::set<std::string> sessionFiles;
    const ErrorCode namesResult = collectSessionFiles(
        descriptor.state == DescriptorBytes::State::Read ? &descriptor.text : nullptr, sessionFiles);
    if (namesResult != ErrorCode::Success) return namesResult;
    applied.readDescriptor = true;
    applied.descriptorNames = sessionFiles;

    // No target file is replaced unless its old content is safely kept.
    std::wstring backupId;
    const ErrorCode backupResult =
        createBackup(manifest, targetDir, backupId, sessionFiles.empty() ? nullptr : &sessionFiles);
    if (backupResult != ErrorCode::Success) return backupFailed(backupResult, backupId, url8, fileCount);

    const ErrorCode result = processWithRollback(
        [&] { return processPreparedSession(manifest, targetDir, sessionRoot, filesManifest, descriptor); },
        "Failed to process prepared session files", backupId, targetDir, url8, fileCount);
    if (result != ErrorCode::Success) return result;

    cleanupBackup(backupId);
    events.manifestProcessing(url8, "completed", fileCount);
    handlerLog(LogLevel::Info, "Manifest applied successfully from prepared session");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::processPreparedSession(const Manifest& manifest, const std::wstring& targetDir,
                                                  const std::wstring& sessionRoot, const std::wstring& filesManifest) {
    return processPreparedSession(manifest, targetDir, sessionRoot, filesManifest, readDescriptor(filesManifest));
}

ErrorCode ManifestHandler::processPreparedSession(const Manifest& manifest, const std::wstring& targetDir,
                                                  const std::wstring& sessionRoot, const std::wstring& filesManifest,
                                                  const DescriptorBytes& descriptor) {
    handlerLog(LogLevel::Info, "Processing prepared session from: " + wideToUtf8(sessionRoot));
    if (!isDirectoryOrThrow(fs::path(sessionRoot))) {
        handlerLog(LogLevel::Error, "Session root not found: " + wideToUtf8(sessionRoot));
        return ErrorCode::FileNotFound;
    }

    const std::string descriptorName = wideToUtf8(filesManifest);
    switch (descriptor.state) {
        case DescriptorBytes::State::Missing:
            handlerLog(LogLevel::Error, "Files manifest not found: " + descriptorName);
            return ErrorCode::FileNotFound;
        case DescriptorBytes::State::Unopenable:
            handlerLog(LogLevel::Error, "Failed to open files manifest: " + descriptorName);
            return ErrorCode::FileAccessDenied;
        case DescriptorBytes::State::TooLarge:
            handlerLog(LogLevel::Error, "Failed to parse files manifest JSON: larger than " +
                                            std::to_string(kMaxManifestSize) + " bytes");
            return ErrorCode::ManifestParseFailed;
        case DescriptorBytes::State::Read:
            break;
    }
    Json::Value document;
    std::string errors;
    if (!parseDescriptor(descriptor.text, document, errors)) {
        handlerLog(LogLevel::Error, "Failed to parse files manifest JSON: " + errors);
        return ErrorCode::ManifestParseFailed;
    }
    if (jsonHasEmbeddedNul(document)) {
        handlerLog(LogLevel::Error, "Files manifest contains an escaped embedded NUL");
        return ErrorCode::InvalidArguments;
    }
    const Json::Value list = document.isObject() ? document.get("files", Json::Value()) : Json::Value();
    if (!list.isArray()) {
        handlerLog(LogLevel::Error, "Files manifest is missing 'files' array");
        return ErrorCode::InvalidArguments;
    }

    HeldSessionRoot root;
    std::string failure;
    if (!holdSessionRoot(sessionRoot, root, failure)) {
        handlerLog(LogLevel::Error, "Failed to resolve session root path: " + failure);
        return ErrorCode::FileNotFound;
    }

    const Json::Value declared = document.get("sessionRoot", Json::Value());
    if (declared.isString()) {
        const fs::path declaredRoot = utf8ToPath(declared.asString());
        if (!declaredRoot.empty()) {
            std::wstring declaredFinal;
            uint32_t error = 0;
            if (!resolveFinalPath(declaredRoot.wstring(), declaredFinal, error)) {
                handlerLog(LogLevel::Warning, "Unable to canonicalize session root from descriptor");
            } else if (!samePath(declaredFinal, root.finalPath)) {
                handlerLog(LogLevel::Warning, "Session root in descriptor does not match provided path");
            }
        }
    }

    std::unordered_map<std::string, PreparedFile> prepared;
    for (const Json::Value& element : list) {
        if (!element.isMember("file") || !element.isMember("path")) {
            handlerLog(LogLevel::Error, "Files manifest entry missing required fields");
            return ErrorCode::ManifestParseFailed;
        }
        const std::string file = element["file"].asString();
        if (!isSafeRelativePathUtf8(file)) {
            handlerLog(LogLevel::Error, "Files manifest contains an unsafe relative path");
            return ErrorCode::InvalidArguments;
        }
        const fs::path location = utf8ToPath(element["path"].asString());
        PreparedFile record;
        record.bytes = element.get("bytes", Json::Value(Json::UInt64(0))).asUInt64();
        record.sha256 = element.get("sha256", Json::Value("")).asString();
        std::wstring resolved;
        uint32_t error = 0;
        if (!resolveFinalPath(location.wstring(), resolved, error)) {
            handlerLog(LogLevel::Error, "Prepared file path could not be resolved: " + pathToUtf8(location));
            return ErrorCode::FileNotFound;
        }
        if (!pathElementsWithin(resolved, root.finalPath)) {
            handlerLog(LogLevel::Error, "Prepared file lies outside session root: " + wideToUtf8(resolved));
            return ErrorCode::InvalidArguments;
        }
        record.path = resolved;
        prepared[file] = std::move(record);
    }

    progress.totalFiles = static_cast<int32_t>(manifest.files.size());
    uint64_t totalBytes = manifest.totalSize;
    if (totalBytes == 0) {
        for (const ManifestFile& entry : manifest.files) {
            if (entry.isRequired) totalBytes += entry.size;
        }
    }
    progress.totalBytes = totalBytes;
    progress.processedFiles = 0;
    progress.processedBytes = 0;
    progress.startTime = detail::unixTicksNow();

    const fs::path target(targetDir);
    FileOperations files;
    int32_t processedFiles = 0;
    uint64_t processedBytes = 0;
    for (const ManifestFile& entry : manifest.files) {
        if (!entry.isRequired) continue;
        const auto found = prepared.find(entry.path);
        if (found != prepared.end()) {
            const PreparedFile& record = found->second;
            HeldFile held;
            ErrorCode result = openPreparedFile(record.path, root.finalPath, held.file);
            if (result != ErrorCode::Success) return result;
            if (record.bytes != 0 && record.bytes != entry.size) {
                handlerLog(LogLevel::Warning, "Prepared file size metadata mismatch for: " + entry.path);
            }
            if (!record.sha256.empty() && lowerAscii(record.sha256) != lowerAscii(entry.sha256)) {
                handlerLog(LogLevel::Warning, "Prepared file hash metadata mismatch for: " + entry.path);
            }
            handlerLog(LogLevel::Debug, "Verifying file: " + entry.path);
            result = verifyHandle(entry, record.path, held);
            if (result != ErrorCode::Success) return result;
            handlerLog(LogLevel::Debug, "File verification successful: " + entry.path);
            // The copy reads the handle just checked, and the bytes it writes
            // are checked once more against the manifest before they count.
            result = installFromHandle(entry, held.file.get(), record.path, target);
            if (result != ErrorCode::Success) return result;
            held.file.close();

            processedFiles += 1;
            processedBytes += entry.size;
            setProgress(processedFiles, processedBytes, entry.path);
            reportProgress(entry.path, entry.size, entry.size);
            if (progressCallback && !progressCallback(progress)) {
                handlerLog(LogLevel::Info, "Installation cancelled by user");
                return ErrorCode::Cancelled;
            }
            continue;
        }

        // Not in the session: the target must already hold the file.
        std::string relative = entry.path;
        for (char& c : relative) {
            if (c == '\\') c = '/';
        }
        relative.erase(0, relative.find_first_not_of('/'));
        const fs::path existing = target / utf8ToPath(relative);
        const DWORD attributes = detail::fileAttributes(existing);
        const bool present = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        if (!present || files.verifyFileIntegrity(existing, entry.sha256) != ErrorCode::Success) {
            if (present) {
                handlerLog(LogLevel::Warning, "File exists at target but hash mismatch, session missing: " + entry.path);
            }
            handlerLog(LogLevel::Error,
                       "Prepared session is missing file and target does not have valid copy: " + entry.path);
            return ErrorCode::FileNotFound;
        }
        handlerLog(LogLevel::Debug, "Delta skip: file unchanged at target - " + entry.path);
        processedFiles += 1;
        processedBytes += entry.size;
        setProgress(processedFiles, processedBytes, entry.path);
    }

    setProgress(progress.totalFiles, progress.totalBytes, "");
    handlerLog(LogLevel::Info, "Prepared session files installed successfully");
    return ErrorCode::Success;
}

}  // namespace korvel
