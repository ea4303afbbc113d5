#include "elevated/CallerChecks.h"

#include "common/CallerText.h"
#include "common/EventLogger.h"
#include "common/TextConversion.h"

namespace korvel {

std::string callerValuesProblem(const std::vector<CallerValue>& values, const std::wstring& target) {
    for (const CallerValue& value : values) {
        if (value.value.empty()) continue;
        std::wstring problem;
        switch (value.kind) {
            case CallerValueKind::Path: problem = callerPathProblem(value.value); break;
            case CallerValueKind::ProgramInTarget: problem = callerPathInsideProblem(value.value, target, false); break;
            case CallerValueKind::FolderInTarget: problem = callerPathInsideProblem(value.value, target, true); break;
            case CallerValueKind::RelativePath: problem = callerRelativePathProblem(value.value); break;
            case CallerValueKind::Version: problem = callerVersionProblem(value.value); break;
        }
        if (problem.empty()) continue;
        // The value is shown as text: a control character in it is written
        // out, never passed on to the stream's reader.
        std::wstring shown = value.value;
        if (shown.size() > 300) shown = shown.substr(0, 300) + L"...";
        return std::string("Invalid ") + value.name + ": " + wideToUtf8(escapeControlCharacters(shown)) + " (" +
               wideToUtf8(problem) + ")";
    }
    return std::string();
}

std::string planOperationProblem(const PlanOperation& o) {
    using K = CallerValueKind;
    // The target is checked first: the other values are judged against it.
    switch (o.type) {
        case PlanOperationType::ApplyManifest:
            return callerValuesProblem({{"targetPath", o.targetPath, K::Path},
                                        {"sessionRoot", o.sessionRoot, K::Path},
                                        {"filesManifest", o.filesManifest, K::Path}},
                                       o.targetPath);
        case PlanOperationType::WriteUninstall:
            return callerValuesProblem({{"targetPath", o.targetPath, K::Path},
                                        {"version", o.version, K::Version},
                                        {"launcherExecutable", o.launcherExecutable, K::ProgramInTarget},
                                        {"uninstallerExecutable", o.uninstallerExecutable, K::ProgramInTarget}},
                                       o.targetPath);
        case PlanOperationType::CreateShortcuts:
            return callerValuesProblem({{"targetPath", o.targetPath, K::Path},
                                        {"launcherSubdir", o.launcherSubdir, K::RelativePath},
                                        {"launcherExecutable", o.launcherExecutable, K::ProgramInTarget},
                                        {"launcherWorkingDir", o.launcherWorkingDir, K::FolderInTarget}},
                                       o.targetPath);
        case PlanOperationType::WriteReceipt:
            return callerValuesProblem({{"targetPath", o.targetPath, K::Path},
                                        {"version", o.version, K::Version}},
                                       o.targetPath);
        case PlanOperationType::ReleaseSession:
        case PlanOperationType::InstallPrereqs:
        case PlanOperationType::PruneOrphans:
            break;
    }
    return std::string();
}

ErrorCode refuseCallerValue(const char* operation, const std::string& details) {
    EventLogger::instance().error(toInt(ErrorCode::InvalidArguments), operation, details);
    return ErrorCode::InvalidArguments;
}

}  // namespace korvel
