#pragma once
// Runs the operations of a loaded execution plan in order and stops at the
// first one that fails; nothing already done is undone.
#include <vector>

#include "common/ErrorCodes.h"
#include "elevated/ExecutionPlan.h"
#include "orphan/OrphanCleanup.h"

namespace korvel {

class PlanExecutor {
public:
    // 0 when every operation succeeded, else the first failing code.
    // Exceptions of an operation are not caught here.
    static ErrorCode execute(const std::vector<PlanOperation>& operations);

    // The operation function for one entry. applied: what the plan's
    // applies so far took as their targets' releases; an apply_manifest that
    // succeeds adds its own (replacing an earlier one of the same target).
    static ErrorCode runOperation(const PlanOperation& operation, std::vector<AppliedRelease>* applied = nullptr);
};

}  // namespace korvel
