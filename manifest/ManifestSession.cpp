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

#include "common/DocumentRead.h"
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
    out.state = DescriptorState::Unopenable;
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN | kNoImpersonation, nullptr));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return out;
    const DocumentReadResult read = readWholeDocument(file.get(), kMaxDocumentBytes, out.text);
    if (read.outcome == DocumentReadOutcome::TooLarge) out.state = DescriptorState::TooLarge;
    if (read.outcome == DocumentReadOutcome::Read) out.state = DescriptorState::Read;
    return out;
}

ErrorCode ManifestHandler::applyManifestFromSession(const std::wstring& manifestUrl, const std::wstring& targetDir,
                                                    const std::wstring& sessionRoot,
                                                    const std::wstring& filesManifest) {
    // The manifest download and the backup use the shared cache.
    ApplyRun run;
    if (const ErrorCode code = startApply(manifestUrl, targetDir, "Applying manifest from prepared session: ", run);
        code != ErrorCode::Success) {
        return code;
    }

    // Read once: the backup's reading and the installation's see the same
    // document, whatever happens to the file meanwhile.
    const DescriptorBytes descriptor = readDescriptor(filesManifest);
    std::set<std::string> sessionFiles;
    const ErrorCode namesResult = collectSessionFiles(
        descriptor.state == DescriptorState::Read ? &descriptor.text : nullptr, sessionFiles);
    if (namesResult != ErrorCode::Success) return namesResult;
    applied.readDescriptor = true;
    applied.descriptorNames = sessionFiles;

    if (const ErrorCode code = backUpTarget(run, targetDir, sessionFiles.empty() ? nullptr : &sessionFiles);
        code != ErrorCode::Success) {
        return code;
    }
    if (const ErrorCode code = processWithRollback(
            [&] { return processPreparedSession(run.manifest, targetDir, sessionRoot, filesManifest, descriptor); },
            "Failed to process prepared session files", run, targetDir);
        code != ErrorCode::Success) {
        return code;
    }
    return finishApply(run, "Manifest applied successfully from prepared session");
}

ErrorCode ManifestHandler::processPreparedSession(const Manifest& manifest, const std::wstring& targetDir,
                                                  const std::wstring& sessionRoot, const std::wstring& filesManifest) {
    return processPreparedSession(manifest, targetDir, sessionRoot, filesManifest, readDescriptor(filesManifest));
}

ErrorCode ManifestHandler::checkSessionInputs(const std::wstring& sessionRoot, const std::wstring& filesManifest,
                                              DescriptorState state) {
    if (!isDirectoryOrThrow(fs::path(sessionRoot))) {
        handlerLog(LogLevel::Error, "Session root not found: " + wideToUtf8(sessionRoot));
        return ErrorCode::FileNotFound;
    }
    const std::string descriptorName = wideToUtf8(filesManifest);
    switch (state) {
        case DescriptorState::Missing:
            handlerLog(LogLevel::Error, "Files manifest not found: " + descriptorName);
            return ErrorCode::FileNotFound;
        case DescriptorState::Unopenable:
            handlerLog(LogLevel::Error, "Failed to open files manifest: " + descriptorName);
            return ErrorCode::FileAccessDenied;
        case DescriptorState::TooLarge:
            handlerLog(LogLevel::Error, "Failed to parse files manifest JSON: larger than " +
                                            std::to_string(kMaxDocumentBytes) + " bytes");
            return ErrorCode::ManifestParseFailed;
        case DescriptorState::Read:
            break;
    }
    return ErrorCode::Success;
}

namespace {

// The strict reading: a JSON object without NUL that has a "files" array.
ErrorCode parseStrictly(const std::string& text, Json::Value& document, Json::Value& list) {
    std::string errors;
    if (!parseDescriptor(text, document, errors)) {
        handlerLog(LogLevel::Error, "Failed to parse files manifest JSON: " + errors);
        return ErrorCode::ManifestParseFailed;
    }
    if (jsonHasEmbeddedNul(document)) {
        handlerLog(LogLevel::Error, "Files manifest contains an escaped embedded NUL");
        return ErrorCode::InvalidArguments;
    }
    list = document.isObject() ? document.get("files", Json::Value()) : Json::Value();
    if (!list.isArray()) {
        handlerLog(LogLevel::Error, "Files manifest is missing 'files' array");
        return ErrorCode::InvalidArguments;
    }
    return ErrorCode::Success;
}

// Holds the given root; the descriptor's own "sessionRoot" only warns when
// it names another folder.
ErrorCode holdRoot(const std::wstring& sessionRoot, const Json::Value& document, HeldSessionRoot& root) {
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
    return ErrorCode::Success;
}

// Delta: a required file the session does not carry must already be right
// at the target.
ErrorCode checkUnchangedTarget(const ManifestFile& entry, const fs::path& target) {
    std::string relative = entry.path;
    for (char& c : relative) {
        if (c == '\\') c = '/';
    }
    relative.erase(0, relative.find_first_not_of('/'));
    const fs::path existing = target / utf8ToPath(relative);
    const DWORD attributes = detail::fileAttributes(existing);
    const bool present = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    FileOperations files;
    if (!present || files.verifyFileIntegrity(existing, entry.sha256) != ErrorCode::Success) {
        if (present) {
            handlerLog(LogLevel::Warning, "File exists at target but hash mismatch, session missing: " + entry.path);
        }
        handlerLog(LogLevel::Error,
                   "Prepared session is missing file and target does not have valid copy: " + entry.path);
        return ErrorCode::FileNotFound;
    }
    handlerLog(LogLevel::Debug, "Delta skip: file unchanged at target - " + entry.path);
    return ErrorCode::Success;
}

}  // namespace

ErrorCode ManifestHandler::mapPreparedFiles(const Json::Value& list, const std::wstring& rootFinal,
                                            std::unordered_map<std::string, PreparedFile>& prepared) {
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
        if (!pathElementsWithin(resolved, rootFinal)) {
            handlerLog(LogLevel::Error, "Prepared file lies outside session root: " + wideToUtf8(resolved));
            return ErrorCode::InvalidArguments;
        }
        record.path = resolved;
        prepared[file] = std::move(record);
    }
    return ErrorCode::Success;
}

void ManifestHandler::startSessionProgress(const Manifest& manifest) {
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
}

ErrorCode ManifestHandler::installPreparedFile(const ManifestFile& entry, const PreparedFile& record,
                                               const std::wstring& rootFinal, const std::filesystem::path& targetDir) {
    HeldFile held;
    ErrorCode result = openPreparedFile(record.path, rootFinal, held.file);
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
    // The copy reads the handle just checked, and the bytes it writes are
    // checked once more against the manifest before they count.
    return installFromHandle(entry, held.file.get(), record.path, targetDir);
}

ErrorCode ManifestHandler::processPreparedSession(const Manifest& manifest, const std::wstring& targetDir,
                                                  const std::wstring& sessionRoot, const std::wstring& filesManifest,
                                                  const DescriptorBytes& descriptor) {
    handlerLog(LogLevel::Info, "Processing prepared session from: " + wideToUtf8(sessionRoot));
    ErrorCode result = checkSessionInputs(sessionRoot, filesManifest, descriptor.state);
    if (result != ErrorCode::Success) return result;
    Json::Value document;
    Json::Value list;
    if ((result = parseStrictly(descriptor.text, document, list)) != ErrorCode::Success) return result;
    HeldSessionRoot root;
    if ((result = holdRoot(sessionRoot, document, root)) != ErrorCode::Success) return result;
    std::unordered_map<std::string, PreparedFile> prepared;
    if ((result = mapPreparedFiles(list, root.finalPath, prepared)) != ErrorCode::Success) return result;

    startSessionProgress(manifest);
    const fs::path target(targetDir);
    int32_t processedFiles = 0;
    uint64_t processedBytes = 0;
    for (const ManifestFile& entry : manifest.files) {
        if (!entry.isRequired) continue;
        const auto found = prepared.find(entry.path);
        if (found == prepared.end()) {
            // Not in the session: the target must already hold the file.
            if ((result = checkUnchangedTarget(entry, target)) != ErrorCode::Success) return result;
            processedFiles += 1;
            processedBytes += entry.size;
            setProgress(processedFiles, processedBytes, entry.path);
            continue;
        }
        if ((result = installPreparedFile(entry, found->second, root.finalPath, target)) != ErrorCode::Success) {
            return result;
        }
        processedFiles += 1;
        processedBytes += entry.size;
        setProgress(processedFiles, processedBytes, entry.path);
        reportProgress(entry.path, entry.size, entry.size);
        if (progressCallback && !progressCallback(progress)) {
            handlerLog(LogLevel::Info, "Installation cancelled by user");
            return ErrorCode::Cancelled;
        }
    }

    setProgress(progress.totalFiles, progress.totalBytes, "");
    handlerLog(LogLevel::Info, "Prepared session files installed successfully");
    return ErrorCode::Success;
}

}  // namespace korvel
