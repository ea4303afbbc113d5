// Writes an installation's InstallReceipt.json through the helper's own
// write_receipt operation, for tests that need a receipt as the product
// writes it (the plan executor that normally runs it is not part of them).
//   receipt_writer <targetPath> <version> [launcherExecutable]
// Exits with the operation's result.
#include "elevated/PlanWriteReceipt.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 1;
    korvel::PlanOperation operation;
    operation.type = korvel::PlanOperationType::WriteReceipt;
    operation.targetPath = argv[1];
    operation.version = argv[2];
    if (argc > 3) operation.launcherExecutable = argv[3];
    return korvel::toInt(korvel::runPlanWriteReceipt(operation));
}
