// The uninstall log: one file a run below the common application-data
// folder, made through folders pinned level by level, holding a header and,
// on success, a summary.
#include "uninstall/UninstallManager.h"

#include <windows.h>

#include <shlobj.h>
#include <winternl.h>

#include <cstdio>
#include <ctime>

#include "common/CallerText.h"
#include "common/EventLogger.h"
#include "common/FileSystemQueries.h"
#include "common/PinnedChildFolder.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/WriteAllBytes.h"
#include "uninstall/UninstallInternal.h"

namespace korvel {
namespace fs = std::filesystem;
using namespace uninstall_detail;

fs::path UninstallManager::logFilePath() {
    const std::wstring base = folderPath(CSIDL_COMMON_APPDATA);
    if (!usableBase(base)) return fs::path();
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_s(&utc, &now) != 0) utc = std::tm{};
    wchar_t name[64];
    std::swprintf(name, 64, L"uninstall-%04d%02d%02d-%02d%02d%02d.log", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return fs::path(base) / L"Korvel" / L"Logs" / name;
}

ErrorCode UninstallManager::initFileLogging() {
    if (logOpen_) return ErrorCode::Success;
    const fs::path path = logFilePath();
    if (path.empty()) {
        logLine(LogLevel::Warning, "Cannot obtain the common application-data folder for the uninstall log");
        return ErrorCode::FileWriteFailed;
    }
    logPath_ = path.wstring();
    const fs::path folder = path.parent_path();
    // Users may make folders in the common application-data folder: each
    // level is opened or made through the pinned level above it, so a link
    // planted at "Korvel" or "Logs" is refused, never followed.
    PinnedDirectory pinned;
    uint32_t error = 0;
    if (!pinParentFolder(folder.parent_path().parent_path().wstring(), pinned, error)) {
        logLine(LogLevel::Error, "Log folder cannot be used: " + pathToUtf8(folder) + " - " + std::to_string(error));
        return ErrorCode::FileWriteFailed;
    }
    for (const wchar_t* level : {L"Korvel", L"Logs"}) {
        PinnedDirectory child;
        bool created = false;
        if (!openChildFolder(pinned, level, ChildDisposition::OpenOrCreate,
                             FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_SUBDIRECTORY | FILE_ADD_FILE, nullptr, child,
                             created, error)) {
            logLine(LogLevel::Error,
                    "Log folder cannot be used: " + pathToUtf8(folder) + " - " + std::to_string(error));
            return ErrorCode::FileWriteFailed;
        }
        pinned = std::move(child);
    }
    const std::wstring name = path.filename().wstring();
    const std::string relative = wideToUtf8(name);
    const std::wstring full = pinned.finalPath() + L"\\" + name;
    if (entryExistsOrThrow(full)) {
        bool violation = false;
        if (!pinned.deleteEntry(full, relative, error, violation)) return ErrorCode::FileWriteFailed;
    }
    // Made new through the pinned folder's handle, never by a path.
    const OpenAtRequest request{GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, FILE_CREATE,
                                FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_NORMAL};
    ScopedHandle file;
    if (openAt(pinned.handle(), name, request, file) < 0) return ErrorCode::FileWriteFailed;
    if (!pinned.verifyHandlePath(file.get(), relative, error)) return ErrorCode::FileWriteFailed;
    std::wstring finalPath;
    if (getFinalPathByHandle(file.get(), finalPath)) logFinalPath_ = fromExtendedLengthPath(std::move(finalPath));
    logFile_ = std::move(file);
    logOpen_ = true;
    writeLog("Korvel Uninstaller Log\nStarted: " + wideToUtf8(formatUtcTimestamp()) + "\n\n");
    return ErrorCode::Success;
}

bool UninstallManager::writeLog(const std::string& text) {
    if (!logOpen_) return false;
    return writeAllBytes(logFile_.get(), text, false);
}

int UninstallManager::writeSummary(const InstallationInfo& info, const UninstallStats& stats) {
    if (!logOpen_) return 0;
    std::string text = "\n=== Uninstall Summary ===\n";
    // Read from the receipt: written out as text, so it cannot forge a line.
    text += "Version: " + wideToUtf8(escapeControlCharacters(info.version)) + "\n";
    text += "Install Path: " + wideToUtf8(escapeControlCharacters(info.installPath)) + "\n";
    text += statsText(stats, false);
    text += std::string("Success: ") + (stats.success ? "true" : "false") + "\n";
    return writeLog(text) ? 0 : toInt(ErrorCode::FileWriteFailed);
}

}  // namespace korvel
