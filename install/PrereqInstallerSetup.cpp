// Download, verification and installation of the prerequisite installers,
// and the clean-ups (the hidden runs themselves are in PrereqRunner.cpp).
#include "install/PrereqInstaller.h"

#include <winternl.h>

#include <system_error>

#include "common/BytePump.h"
#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/PinnedChildFolder.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/Win32Util.h"

namespace korvel {
namespace fs = std::filesystem;

namespace {

const char kComponent[] = "PrereqInstaller";

const ComponentLog logLine(kComponent);

std::string kindNumber(PrereqType type) { return std::to_string(static_cast<int32_t>(type)); }

const PrereqInfo* findRow(const std::vector<PrereqInfo>& rows, PrereqType type) {
    for (const PrereqInfo& row : rows) {
        if (row.type == type) return &row;
    }
    return nullptr;
}

std::wstring fullPathOf(const fs::path& path) {
    std::wstring full;
    uint32_t error = 0;
    if (!getFullPathName(path.wstring(), full, error)) return std::wstring();
    return full;
}

// Opens the download's file for writing as the folder's own plain entry:
// made new when absent (so a dangling link is never created through),
// otherwise opened as itself, and then proven by its handle to be a plain
// file with one name at its place. A link planted in the folder is never
// written through.
ErrorCode openDownloadFile(const fs::path& destination, ScopedHandle& file) {
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
    constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    file.reset(CreateFileW(destination.c_str(), kAccess, FILE_SHARE_READ, nullptr, CREATE_NEW, kFlags, nullptr));
    if (!file.valid() && (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) {
        file.reset(CreateFileW(destination.c_str(), kAccess, FILE_SHARE_READ, nullptr, OPEN_EXISTING, kFlags, nullptr));
    }
    if (!file.valid()) {
        const DWORD code = GetLastError();
        FileOperations::logWin32Failure("CreateFile (download)", destination, code);
        return FileOperations::mapWin32Error(code);
    }
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    std::wstring finalPath;
    const bool plain =
        GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
        GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof standard) &&
        standard.NumberOfLinks == 1 && getFinalPathByHandle(file.get(), finalPath) &&
        samePath(fromExtendedLengthPath(std::move(finalPath)), fullPathOf(destination));
    if (!plain) {
        file.close();
        logLine(LogLevel::Error, "Refusing to download into an entry that is not a plain file: " +
                                     pathToUtf8(destination));
        return ErrorCode::FileAccessDenied;
    }
    return ErrorCode::Success;
}

// Runs one installer with its fixed arguments and judges its exit code.
ErrorCode runAndJudge(PrereqInstaller& installer, PrereqType type, const fs::path& installerPath,
                      const wchar_t* arguments) {
    uint32_t exitCode = 0;
    if (const ErrorCode code = installer.runInstaller(installerPath, arguments, exitCode); code != ErrorCode::Success)
        return code;
    return installer.checkInstallerExitCode(type, exitCode);
}

}  // namespace

std::wstring PrereqInstaller::downloadUrlFor(const PrereqInfo& row) const {
    if (!row.downloadUrl.empty()) return row.downloadUrl;
    std::wstring url = cdnRoot_;
    if (!url.empty() && url.back() != L'/') url += L'/';
    return url + L"prerequisites/" + row.installerFile;
}

fs::path PrereqInstaller::installerPathFor(const PrereqInfo& row) const { return downloadDir_ / row.installerFile; }

bool PrereqInstaller::buildDownloadFolderSecurity(std::vector<unsigned char>& descriptor) {
    descriptor.clear();
    unsigned char administrators[SECURITY_MAX_SID_SIZE];
    unsigned char system[SECURITY_MAX_SID_SIZE];
    DWORD administratorsSize = sizeof administrators;
    DWORD systemSize = sizeof system;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize) ||
        !CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize)) {
        return false;
    }
    const DWORD aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + administratorsSize +
                          systemSize;
    std::vector<unsigned char> aclBuffer(aclSize);
    ACL* acl = reinterpret_cast<ACL*>(aclBuffer.data());
    // Inherited by every file and folder created below, so the installers
    // get the same protection as the folder.
    const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    if (!InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, administrators) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, system)) {
        return false;
    }
    SECURITY_DESCRIPTOR absolute;
    if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&absolute, administrators, FALSE) ||
        !SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE) ||
        // Protected: nothing is inherited from the user's temporary folder.
        !SetSecurityDescriptorControl(&absolute, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return false;
    }
    DWORD size = 0;
    MakeSelfRelativeSD(&absolute, nullptr, &size);
    if (size == 0) return false;
    descriptor.resize(size);
    if (!MakeSelfRelativeSD(&absolute, descriptor.data(), &size)) {
        descriptor.clear();
        return false;
    }
    return true;
}

ErrorCode PrereqInstaller::createDownloadDirectory() {
    releaseVerifiedInstallers();
    downloadDirPin_.reset();
    // The line names the folder only; a Windows error is in the file event
    // before it.
    const auto fail = [this]() {
        logLine(LogLevel::Error, "Failed to create download directory: " + pathToUtf8(downloadDir_));
        return ErrorCode::DirectoryCreateFailed;
    };

    // Nothing is removed or made in the temporary folder before it is held
    // and proven to be itself, not a link to somewhere else.
    PinnedDirectory parent;
    uint32_t parentError = 0;
    if (!pinParentFolder(downloadDir_.parent_path().wstring(), parent, parentError)) {
        EventLogger::instance().fileOperation("mkdir", downloadDir_, false, parentError, true);
        return fail();
    }

    // Whatever lies there was put there by someone else: it goes first,
    // through the pinned removal, which follows no link.
    const DWORD existing = GetFileAttributesW(downloadDir_.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        // Not a folder: deleted as an entry of the pinned temporary folder,
        // which proves through the entry's own handle that it is no link.
        uint32_t error = 0;
        bool containmentViolation = false;
        if (!parent.deleteEntry(fullPathOf(downloadDir_), pathToUtf8(downloadDir_.filename()), error,
                                containmentViolation)) {
            EventLogger::instance().fileOperation("delete", downloadDir_, false, error, true);
            return fail();
        }
    } else if (existing != INVALID_FILE_ATTRIBUTES ||
               (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)) {
        if (FileOperations().removeDirectory(downloadDir_, true) != ErrorCode::Success) {
            return fail();
        }
    }

    std::vector<unsigned char> descriptor;
    if (!buildDownloadFolderSecurity(descriptor)) return fail();

    // Created and opened in one step, through the pinned temporary folder:
    // between a separate creation and opening, unelevated code could rename
    // the new folder away (it owns the parent) and put its own in its place.
    // No delete sharing: the folder can be neither renamed nor removed while
    // the run holds it.
    bool created = false;
    uint32_t error = 0;
    if (!openChildFolder(parent, downloadDir_.filename().wstring(), ChildDisposition::CreateNew,
                         FILE_LIST_DIRECTORY | FILE_TRAVERSE, descriptor.data(), downloadDirPin_, created, error)) {
        EventLogger::instance().fileOperation("mkdir", downloadDir_, false, error, true);
        return fail();
    }
    EventLogger::instance().fileOperation("mkdir", downloadDir_, true, 0, false);
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::downloadMissing() {
    logLine(LogLevel::Info, "Downloading missing prerequisites");

    // An installer runs elevated: one whose digest is not known is never
    // fetched, let alone run.
    for (const PrereqInfo& row : prerequisites_) {
        if (row.required && !row.installed && row.sha256.empty()) {
            logLine(LogLevel::Error, "No SHA-256 digest configured for: " + wideToUtf8(row.name) +
                                         "; its installer is not downloaded or run");
            return ErrorCode::PrereqVerifyFailed;
        }
    }

    if (const ErrorCode code = createDownloadDirectory(); code != ErrorCode::Success) return code;

    EventLogger& events = EventLogger::instance();
    for (const PrereqInfo& row : prerequisites_) {
        if (!row.required || row.installed) continue;
        const std::string name = wideToUtf8(row.name);
        logLine(LogLevel::Info, "Downloading: " + name);
        events.progress("download:" + name, 0, "Starting download");
        if (const ErrorCode code = downloadPrerequisite(row.type, installerPathFor(row)); code != ErrorCode::Success) {
            logLine(LogLevel::Error, "Failed to download: " + name);
            return code;
        }
        events.progress("download:" + name, 100, "Download complete");
    }
    logLine(LogLevel::Info, "All prerequisites downloaded successfully");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::downloadPrerequisite(PrereqType type, const fs::path& installerPath) {
    const PrereqInfo* row = findRow(prerequisites_, type);
    if (row == nullptr) {
        logLine(LogLevel::Error, "Prerequisite type not found: " + kindNumber(type));
        return ErrorCode::InvalidArguments;
    }
    return downloadWithRetry(downloadUrlFor(*row), installerPath, row->sha256);
}

ErrorCode PrereqInstaller::downloadWithRetry(const std::wstring& url, const fs::path& destination,
                                             const std::string& expectedSha256) {
    logLine(LogLevel::Debug, "Downloading with retry: " + wideToUtf8(url));
    for (int attempt = 1; attempt <= kDownloadAttempts; ++attempt) {
        logLine(LogLevel::Debug, "Download attempt " + std::to_string(attempt) + " of " +
                                     std::to_string(kDownloadAttempts));
        DownloadOptions options;
        options.resume = attempt > 1;
        options.maxSize = 0x80000000ull;
        ScopedHandle file;
        ErrorCode rc = openDownloadFile(destination, file);
        if (rc == ErrorCode::Success) {
            rc = httpClient_.downloadFile(url, file.get(), destination, options);
            // Closed before the check, which opens the file denying writes.
            file.close();
        }
        if (rc == ErrorCode::Success) {
            if (validateDownload(destination, expectedSha256)) {
                logLine(LogLevel::Info, "Download successful and validated");
                return ErrorCode::Success;
            }
            logLine(LogLevel::Warning, "Download validation failed, retrying...");
            removeFromDownloadDirectory(destination);
        } else {
            logLine(LogLevel::Warning, "Download failed: " + std::to_string(toInt(rc)));
            // A resumed request for a file that is already complete is
            // refused (416): the file on disk is then judged by its digest.
            // Any other failure keeps the file for the next resume.
            if (options.resume && rc == ErrorCode::HttpError && httpClient_.lastHttpStatus() == 416 &&
                GetFileAttributesW(destination.c_str()) != INVALID_FILE_ATTRIBUTES) {
                if (validateDownload(destination, expectedSha256)) {
                    logLine(LogLevel::Info, "Download successful and validated");
                    return ErrorCode::Success;
                }
                removeFromDownloadDirectory(destination);
            }
        }
        if (attempt < kDownloadAttempts) {
            logLine(LogLevel::Info, "Waiting before retry...");
            Sleep(kRetryPauseMs);
        }
    }
    logLine(LogLevel::Error, "Download failed after " + std::to_string(kDownloadAttempts) + " attempts");
    return ErrorCode::DownloadFailed;
}

bool PrereqInstaller::validateDownload(const fs::path& path, const std::string& expectedSha256) {
    if (expectedSha256.empty()) {
        logLine(LogLevel::Error, "No hash provided for validation: " + pathToUtf8(path));
        return false;
    }
    const std::wstring full = fullPathOf(path);
    verifiedInstallers_.erase(full);

    // Read sharing only: from here until the installer has ended nobody can
    // write, delete or rename the file. A link is opened as itself.
    // Backup semantics: a folder in its place opens too, and is refused below.
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN,
                                  nullptr));
    if (!file.valid()) {
        FileOperations::logWin32Failure("CreateFile", path, GetLastError());
        logLine(LogLevel::Error, "Failed to calculate file hash for validation");
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    std::wstring finalPath;
    const bool plain =
        GetFileInformationByHandle(file.get(), &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        info.nNumberOfLinks == 1 && getFinalPathByHandle(file.get(), finalPath) && !full.empty() &&
        samePath(fromExtendedLengthPath(finalPath), full);
    if (!plain) {
        logLine(LogLevel::Error, "Installer is not a plain file at its own path: " + pathToUtf8(path));
        return false;
    }

    std::string actual;
    {
        Sha256Hasher hasher;
        bool ok = hasher.begin() == ErrorCode::Success;
        if (ok) {
            BytePump pump;
            BytePump::Job job;
            job.source = file.get();
            job.hasher = &hasher;
            ok = pump.run(job).ok();
        }
        if (!ok || hasher.finish(actual) != ErrorCode::Success) {
            logLine(LogLevel::Error, "Failed to calculate file hash for validation");
            return false;
        }
    }
    if (!FileOperations::digestsEqual(expectedSha256, actual)) {
        logLine(LogLevel::Error, "Hash mismatch. Expected: " + expectedSha256 + ", Actual: " + actual);
        return false;
    }
    logLine(LogLevel::Debug, "Download validation successful");
    verifiedInstallers_[full] = std::move(file);
    return true;
}

ErrorCode PrereqInstaller::installDownloaded() {
    logLine(LogLevel::Info, "Installing downloaded prerequisites");
    EventLogger& events = EventLogger::instance();
    for (const PrereqInfo& row : prerequisites_) {
        if (!row.required || row.installed) continue;
        const fs::path installer = installerPathFor(row);
        if (GetFileAttributesW(installer.c_str()) == INVALID_FILE_ATTRIBUTES) {
            logLine(LogLevel::Error, "Installer not found: " + pathToUtf8(installer));
            return ErrorCode::FileNotFound;
        }
        const std::string name = wideToUtf8(row.name);
        logLine(LogLevel::Info, "Installing: " + name);
        events.progress("install:" + name, 0, "Starting installation");
        if (const ErrorCode code = installPrerequisite(row.type, installer); code != ErrorCode::Success) {
            logLine(LogLevel::Error, "Failed to install: " + name);
            cleanupFailedInstallation(row.type);
            return code;
        }
        events.progress("install:" + name, 100, "Installation complete");
    }
    logLine(LogLevel::Info, "All prerequisites installed successfully");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::installPrerequisite(PrereqType type, const fs::path& installerPath) {
    switch (type) {
        case PrereqType::VcRedistX64: break;
        case PrereqType::DotNetRuntime8: return installDotNetRuntime(installerPath);
        case PrereqType::DirectXRuntime: return installDirectX(installerPath);
        case PrereqType::WindowsSdk: return installWindowsSdk(installerPath);
        default:
            logLine(LogLevel::Error, "Unknown prerequisite type for installation: " + kindNumber(type));
            return ErrorCode::InvalidArguments;
    }
    logLine(LogLevel::Info, "Installing VC++ Redistributable");
    return runAndJudge(*this, type, installerPath, L"/quiet /norestart");
}

ErrorCode PrereqInstaller::installDotNetRuntime(const fs::path& installerPath) {
    logLine(LogLevel::Info, "Installing .NET Runtime");
    return runAndJudge(*this, PrereqType::DotNetRuntime8, installerPath, L"/quiet /norestart");
}

ErrorCode PrereqInstaller::installDirectX(const fs::path& installerPath) {
    logLine(LogLevel::Info, "Installing DirectX Runtime");
    return runAndJudge(*this, PrereqType::DirectXRuntime, installerPath, L"/Q");
}

ErrorCode PrereqInstaller::installWindowsSdk(const fs::path& installerPath) {
    logLine(LogLevel::Info, "Installing Windows SDK Components");
    return runAndJudge(*this, PrereqType::WindowsSdk, installerPath, L"/quiet");
}

ErrorCode PrereqInstaller::checkInstallerExitCode(PrereqType type, uint32_t exitCode) {
    if (exitCode == 0 || exitCode == 3010) return ErrorCode::Success;
    if (type == PrereqType::VcRedistX64) {
        if (exitCode == 1618) return ErrorCode::PrereqInstallFailed;
        if (exitCode == 1633) return ErrorCode::InternalError;
    } else if (type == PrereqType::DotNetRuntime8) {
        if (exitCode == 0x80070005u) return ErrorCode::InsufficientPrivileges;
        if (exitCode == 0x80072F76u) return ErrorCode::NetworkUnreachable;
    }
    logLine(LogLevel::Error, "Installer failed with exit code: " + std::to_string(exitCode));
    return ErrorCode::PrereqInstallFailed;
}

ErrorCode PrereqInstaller::cleanupFailedInstallation(PrereqType type) {
    logLine(LogLevel::Debug, "Cleaning up failed installation for type: " + kindNumber(type));
    const PrereqInfo* row = findRow(prerequisites_, type);
    if (row == nullptr) return ErrorCode::Success;
    const fs::path installer = installerPathFor(*row);
    verifiedInstallers_.erase(fullPathOf(installer));
    removeFromDownloadDirectory(installer);
    return ErrorCode::Success;
}

void PrereqInstaller::removeFromDownloadDirectory(const fs::path& path) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
        throw fs::filesystem_error("exists", path, std::error_code(static_cast<int>(error), std::system_category()));
    }
    uint32_t error = ERROR_INVALID_HANDLE;
    bool containmentViolation = false;
    if (downloadDirPin_.isOpen() && downloadDirPin_.deleteEntry(fullPathOf(path), pathToUtf8(path.filename()),
                                                                error, containmentViolation)) {
        EventLogger::instance().fileOperation("delete", path, true, 0, false);
        return;
    }
    if (error == ERROR_FILE_NOT_FOUND) return;
    EventLogger::instance().fileOperation("delete", path, false, error, true);
    if (containmentViolation) {
        logLine(LogLevel::Error, "Refusing to delete an entry that leads outside the download folder: " +
                                     pathToUtf8(path));
    }
    throw fs::filesystem_error("remove", path, std::error_code(static_cast<int>(error), std::system_category()));
}

void PrereqInstaller::releaseVerifiedInstallers() noexcept { verifiedInstallers_.clear(); }

ErrorCode PrereqInstaller::cleanupDownloadDirectory() noexcept {
    try {
        logLine(LogLevel::Debug, "Cleaning up download directory");
        // Our own handles would stand in the way of the removal.
        releaseVerifiedInstallers();
        downloadDirPin_.reset();
        if (GetFileAttributesW(downloadDir_.c_str()) == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ErrorCode::Success;
        }
        const ErrorCode code = FileOperations().removeDirectory(downloadDir_, true);
        if (code != ErrorCode::Success) {
            logLine(LogLevel::Warning, "Failed to cleanup download directory: " +
                                           wideToUtf8(formatWin32Error(FileOperations::lastRemovalError())));
            return ErrorCode::DirectoryAccessDenied;
        }
        logLine(LogLevel::Info, "Download directory cleaned up");
        return ErrorCode::Success;
    } catch (...) {
        return ErrorCode::DirectoryAccessDenied;
    }
}

}  // namespace korvel
