#include "elevated/Commands.h"

#include <filesystem>
#include <string>
#include <vector>

#include "common/ConsoleOutput.h"
#include "common/DangerousRoot.h"
#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/ProductFolders.h"
#include "common/TextConversion.h"
#include "elevated/CallerChecks.h"
#include "elevated/ExecutionPlan.h"
#include "elevated/OperationFrame.h"
#include "elevated/PlanExecutor.h"
#include "elevated/PlanOperations.h"
#include "install/PrereqInstaller.h"
#include "install/RegistryManager.h"
#include "install/ShortcutCreator.h"
#include "manifest/ManifestHandler.h"

namespace korvel {

ErrorCode runInstallPrereqs(const std::wstring& cdn) {
    return runInOperationFrame("prereq_install", [&cdn] {
        PrereqInstaller installer(cdn, prereqDownloadFolder());
        return installer.installPrerequisites();
    });
}

ErrorCode runApplyManifest(const HelperOptions& options) {
    return runInOperationFrame("manifest_apply", [&options] {
        using K = CallerValueKind;
        if (const std::string problem = callerValuesProblem({{"target", options.target, K::Path},
                                                             {"session root", options.sessionRoot, K::Path},
                                                             {"files manifest", options.filesManifest, K::Path}},
                                                            options.target);
            !problem.empty()) {
            return refuseCallerValue("manifest_apply", problem);
        }
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
        return handler.applyManifestFromSession(options.manifestUrl, options.target, options.sessionRoot,
                                                options.filesManifest);
    });
}

ErrorCode runWriteUninstall(const std::wstring& target, const std::wstring& version) {
    return runInOperationFrame("uninstall_write", [&] {
        if (const std::string problem = callerValuesProblem(
                {{"target", target, CallerValueKind::Path}, {"version", version, CallerValueKind::Version}}, target);
            !problem.empty()) {
            return refuseCallerValue("uninstall_write", problem);
        }
        RegistryManager registry;
        return registry.writeUninstallInfo(target, version, std::wstring(), std::wstring());
    });
}

ErrorCode runCreateShortcuts(const std::wstring& target) {
    return runInOperationFrame("shortcuts_create", [&] {
        if (const std::string problem = callerValuesProblem({{"target", target, CallerValueKind::Path}}, target);
            !problem.empty()) {
            return refuseCallerValue("shortcuts_create", problem);
        }
        ShortcutCreator creator;
        return creator.createShortcuts(target, std::wstring(), std::wstring(), std::wstring());
    });
}

ErrorCode runReleaseSession(const std::wstring& sessionRoot) {
    return runInOperationFrame("session_release",
                               [&sessionRoot] { return releaseSessionFolder("session_release", sessionRoot); });
}

ErrorCode runRemove(const std::wstring& target, bool purge) {
    return runInOperationFrame("remove", [&] {
        EventLogger& logger = EventLogger::instance();
        // Checked before the shortcuts, the registry entry or any file is
        // touched: a folder like these is never removed as a whole.
        const std::wstring refusal = dangerousRootReason(target);
        if (!refusal.empty()) {
            logger.error(toInt(ErrorCode::DirectoryAccessDenied), "remove",
                         "Refusing to remove folder " + wideToUtf8(target) + ": " + wideToUtf8(refusal));
            return ErrorCode::DirectoryAccessDenied;
        }
        if (const std::string problem = callerValuesProblem({{"target", target, CallerValueKind::Path}}, target);
            !problem.empty()) {
            return refuseCallerValue("remove", problem);
        }
        ShortcutCreator creator;
        creator.removeAllShortcuts();
        RegistryManager registry;
        if (registry.removeUninstallInfo() != ErrorCode::Success)
            logger.log(LogLevel::Warning, "Failed to remove registry entries, continuing with file removal");
        FileOperations files;
        const ErrorCode result = files.removeDirectory(target, purge);
        if (result != ErrorCode::Success) {
            logger.error(toInt(result), "remove");
        } else {
            logger.completion("remove", true);
        }
        return result;
    });
}

ErrorCode runExecutePlan(const std::wstring& planFile) {
    return runInOperationFrame("execute_plan", [&planFile] {
        EventLogger& logger = EventLogger::instance();
        std::vector<PlanOperation> operations;
        const ErrorCode loaded = ExecutionPlan::load(planFile, operations);
        if (loaded != ErrorCode::Success) {
            logger.error(toInt(loaded), "execute_plan", "Failed to load plan file");
            return loaded;
        }
        logger.log(LogLevel::Info, "Executing plan with " + std::to_string(operations.size()) + " operations");
        return PlanExecutor::execute(operations);
    });
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
