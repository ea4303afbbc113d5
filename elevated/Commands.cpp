#include "elevated/Commands.h"

#include <exception>
#include <functional>

#include "common/EventLogger.h"

namespace korvel {
namespace {

// Every command has the same frame: "starting", the work, and code 4 for an
// exception that escapes the work.
ErrorCode runCommand(const char* operation, const std::function<ErrorCode()>& work) {
    EventLogger& logger = EventLogger::instance();
    logger.status(operation, "starting");
    try {
        return work();
    } catch (const std::exception& e) {
        logger.error(toInt(ErrorCode::InternalError), operation, e.what());
        return ErrorCode::InternalError;
    }
}

ErrorCode notAvailable(const char* operation, const char* command) {
    EventLogger::instance().error(toInt(ErrorCode::InternalError), operation,
                                  std::string(command) + " is not available in this build");
    return ErrorCode::InternalError;
}

}  // namespace

ErrorCode runInstallPrereqs(const std::wstring&) {
    return runCommand("prereq_install", [] { return notAvailable("prereq_install", "--install-prereqs"); });
}

ErrorCode runApplyManifest(const HelperOptions&) {
    return runCommand("manifest_apply", [] { return notAvailable("manifest_apply", "--apply-manifest"); });
}

ErrorCode runWriteUninstall(const std::wstring&, const std::wstring&) {
    return runCommand("uninstall_write", [] { return notAvailable("uninstall_write", "--write-uninstall"); });
}

ErrorCode runCreateShortcuts(const std::wstring&) {
    return runCommand("shortcuts_create", [] { return notAvailable("shortcuts_create", "--create-shortcuts"); });
}

ErrorCode runReleaseSession(const std::wstring&) {
    return runCommand("session_release", [] { return notAvailable("session_release", "--release-session"); });
}

ErrorCode runRemove(const std::wstring&, bool) {
    return runCommand("remove", [] { return notAvailable("remove", "--remove"); });
}

ErrorCode runExecutePlan(const std::wstring&) {
    return runCommand("execute_plan", [] { return notAvailable("execute_plan", "--execute-plan"); });
}

ErrorCode dispatchCommand(const HelperOptions& o) {
    switch (o.command) {
        case HelperCommand::InstallPrereqs: return runInstallPrereqs(o.cdn);
        case HelperCommand::ApplyManifest: return runApplyManifest(o);
        case HelperCommand::WriteUninstall: return runWriteUninstall(o.target, o.version);
        case HelperCommand::CreateShortcuts: return runCreateShortcuts(o.target);
        case HelperCommand::ReleaseSession: return runReleaseSession(o.sessionRoot);
        case HelperCommand::Remove: return runRemove(o.target, o.purge);
        case HelperCommand::ExecutePlan: return runExecutePlan(o.planFile);
        case HelperCommand::None: break;
    }
    return ErrorCode::InvalidArguments;
}

}  // namespace korvel
