#include "elevated/PlanExecutor.h"

#include <algorithm>
#include <string>

#include "common/EventLogger.h"
#include "common/Win32Util.h"
#include "elevated/PlanOperations.h"
#include "elevated/PlanPruneOrphans.h"
#include "elevated/PlanWriteReceipt.h"

namespace korvel {

ErrorCode PlanExecutor::runOperation(const PlanOperation& operation, std::vector<AppliedRelease>* applied) {
    switch (operation.type) {
        case PlanOperationType::InstallPrereqs: return runPlanInstallPrereqs(operation);
        case PlanOperationType::ApplyManifest: {
            AppliedRelease release;
            const ErrorCode result = runPlanApplyManifest(operation, applied != nullptr ? &release : nullptr);
            if (result == ErrorCode::Success && applied != nullptr && !release.targetFinalPath.empty()) {
                // Only the latest release of a target counts.
                applied->erase(std::remove_if(applied->begin(), applied->end(),
                                              [&](const AppliedRelease& earlier) {
                                                  return samePath(earlier.targetFinalPath, release.targetFinalPath);
                                              }),
                               applied->end());
                applied->push_back(std::move(release));
            }
            return result;
        }
        case PlanOperationType::WriteUninstall: return runPlanWriteUninstall(operation);
        case PlanOperationType::CreateShortcuts: return runPlanCreateShortcuts(operation);
        case PlanOperationType::WriteReceipt: return runPlanWriteReceipt(operation);
        case PlanOperationType::ReleaseSession: return runPlanReleaseSession(operation);
        case PlanOperationType::PruneOrphans: return runPlanPruneOrphans(operation, applied);
    }
    return ErrorCode::InvalidArguments;
}

ErrorCode PlanExecutor::execute(const std::vector<PlanOperation>& operations) {
    EventLogger& logger = EventLogger::instance();
    const size_t count = operations.size();
    // Kept in memory for the whole plan: a prune_orphans takes the release
    // an earlier apply of its target installed, not a file read again.
    std::vector<AppliedRelease> applied;
    logger.status("execution_plan", "executing");
    logger.log(LogLevel::Info, "Executing plan with " + std::to_string(count) + " operations");
    for (size_t i = 0; i < count; ++i) {
        logger.status("execution_plan", "operation_" + std::to_string(i));
        const ErrorCode result = runOperation(operations[i], &applied);
        if (result != ErrorCode::Success) {
            logger.error(toInt(result), "execution_plan", "Operation " + std::to_string(i) + " failed, aborting plan");
            return result;
        }
        logger.progress("execution_plan", static_cast<int>((i + 1) * 100 / count));
    }
    logger.completion("execution_plan", true);
    logger.log(LogLevel::Info, "Execution plan completed successfully");
    return ErrorCode::Success;
}

}  // namespace korvel
