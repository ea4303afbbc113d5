#include "elevated/Commands.h"

#include <exception>
#include <filesystem>
#include <functional>

#include "common/ConsoleOutput.h"
#include "common/EventLogger.h"
#include "install/PrereqInstaller.h"
#include "manifest/ManifestHandler.h"

namespace korvel {
namespace {

// Every command has the same frame: "starting", the work, and code 4 for an
// exception that escapes the work.
ErrorCode runCommand(const char* operation, const std::function<ErrorCode()>& work) {
    EventLogger& logger = EventLogger::instance();
    logger.status(operation, "starting");
    try {
        return work();
    } catch (const std::exception& e) {
        logger.error(toInt(ErrorCode::InternalError), operation, e.what());
        return ErrorCode::InternalError;
    }
}

ErrorCode notAvailable(const char* operation, const char* command) {
    EventLogger::instance().error(toInt(ErrorCode::InternalError), operation,
                                  std::string(command) + " is not available in this build");
    return ErrorCode::InternalError;
}

}  // namespace

ErrorCode runInstallPrereqs(const std::wstring& cdn) {
    return runCommand("prereq_install", [&cdn] {
        PrereqInstaller installer(cdn, std::filesystem::temp_directory_path() / L"KorvelPrereqs");
        return installer.installPrerequisites();
    });
}

ErrorCode runApplyManifest(const HelperOptions& options) {
    return runCommand("manifest_apply", [&options] {
        ManifestHandler handler(options.cdn);
        if (options.sessionRoot.empty() || options.filesManifest.empty()) {
            return handler.applyManifest(options.manifestUrl, options.target);
        }
        // "No entry of any kind": a dangling link still counts as present.
        const auto missing = [](const std::wstring& path) {
            return !std::filesystem::exists(std::filesystem::symlink_status(std::filesystem::path(path)));
        };
        if (missing(options.sessionRoot)) {
            writeStderrLine(L"Error: Session root path does not exist: " + options.sessionRoot);
            return ErrorCode::FileNotFound;
        }
        if (missing(options.filesManifest)) {
            writeStderrLine(L"Error: Files manifest path does not exist: " + options.filesManifest);
            return ErrorCode::FileNotFound;
        }
        EventLogger::instance().error(toInt(ErrorCode::InternalError), "manifest_apply",
                                      "Applying a prepared download session is not available in this build");
        return ErrorCode::InternalError;
    });
}

ErrorCode runWriteUninstall(const std::wstring&, const std::wstring&) {
    return runCommand("uninstall_write", [] { return notAvailable("uninstall_write", "--write-uninstall"); });
}

ErrorCode runCreateShortcuts(const std::wstring&) {
    return runCommand("shortcuts_create", [] { return notAvailable("shortcuts_create", "--create-shortcuts"); });
}

ErrorCode runReleaseSession(const std::wstring&) {
    return runCommand("session_release", [] { return notAvailable("session_release", "--release-session"); });
}

ErrorCode runRemove(const std::wstring&, bool) {
    return runCommand("remove", [] { return notAvailable("remove", "--remove"); });
}

ErrorCode runExecutePlan(const std::wstring&) {
    return runCommand("execute_plan", [] { return notAvailable("execute_plan", "--execute-plan"); });
}

ErrorCode dispatchCommand(const HelperOptions& o) {
    switch (o.command) {
        case HelperCommand::InstallPrereqs: return runInstallPrereqs(o.cdn);
        case HelperCommand::ApplyManifest: return runApplyManifest(o);
        case HelperCommand::WriteUninstall: return runWriteUninstall(o.target, o.version);
        case HelperCommand::CreateShortcuts: return runCreateShortcuts(o.target);
        case HelperCommand::ReleaseSession: return runReleaseSession(o.sessionRoot);
        case HelperCommand::Remove: return runRemove(o.target, o.purge);
        case HelperCommand::ExecutePlan: return runExecutePlan(o.planFile);
        case HelperCommand::None: break;
    }
    return ErrorCode::InvalidArguments;
}

}  // namespace korvel
