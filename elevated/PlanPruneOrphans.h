#pragma once
// The prune_orphans plan operation: removes from the plan's target folder
// what the session's files manifest no longer names.
#include "common/ErrorCodes.h"
#include "elevated/ExecutionPlan.h"
#include "orphan/OrphanCleanup.h"

#include <vector>

namespace korvel {

// Reads targetPath, component, sessionRoot, filesManifest and dryRun. 0 when
// the cleanup completed or was skipped (an exception past the parameter
// checks is a skip too, so the plan goes on), 1 for missing or invalid
// values, 145 after a containment violation.
// earlierApplies: what the plan's apply_manifest operations before this one
// took as their targets' releases.
ErrorCode runPlanPruneOrphans(const PlanOperation& operation,
                              const std::vector<AppliedRelease>* earlierApplies = nullptr);

}  // namespace korvel
