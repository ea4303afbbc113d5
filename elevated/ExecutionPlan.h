#pragma once
// Execution plans: a JSON file listing operations for one elevated run.
// This is the format and its loading; every failure is reported as one
// error event of operation "execution_plan".
#include <string>
#include <vector>

#include "common/ErrorCodes.h"

namespace korvel {

enum class PlanOperationType : int {
    InstallPrereqs = 0,
    ApplyManifest = 1,
    WriteUninstall = 2,
    CreateShortcuts = 3,
    WriteReceipt = 4,
    ReleaseSession = 5,
    PruneOrphans = 6,
};

struct PlanOperation {
    PlanOperation() = default;
    PlanOperationType type = PlanOperationType::InstallPrereqs;
    std::wstring cdnUrl;
    std::wstring targetPath;
    std::wstring version;
    std::wstring manifestUrl;
    std::wstring sessionRoot;
    std::wstring filesManifest;
    std::wstring launcherSubdir;
    std::wstring launcherExecutable;
    std::wstring launcherWorkingDir;
    std::wstring uninstallerExecutable;
    bool purge = false;
    std::wstring component;
    bool dryRun = false;
};

// Matches the name with ASCII letters lower-cased, also without underscores;
// on false, error holds the message naming the accepted types.
bool parseOperationType(const std::string& name, PlanOperationType& type, std::string& error);

// The file's bytes, untranslated, read through one handle within the
// document cap. Throws std::runtime_error "Failed to open file" when it
// cannot be opened, another runtime_error when it is larger than the cap.
std::string readTextFile(const std::wstring& path);

class ExecutionPlan {
public:
    // 0 with operations filled; otherwise the list is not to be used. An
    // existence query that fails other than "not found" throws.
    static ErrorCode load(const std::wstring& planPath, std::vector<PlanOperation>& operations);
    static ErrorCode parse(const std::wstring& planText, std::vector<PlanOperation>& operations);
};

}  // namespace korvel
