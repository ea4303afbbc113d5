#include "elevated/PlanExecutor.h"

#include <string>

#include "common/EventLogger.h"
#include "elevated/PlanOperations.h"
#include "elevated/PlanPruneOrphans.h"
#include "elevated/PlanWriteReceipt.h"

namespace korvel {

ErrorCode PlanExecutor::runOperation(const PlanOperation& operation) {
    switch (operation.type) {
        case PlanOperationType::InstallPrereqs: return runPlanInstallPrereqs(operation);
        case PlanOperationType::ApplyManifest: return runPlanApplyManifest(operation);
        case PlanOperationType::WriteUninstall: return runPlanWriteUninstall(operation);
        case PlanOperationType::CreateShortcuts: return runPlanCreateShortcuts(operation);
        case PlanOperationType::WriteReceipt: return runPlanWriteReceipt(operation);
        case PlanOperationType::ReleaseSession: return runPlanReleaseSession(operation);
        case PlanOperationType::PruneOrphans: return runPlanPruneOrphans(operation);
    }
    return ErrorCode::InvalidArguments;
}

ErrorCode PlanExecutor::execute(const std::vector<PlanOperation>& operations) {
    EventLogger& logger = EventLogger::instance();
    const size_t count = operations.size();
    logger.status("execution_plan", "executing");
    logger.log(LogLevel::Info, "Executing plan with " + std::to_string(count) + " operations");
    for (size_t i = 0; i < count; ++i) {
        logger.status("execution_plan", "operation_" + std::to_string(i));
        const ErrorCode result = runOperation(operations[i]);
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
