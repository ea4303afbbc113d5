// Verification of the stored files and their installation into the target.
#include <windows.h>

#include <cctype>
#include <cwctype>
#include <vector>
#include <filesystem>
#include <string>

#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/PathSafety.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "manifest/ManifestHandler.h"
#include "manifest/ManifestInternal.h"

namespace korvel {

using detail::fullCopyOptions;
using detail::handlerLog;

namespace {

std::string lowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

ErrorCode ManifestHandler::verifyFile(const ManifestFile& entry, const std::filesystem::path& file) {
    handlerLog(LogLevel::Debug, "Verifying file: " + entry.path);
    // A store file this run wrote or checked is not read again here: the
    // installation checks its bytes once more as it writes them.
    if (transaction.isChecked(file.wstring(), entry.size)) {
        handlerLog(LogLevel::Debug, "File verification successful: " + entry.path);
        return ErrorCode::Success;
    }
    if (!detail::isExistingFile(file)) {
        handlerLog(LogLevel::Error, "File not found: " + pathToUtf8(file));
        return ErrorCode::FileNotFound;
    }
    HeldFile held;
    const ErrorCode result = verifyOpenFile(entry, file, held);
    if (result != ErrorCode::Success) return result;
    std::filesystem::path relative;
    if (cache.isOpen() && cache.contains(file, relative)) {
        // Its times and attributes are what a target kept as it is takes
        // from it; read now, through the handle that was proven, they spare
        // opening it again for that.
        FILE_BASIC_INFO basics{};
        const bool read = GetFileInformationByHandleEx(held.file.get(), FileBasicInfo, &basics, sizeof basics) != FALSE;
        transaction.noteChecked(file.wstring(), held.size, read ? &basics : nullptr);
    }
    handlerLog(LogLevel::Debug, "File verification successful: " + entry.path);
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::verifyOpenFile(const ManifestFile& entry, const std::filesystem::path& file,
                                          HeldFile& held) {
    const ErrorCode opened = openFileAt(file, GENERIC_READ, FILE_SHARE_READ, false, held);
    if (opened != ErrorCode::Success) {
        if (opened == ErrorCode::FileNotFound) handlerLog(LogLevel::Error, "File not found: " + pathToUtf8(file));
        return opened;
    }
    return verifyHandle(entry, file, held);
}

ErrorCode ManifestHandler::verifyHandle(const ManifestFile& entry, const std::filesystem::path& file, HeldFile& held) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(held.file.get(), &size)) {
        const DWORD code = GetLastError();
        FileOperations::logWin32Failure("GetFileSizeEx", file, code);
        return FileOperations::mapWin32Error(code);
    }
    const uint64_t actualSize = static_cast<uint64_t>(size.QuadPart);
    if (actualSize != entry.size) {
        handlerLog(LogLevel::Error, "File size mismatch for " + entry.path + ". Expected: " +
                                        std::to_string(entry.size) + ", Actual: " + std::to_string(actualSize));
        return ErrorCode::FileHashMismatch;
    }
    EventLogger::instance().log(LogLevel::Debug, "Verifying file integrity: " + pathToUtf8(file), "FileOperations");
    FileOperations files;
    std::string digest;
    uint64_t hashedSize = 0;
    ErrorCode hashResult = files.hashHandle(held.file.get(), file, scratch, digest, hashedSize);
    if (hashResult == ErrorCode::Success && (hashedSize != entry.size || !FileOperations::digestsEqual(digest, entry.sha256))) {
        EventLogger::instance().log(LogLevel::Error, "Hash mismatch. Expected: " + entry.sha256 + ", Actual: " + digest,
                                    "FileOperations");
        hashResult = ErrorCode::FileHashMismatch;
    }
    if (hashResult != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Hash verification failed for: " + entry.path);
        return hashResult;
    }
    held.size = hashedSize;
    held.sha256 = digest;
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::verifyAllFiles(const Manifest& manifest) {
    handlerLog(LogLevel::Info, "Verifying all downloaded files");
    for (const ManifestFile& entry : manifest.files) {
        if (!entry.isRequired) continue;
        std::filesystem::path stored;
        const ErrorCode found = cachePathFor(entry.sha256, stored);
        const bool held = transaction.isChecked(stored.wstring());
        // cachePathFor found a file (not a folder) there, or nothing.
        if (!held && found != ErrorCode::Success) {
            handlerLog(LogLevel::Error, "File not found in cache: " + entry.path);
            return ErrorCode::FileNotFound;
        }
        const ErrorCode result = verifyFile(entry, stored);
        if (result != ErrorCode::Success) {
            handlerLog(LogLevel::Error, "File verification failed: " + entry.path);
            return result;
        }
    }
    handlerLog(LogLevel::Info, "All files verified successfully");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::installAllFiles(const Manifest& manifest, const std::filesystem::path& targetDir) {
    handlerLog(LogLevel::Info, "Installing all files to target directory");
    int installed = 0;
    for (const ManifestFile& entry : manifest.files) {
        if (!entry.isRequired) continue;
        std::filesystem::path stored;
        const ErrorCode found = cachePathFor(entry.sha256, stored);
        if (found != ErrorCode::Success && !transaction.isChecked(stored.wstring())) {
            handlerLog(LogLevel::Error, "File not found for installation: " + entry.path);
            return ErrorCode::FileNotFound;
        }
        const ErrorCode result = installFile(entry, stored, targetDir);
        if (result != ErrorCode::Success) {
            handlerLog(LogLevel::Error, "Failed to install file: " + entry.path);
            return result;
        }
        reportProgress(entry.path, entry.size, entry.size);
        installed += 1;
    }
    handlerLog(LogLevel::Info, "All files installed successfully: " + std::to_string(installed) + " files");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::installFile(const ManifestFile& entry, const std::filesystem::path& source,
                                       const std::filesystem::path& targetDir) {
    // A target that held the entry's bytes at the backup is kept if it still
    // does, and then takes only the store file's times and attributes, noted
    // when this run checked that file: it is opened only for a copy.
    FILE_BASIC_INFO checked{};
    if (transaction.isUnchanged(entry.path) && transaction.checkedBasics(source.wstring(), entry.size, checked)) {
        return installFromSource(entry, nullptr, &checked, source, targetDir);
    }
    HeldFile from;
    const ErrorCode opened = openFileAt(source, GENERIC_READ, FILE_SHARE_READ, false, from);
    if (opened != ErrorCode::Success) {
        handlerLog(LogLevel::Debug, "Installing file: " + entry.path + " -> " + pathToUtf8(targetDir));
        reportUnopenedSource(entry, source, opened);
        return opened;
    }
    return installFromHandle(entry, from.file.get(), source, targetDir);
}

void ManifestHandler::reportUnopenedSource(const ManifestFile& entry, const std::filesystem::path& source,
                                           ErrorCode opened) {
    FileOperations::logWin32Failure("CreateFile (source)", source,
                                    opened == ErrorCode::FileNotFound ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    handlerLog(LogLevel::Error, "Failed to copy file to target: " + entry.path);
}

ErrorCode ManifestHandler::installFromHandle(const ManifestFile& entry, HANDLE source,
                                             const std::filesystem::path& sourcePath,
                                             const std::filesystem::path& targetDir) {
    return installFromSource(entry, source, nullptr, sourcePath, targetDir);
}

ErrorCode ManifestHandler::installFromSource(const ManifestFile& entry, HANDLE source,
                                             const FILE_BASIC_INFO* sourceBasics,
                                             const std::filesystem::path& sourcePath,
                                             const std::filesystem::path& targetDir) {
    handlerLog(LogLevel::Debug, "Installing file: " + entry.path + " -> " + pathToUtf8(targetDir));
    if (!isSafeRelativePathUtf8(entry.path)) {
        handlerLog(LogLevel::Error, "Refusing unsafe install path");
        return ErrorCode::InvalidArguments;
    }
    const std::filesystem::path relative = utf8ToPath(entry.path).make_preferred();
    // One walk down the target's names serves the link check, the folders
    // to be made and whether the file is there: each look at a missing name
    // costs a whole listing of its folder on some systems (Wine).
    detail::PathWalk walk;
    if (detail::crossesLink(targetDir, relative, walk)) {
        handlerLog(LogLevel::Error, "Refusing to install through a link: " + entry.path);
        return ErrorCode::InvalidArguments;
    }

    // The folders on the way that are not there yet are this run's own.
    std::vector<std::string> newFolders;
    {
        std::filesystem::path folder;
        size_t index = 0;
        for (const auto& part : relative.parent_path()) {
            folder /= part;
            if (index++ >= walk.existing) newFolders.push_back(pathToUtf8(folder));
        }
    }
    const ErrorCode parentResult = ensureParentDirectory(targetDir, entry.path);
    if (parentResult != ErrorCode::Success) return parentResult;
    transaction.noteCreatedFolders(newFolders);

    const std::filesystem::path target = targetDir / relative;
    // Making the folders on the way leaves the file as the walk saw it.
    const DWORD targetAttributes = walk.lastAttributes;
    const bool existed = targetAttributes != INVALID_FILE_ATTRIBUTES;
    removeStaleTemporaries(target);

    if (transaction.takeUnchanged(entry.path)) {
        FILE_BASIC_INFO sourceInfo{};
        if (sourceBasics != nullptr) sourceInfo = *sourceBasics;
        const bool known = sourceBasics != nullptr ||
                           GetFileInformationByHandleEx(source, FileBasicInfo, &sourceInfo, sizeof sourceInfo);
        if (known && keepInstalled(entry, sourceInfo, sourcePath, target)) return finishInstall(entry, target);
    }

    // The copy reads the store file: opened here when it was not yet.
    HeldFile from;
    if (source == nullptr) {
        const ErrorCode opened = openFileAt(sourcePath, GENERIC_READ, FILE_SHARE_READ, false, from);
        if (opened != ErrorCode::Success) {
            reportUnopenedSource(entry, sourcePath, opened);
            return opened;
        }
        source = from.file.get();
    }

    // A file installed read-only earlier cannot be replaced on Windows until
    // the attribute is gone.
    const ErrorCode writableResult = detail::makeReplaceable(target, targetAttributes);
    if (writableResult != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Failed to copy file to target: " + entry.path);
        return writableResult;
    }

    // Only bytes that are the manifest's, checked as they are written into
    // the target's temporary file, replace the target.
    FileOperations files;
    const ErrorCode copyResult =
        files.copyVerified(source, sourcePath, target, detail::fullCopyOptions(), entry.size, entry.sha256, scratch);
    if (copyResult != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Failed to copy file to target: " + entry.path);
        return copyResult;
    }
    if (!existed) transaction.noteCreatedFile(entry.path);

    return finishInstall(entry, target);
}

ErrorCode ManifestHandler::finishInstall(const ManifestFile& entry, const std::filesystem::path& target) {
    EventLogger::instance().status("file:copy", "completed", entry.path);

    if (!entry.permissions.empty() && setFilePermissions(target, entry.permissions) != ErrorCode::Success) {
        handlerLog(LogLevel::Warning, "Failed to set permissions for: " + entry.path);
    }
    if (entry.isExecutable) processExecutable(entry, target);

    handlerLog(LogLevel::Debug, "File installed successfully: " + entry.path);
    if (installObserver) installObserver(entry.path);
    return ErrorCode::Success;
}

bool ManifestHandler::keepInstalled(const ManifestFile& entry, const FILE_BASIC_INFO& sourceInfo,
                                    const std::filesystem::path& sourcePath, const std::filesystem::path& target) {
    // The file at the target's name is read once more through a handle
    // that denies writing and deleting until it is kept: it must hold the
    // entry's bytes and have no other name (a copy would have left another
    // name's file alone); it then gets what a copy would have given it: the
    // source's times and attributes.
    ScopedHandle held(CreateFileW(target.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    // The link count and attributes come from their own classes: the whole
    // by-handle record also reads the volume, which Wine answers slowly.
    FILE_STANDARD_INFO standard{};
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!held || !GetFileInformationByHandleEx(held.get(), FileStandardInfo, &standard, sizeof standard) ||
        standard.NumberOfLinks != 1 || standard.Directory ||
        !GetFileInformationByHandleEx(held.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    FileOperations files;
    std::string digest;
    uint64_t hashedSize = 0;
    if (files.hashHandle(held.get(), target, scratch, digest, hashedSize) != ErrorCode::Success ||
        hashedSize != entry.size || !FileOperations::digestsEqual(digest, entry.sha256)) {
        return false;
    }
    FILE_BASIC_INFO info{};
    info.CreationTime = sourceInfo.CreationTime;
    info.LastAccessTime = sourceInfo.LastAccessTime;
    info.LastWriteTime = sourceInfo.LastWriteTime;
    info.FileAttributes =
        sourceInfo.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(held.get(), FileBasicInfo, &info, sizeof info)) return false;
    FileOperations::reportCopied(sourcePath, target, entry.size);
    return true;
}

void ManifestHandler::removeStaleTemporaries(const std::filesystem::path& target) {
    // "<name>.~<8 hex digits>.tmp": what a copy that was cut off left beside
    // the file. Only plain files of exactly that form are ours. Each folder
    // is listed once per run (a listing reads the whole folder); what it
    // held is kept until the file it belongs to is installed.
    const std::filesystem::path folder = target.parent_path();
    std::wstring key = folder.wstring();
    for (wchar_t& c : key) c = static_cast<wchar_t>(std::towupper(c));
    auto listed = staleTemporaries.find(key);
    if (listed == staleTemporaries.end()) {
        std::vector<std::wstring> found;
        WIN32_FIND_DATAW data;
        const std::wstring pattern = (folder / L"*.~*.tmp").wstring();
        FindHandle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
        if (find) {
            do {
                const std::wstring name = data.cFileName;
                if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
                if (name.size() <= 14) continue;
                const std::wstring tail = name.substr(name.size() - 14);
                bool ours = tail.compare(0, 2, L".~") == 0 && tail.compare(10, 4, L".tmp") == 0;
                for (size_t i = 2; ours && i < 10; ++i) ours = std::iswxdigit(tail[i]) != 0;
                if (ours) found.push_back(name);
            } while (FindNextFileW(find.get(), &data));
        }
        listed = staleTemporaries.emplace(key, std::move(found)).first;
    }
    std::vector<std::wstring>& names = listed->second;
    if (names.empty()) return;
    const std::wstring name = target.filename().wstring();
    std::vector<std::filesystem::path> stale;
    for (auto it = names.begin(); it != names.end();) {
        if (it->size() == name.size() + 14 && it->compare(0, name.size(), name) == 0) {
            stale.push_back(folder / *it);
            it = names.erase(it);
        } else {
            ++it;
        }
    }
    FileOperations files;
    for (const auto& file : stale) {
        detail::makeReplaceable(file);
        files.deleteFile(file);
    }
}

ErrorCode ManifestHandler::ensureParentDirectory(const std::filesystem::path& targetDir,
                                                 const std::string& relativePath) {
    if (!isSafeRelativePathUtf8(relativePath)) return ErrorCode::InvalidArguments;
    const std::filesystem::path full = targetDir / utf8ToPath(relativePath).make_preferred();
    FileOperations files;
    return files.createDirectory(full.parent_path());
}

ErrorCode ManifestHandler::setFilePermissions(const std::filesystem::path& file, const std::string& permissions) {
    handlerLog(LogLevel::Debug, "Setting permissions " + permissions + " for: " + pathToUtf8(file));
    FileOperations files;
    if (permissions == "755" || permissions == "644") return files.setReadOnly(file, false);
    if (permissions == "444") return files.setReadOnly(file, true);
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::processExecutable(const ManifestFile& entry, const std::filesystem::path& file) {
    handlerLog(LogLevel::Debug, "Processing executable file: " + entry.path);
    const std::string extension = lowerAscii(pathToUtf8(file.extension()));
    if (extension == ".exe" || extension == ".dll") {
        FileOperations files;
        if (files.verifySignature(file) != ErrorCode::Success) {
            handlerLog(LogLevel::Warning, "Executable signature verification failed: " + entry.path);
        }
    }
    return ErrorCode::Success;
}

}  // namespace korvel
