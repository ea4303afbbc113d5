#pragma once
// Runs the operations of a loaded execution plan in order and stops at the
// first one that fails; nothing already done is undone.
#include <vector>

#include "common/ErrorCodes.h"
#include "elevated/ExecutionPlan.h"

namespace korvel {

class PlanExecutor {
public:
    // 0 when every operation succeeded, else the first failing code.
    // Exceptions of an operation are not caught here.
    static ErrorCode execute(const std::vector<PlanOperation>& operations);

    // The operation function for one entry.
    static ErrorCode runOperation(const PlanOperation& operation);
};

}  // namespace korvel
