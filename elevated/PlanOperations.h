#pragma once
// The plan operations that do the work of a single command with values
// taken from a plan entry: each reports "starting", checks its required
// values itself, and turns an escaping std::exception into code 4.
#include <string>

#include "common/ErrorCodes.h"
#include "elevated/ExecutionPlan.h"
#include "orphan/OrphanCleanup.h"

namespace korvel {

ErrorCode runPlanInstallPrereqs(const PlanOperation& operation);
// On success, applied (when given) holds what the apply took as the
// target's release, for a prune_orphans of the same plan.
ErrorCode runPlanApplyManifest(const PlanOperation& operation, AppliedRelease* applied = nullptr);
ErrorCode runPlanWriteUninstall(const PlanOperation& operation);
ErrorCode runPlanCreateShortcuts(const PlanOperation& operation);
ErrorCode runPlanReleaseSession(const PlanOperation& operation);

// The work shared by --release-session and release_session, reported under
// the given operation name: a missing folder is a warning and 0; a folder
// that must never be removed as a whole is refused with 147 before anything
// is deleted; otherwise the folder and everything in it are removed.
ErrorCode releaseSessionFolder(const char* operation, const std::wstring& sessionRoot);

// targetPath joined with launcherSubdir (when given) and KorvelLauncher.exe.
std::wstring defaultLauncherPath(const PlanOperation& operation);

}  // namespace korvel
