// The prune_orphans operation around the cleanup engine: its parameter
// checks, the two environment switches, and the operation's own outcome.
#include "orphan/PruneOrphans.h"

#include "common/ErrorCodes.h"
#include "common/EventLogger.h"
#include "manifest/SessionPaths.h"
#include "orphan/OrphanCleanup.h"

#include <cwctype>
#include <filesystem>
#include <system_error>

namespace korvel {
namespace {

constexpr const char* kOperation = "prune_orphans";

// Exactly the ASCII text, letter case ignored.
bool equalsAsciiIgnoreCase(const std::wstring& value, const wchar_t* text) {
    size_t i = 0;
    for (; text[i] != 0; ++i) {
        if (i >= value.size()) return false;
        wchar_t a = value[i];
        wchar_t b = text[i];
        if (a >= L'A' && a <= L'Z') a = static_cast<wchar_t>(a + 32);
        if (b >= L'A' && b <= L'Z') b = static_cast<wchar_t>(b + 32);
        if (a != b) return false;
    }
    return i == value.size();
}

// Any kind of file-system object, links followed; a query that fails counts
// as not there.
bool available(const std::wstring& path) {
    std::error_code ec;
    const bool exists = std::filesystem::exists(std::filesystem::path(path), ec);
    return exists && !ec;
}

}  // namespace

EnvironmentValue readEnvironmentValue(const wchar_t* name, EnvironmentReader reader) {
    EnvironmentValue result;
    DWORD size = 0;
    // The value may change between asking its length and reading it; a few
    // rounds settle that, after which it counts as unreadable.
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::wstring buffer(size, L'\0');
        SetLastError(ERROR_SUCCESS);
        const DWORD count = reader(name, size == 0 ? nullptr : buffer.data(), size);
        const DWORD error = GetLastError();
        if (count == 0) {
            if (error == ERROR_ENVVAR_NOT_FOUND) return result;
            if (error == ERROR_SUCCESS && size > 0) {
                // An empty value.
                result.state = EnvironmentValue::State::Set;
                return result;
            }
            result.state = EnvironmentValue::State::Unreadable;
            return result;
        }
        if (size > 0 && count < size) {
            buffer.resize(count);
            result.state = EnvironmentValue::State::Set;
            result.value = std::move(buffer);
            return result;
        }
        // The length needed, terminating NUL included.
        size = count;
    }
    result.state = EnvironmentValue::State::Unreadable;
    return result;
}

namespace {

// The parameters' checks, each refusal one error event; on success component
// holds the lower-case component name. 0 or 1.
int checkRequest(const PruneOrphansRequest& request, std::wstring& component) {
    EventLogger& logger = EventLogger::instance();
    if (request.targetPath.empty()) {
        logger.error(toInt(ErrorCode::InvalidArguments), kOperation, "Missing targetPath");
        return toInt(ErrorCode::InvalidArguments);
    }
    if (request.component.empty()) {
        logger.error(toInt(ErrorCode::InvalidArguments), kOperation,
                     "Missing component (must be 'client' or 'launcher')");
        return toInt(ErrorCode::InvalidArguments);
    }
    component = request.component;
    for (wchar_t& c : component) c = static_cast<wchar_t>(std::towlower(c));
    if (component != L"client" && component != L"launcher") {
        logger.error(toInt(ErrorCode::InvalidArguments), kOperation,
                     "Invalid component: must be 'client' or 'launcher'");
        return toInt(ErrorCode::InvalidArguments);
    }
    if (request.sessionRoot.empty() || request.filesManifest.empty()) {
        logger.error(toInt(ErrorCode::InvalidArguments), kOperation,
                     "Missing session parameters: sessionRoot and filesManifest are required");
        return toInt(ErrorCode::InvalidArguments);
    }
    return 0;
}

// The two environment switches. False when cleanup is switched off (its
// line and the skip already reported); otherwise dryRun says whether this
// run only reports, and fromEnvironment whether the environment asked.
bool readSwitches(EnvironmentReader reader, bool requested, bool& dryRun, bool& fromEnvironment) {
    EventLogger& logger = EventLogger::instance();
    dryRun = requested;
    fromEnvironment = false;
    if (!dryRun) {
        // A dry run that was asked for is never lost: a value that cannot
        // be read counts as asking for one.
        const EnvironmentValue value = readEnvironmentValue(L"KORVEL_ORPHAN_CLEANUP_DRYRUN", reader);
        fromEnvironment = value.state == EnvironmentValue::State::Unreadable ||
                          (value.state == EnvironmentValue::State::Set &&
                           (value.value == L"1" || equalsAsciiIgnoreCase(value.value, L"true")));
        dryRun = fromEnvironment;
    }

    // Wins over dry run. A switch that cannot be read is taken as off:
    // in doubt, nothing is deleted.
    const EnvironmentValue enabled = readEnvironmentValue(L"KORVEL_ORPHAN_CLEANUP", reader);
    if (enabled.state == EnvironmentValue::State::Unreadable ||
        (enabled.state == EnvironmentValue::State::Set &&
         (enabled.value == L"0" || equalsAsciiIgnoreCase(enabled.value, L"false")))) {
        logger.log(LogLevel::Info, "Orphan cleanup disabled via KORVEL_ORPHAN_CLEANUP=0");
        logger.status(kOperation, "skipped");
        return false;
    }
    return true;
}

}  // namespace

int runPruneOrphans(const PruneOrphansRequest& request, EnvironmentReader reader) {
    EventLogger& logger = EventLogger::instance();
    logger.status(kOperation, "starting");
    std::wstring component;
    if (const int refused = checkRequest(request, component); refused != 0) return refused;

    try {
        // The reports go into the session root only through this hold: a
        // root that is a link, or cannot be held, is as good as missing.
        HeldSessionRoot session;
        std::string holdFailure;
        if (!available(request.sessionRoot) || !holdSessionRoot(request.sessionRoot, session, holdFailure)) {
            logger.log(LogLevel::Warning, "Orphan cleanup skipped: session root is unavailable");
            logger.status(kOperation, "skipped", "Session root is unavailable");
            return 0;
        }
        if (!available(request.filesManifest)) {
            logger.log(LogLevel::Warning, "Orphan cleanup skipped: files manifest is unavailable");
            logger.status(kOperation, "skipped", "Files manifest is unavailable");
            return 0;
        }

        bool dryRun = false;
        bool dryRunFromEnvironment = false;
        if (!readSwitches(reader, request.dryRun, dryRun, dryRunFromEnvironment)) return 0;
        if (dryRun) {
            logger.log(LogLevel::Info, std::string("Orphan cleanup running in dry-run mode") +
                                           (dryRunFromEnvironment ? " (via KORVEL_ORPHAN_CLEANUP_DRYRUN=1)"
                                                                  : " (via execution plan)"));
        }

        const OrphanComponent which = component == L"launcher" ? OrphanComponent::Launcher : OrphanComponent::Client;
        OrphanCleanupResult result;
        OrphanCleanup cleanup;
        cleanup.dryRun = dryRun;
        cleanup.earlierApplies = request.earlierApplies;
        const int code = cleanup.run(request.targetPath, session, request.filesManifest, which, result);
        if (result.skipped) {
            logger.status(kOperation, "skipped", result.skipReason);
            return 0;
        }
        if (code != 0) {
            logger.status(kOperation, "aborted");
            return code;
        }
        logger.log(LogLevel::Info, "Orphan cleanup completed: " + std::to_string(result.filesRemoved) +
                                       " files removed, " + std::to_string(result.dirsRemoved) +
                                       " directories removed, " + std::to_string(result.bytesFreed) + " bytes freed");
        logger.status(kOperation, "completed");
        return 0;
    } catch (const std::exception& e) {
        logger.log(LogLevel::Warning, std::string("Orphan cleanup skipped after exception: ") + e.what(),
                   "execution_plan");
        logger.status(kOperation, "skipped", e.what());
        return 0;
    }
}

}  // namespace korvel
