#include "elevated/PlanPruneOrphans.h"

#include "orphan/PruneOrphans.h"

namespace korvel {

ErrorCode runPlanPruneOrphans(const PlanOperation& operation, const std::vector<AppliedRelease>* earlierApplies) {
    PruneOrphansRequest request;
    request.targetPath = operation.targetPath;
    request.component = operation.component;
    request.sessionRoot = operation.sessionRoot;
    request.filesManifest = operation.filesManifest;
    request.dryRun = operation.dryRun;
    request.earlierApplies = earlierApplies;
    return static_cast<ErrorCode>(runPruneOrphans(request));
}

}  // namespace korvel
