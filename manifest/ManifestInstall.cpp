// Verification of the stored files and their installation into the target.
#include <windows.h>

#include <cctype>
#include <filesystem>
#include <string>

#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/PathSafety.h"
#include "common/TextConversion.h"
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
    if (!detail::isExistingFile(file)) {
        handlerLog(LogLevel::Error, "File not found: " + pathToUtf8(file));
        return ErrorCode::FileNotFound;
    }

    FileOperations files;
    FileInfo info;
    const ErrorCode infoResult = files.getFileInfo(file, info);
    if (infoResult != ErrorCode::Success) return infoResult;

    if (info.size != entry.size) {
        handlerLog(LogLevel::Error, "File size mismatch for " + entry.path + ". Expected: " +
                                        std::to_string(entry.size) + ", Actual: " + std::to_string(info.size));
        return ErrorCode::FileHashMismatch;
    }

    const ErrorCode hashResult = files.verifyFileIntegrity(file, entry.sha256);
    if (hashResult != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Hash verification failed for: " + entry.path);
        return hashResult;
    }

    handlerLog(LogLevel::Debug, "File verification successful: " + entry.path);
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::verifyAllFiles(const Manifest& manifest) {
    handlerLog(LogLevel::Info, "Verifying all downloaded files");
    for (const ManifestFile& entry : manifest.files) {
        if (!entry.isRequired) continue;
        std::filesystem::path stored;
        if (cachePathFor(entry.sha256, stored) != ErrorCode::Success || !detail::isExistingFile(stored)) {
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
        if (cachePathFor(entry.sha256, stored) != ErrorCode::Success) {
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
    handlerLog(LogLevel::Debug, "Installing file: " + entry.path + " -> " + pathToUtf8(targetDir));
    if (!isSafeRelativePathUtf8(entry.path)) {
        handlerLog(LogLevel::Error, "Refusing unsafe install path");
        return ErrorCode::InvalidArguments;
    }
    const std::filesystem::path relative = utf8ToPath(entry.path).make_preferred();
    if (detail::crossesLink(targetDir, relative)) {
        handlerLog(LogLevel::Error, "Refusing to install through a link: " + entry.path);
        return ErrorCode::InvalidArguments;
    }

    const ErrorCode parentResult = ensureParentDirectory(targetDir, entry.path);
    if (parentResult != ErrorCode::Success) return parentResult;

    const std::filesystem::path target = targetDir / relative;

    // A file installed read-only earlier cannot be replaced on Windows until
    // the attribute is gone.
    const ErrorCode writableResult = detail::makeReplaceable(target);
    if (writableResult != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Failed to copy file to target: " + entry.path);
        return writableResult;
    }

    FileOperations files;
    const ErrorCode copyResult = files.copyFile(source, target, fullCopyOptions());
    if (copyResult != ErrorCode::Success) {
        handlerLog(LogLevel::Error, "Failed to copy file to target: " + entry.path);
        return copyResult;
    }

    EventLogger::instance().status("file:copy", "completed", entry.path);

    if (!entry.permissions.empty() && setFilePermissions(target, entry.permissions) != ErrorCode::Success) {
        handlerLog(LogLevel::Warning, "Failed to set permissions for: " + entry.path);
    }
    if (entry.isExecutable) processExecutable(entry, target);

    handlerLog(LogLevel::Debug, "File installed successfully: " + entry.path);
    return ErrorCode::Success;
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
