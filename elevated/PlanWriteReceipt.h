#pragma once
// The write_receipt plan operation: records the installation in
// InstallReceipt.json inside the plan's target folder.
#include "common/ErrorCodes.h"
#include "elevated/ExecutionPlan.h"

namespace korvel {

// Reads targetPath, version and launcherExecutable; 0, 1 (a required value
// missing), 149 or 4.
ErrorCode runPlanWriteReceipt(const PlanOperation& operation);

}  // namespace korvel
