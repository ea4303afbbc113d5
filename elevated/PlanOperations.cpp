#include "elevated/PlanOperations.h"

#include <filesystem>

#include "common/DangerousRoot.h"
#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/ProductFolders.h"
#include "common/TextConversion.h"
#include "elevated/CallerChecks.h"
#include "elevated/OperationFrame.h"
#include "install/PrereqInstaller.h"
#include "install/RegistryManager.h"
#include "install/ShortcutCreator.h"
#include "manifest/ManifestHandler.h"
#include "manifest/SessionPaths.h"

namespace korvel {
namespace {

// "No entry of any kind": a dangling link still counts as present. Any
// failure of the query other than "not found" throws.
bool noEntry(const std::wstring& path) {
    return !std::filesystem::exists(std::filesystem::symlink_status(std::filesystem::path(path)));
}

}  // namespace

ErrorCode releaseSessionFolder(const char* operation, const std::wstring& sessionRoot) {
    EventLogger& logger = EventLogger::instance();
    const auto refuse = [&](const std::wstring& refusal) {
        logger.error(toInt(ErrorCode::DirectoryAccessDenied), operation,
                     "Refusing to remove folder " + wideToUtf8(sessionRoot) + ": " + wideToUtf8(refusal));
        return ErrorCode::DirectoryAccessDenied;
    };
    // A drive-relative or relative root names whatever folder the process
    // happens to stand in: it is refused before it is looked for at all.
    if (!isFullyQualifiedPath(sessionRoot)) return refuse(dangerousRootReason(sessionRoot));
    if (noEntry(sessionRoot)) {
        logger.log(LogLevel::Warning, "Session root not found for release");
        return ErrorCode::Success;
    }
    // The session root comes from unelevated callers: a volume root, a
    // user's profile or a folder holding one is never removed as a whole.
    const std::wstring refusal = dangerousRootReason(sessionRoot);
    if (!refusal.empty()) return refuse(refusal);
    if (const std::string problem =
            callerValuesProblem({{"sessionRoot", sessionRoot, CallerValueKind::Path}}, std::wstring());
        !problem.empty()) {
        return refuseCallerValue(operation, problem);
    }
    FileOperations files;
    const ErrorCode result = files.removeDirectory(sessionRoot, true);
    if (result != ErrorCode::Success) {
        logger.error(toInt(result), operation, "Failed to remove session directory");
        return result;
    }
    logger.status(operation, "completed");
    return ErrorCode::Success;
}

std::wstring defaultLauncherPath(const PlanOperation& operation) {
    std::filesystem::path path(operation.targetPath);
    if (!operation.launcherSubdir.empty()) path /= operation.launcherSubdir;
    return (path / L"KorvelLauncher.exe").wstring();
}

ErrorCode runPlanInstallPrereqs(const PlanOperation& operation) {
    return runInOperationFrame("install_prereqs", operation.cdnUrl.empty(), "Missing cdnUrl", [&operation] {
        PrereqInstaller installer(operation.cdnUrl, prereqDownloadFolder());
        return installer.installPrerequisites();
    });
}

ErrorCode runPlanApplyManifest(const PlanOperation& operation, AppliedRelease* applied) {
    const bool missing = operation.manifestUrl.empty() || operation.targetPath.empty() || operation.cdnUrl.empty();
    return runInOperationFrame(
        "apply_manifest", missing, "Missing required parameters: manifestUrl, targetPath, cdnUrl",
        [&operation, applied] {
            if (const std::string problem = planOperationProblem(operation); !problem.empty())
                return refuseCallerValue("apply_manifest", problem);
            ManifestHandler handler(operation.cdnUrl);
            // What a later operation of the plan may take from this apply.
            const auto done = [&](ErrorCode result, bool session) {
                if (result == ErrorCode::Success && applied != nullptr) {
                    *applied = AppliedRelease{};
                    uint32_t error = 0;
                    if (!resolveFinalPath(operation.targetPath, applied->targetFinalPath, error))
                        applied->targetFinalPath.clear();
                    applied->manifestFiles = handler.appliedFiles().manifestFiles;
                    applied->readDescriptor = session && handler.appliedFiles().readDescriptor;
                    if (applied->readDescriptor) {
                        applied->descriptorPath = operation.filesManifest;
                        applied->descriptorNames = handler.appliedFiles().descriptorNames;
                    }
                }
                return result;
            };
            if (operation.sessionRoot.empty() || operation.filesManifest.empty()) {
                return done(handler.applyManifest(operation.manifestUrl, operation.targetPath), false);
            }
            EventLogger& logger = EventLogger::instance();
            if (noEntry(operation.sessionRoot)) {
                logger.error(toInt(ErrorCode::FileNotFound), "apply_manifest", "Session root not found");
                return ErrorCode::FileNotFound;
            }
            if (noEntry(operation.filesManifest)) {
                logger.error(toInt(ErrorCode::FileNotFound), "apply_manifest", "Files manifest not found");
                return ErrorCode::FileNotFound;
            }
            return done(handler.applyManifestFromSession(operation.manifestUrl, operation.targetPath,
                                                         operation.sessionRoot, operation.filesManifest),
                        true);
        });
}

ErrorCode runPlanWriteUninstall(const PlanOperation& operation) {
    const bool missing = operation.targetPath.empty() || operation.version.empty();
    const char* const details = "Missing required parameters: targetPath, version";
    return runInOperationFrame("write_uninstall", missing, details, [&operation] {
        if (const std::string problem = planOperationProblem(operation); !problem.empty())
            return refuseCallerValue("write_uninstall", problem);
        RegistryManager registry;
        return registry.writeUninstallInfo(operation.targetPath, operation.version, operation.launcherExecutable,
                                           operation.uninstallerExecutable);
    });
}

ErrorCode runPlanCreateShortcuts(const PlanOperation& operation) {
    return runInOperationFrame("create_shortcuts", operation.targetPath.empty(), "Missing targetPath", [&operation] {
        if (const std::string problem = planOperationProblem(operation); !problem.empty())
            return refuseCallerValue("create_shortcuts", problem);
        const std::wstring launcher = defaultLauncherPath(operation);
        ShortcutCreator creator;
        return creator.createShortcuts(operation.targetPath, operation.launcherExecutable,
                                       operation.launcherWorkingDir, launcher);
    });
}

ErrorCode runPlanReleaseSession(const PlanOperation& operation) {
    return runInOperationFrame("release_session", operation.sessionRoot.empty(), "Missing sessionRoot", [&operation] {
        return releaseSessionFolder("release_session", operation.sessionRoot);
    });
}

}  // namespace korvel
