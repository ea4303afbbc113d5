#include "elevated/PlanWriteReceipt.h"

#include <filesystem>

#include "common/EventLogger.h"
#include "elevated/CallerChecks.h"
#include "elevated/OperationFrame.h"
#include "install/InstallReceipt.h"
#include "install/RegistryManager.h"

namespace korvel {

ErrorCode runPlanWriteReceipt(const PlanOperation& operation) {
    const char* const name = "write_receipt";
    const bool missing = operation.targetPath.empty() || operation.version.empty();
    return runInOperationFrame(name, missing, "Missing required parameters: targetPath, version", [&operation, name] {
        if (const std::string problem = planOperationProblem(operation); !problem.empty())
            return refuseCallerValue(name, problem);
        InstallReceipt receipt = createInstallReceipt(operation.targetPath, operation.version);
        // The launcher file is recorded exactly as the plan names it.
        if (!operation.launcherExecutable.empty())
            setComponent(receipt, L"launcher", operation.version, {operation.launcherExecutable});
        const std::wstring& target = operation.targetPath;
        setComponent(receipt, L"helper", L"1.0.0",
                     {target + L"\\Launcher\\KorvelElevated.exe", target + L"\\Launcher\\KorvelElevatedLauncher.exe",
                      target + L"\\Launcher\\KorvelUninstall.exe"});
        receipt.shortcuts = {{L"Korvel", L"START_MENU", L"ALL_USERS"}, {L"Korvel", L"DESKTOP", L"ALL_USERS"}};
        receipt.uninstallKey = std::wstring(L"HKEY_LOCAL_MACHINE\\") + RegistryManager::kUninstallKeyPath;

        const std::wstring path = (std::filesystem::path(target) / kInstallReceiptFileName).wstring();
        const ErrorCode result = writeInstallReceipt(receipt, path);
        EventLogger& logger = EventLogger::instance();
        if (result != ErrorCode::Success) {
            logger.error(toInt(result), name, "Failed to write install receipt");
        } else {
            logger.status(name, "completed");
        }
        return result;
    });
}

}  // namespace korvel
