// The orphan cleanup's run: refuse a dangerous target, pin it, read what is
// expected, take stock of what is there, and delete the rest through the pin.
#include "orphan/OrphanCleanup.h"

#include "common/DangerousRoot.h"
#include "common/ErrorCodes.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/Win32Util.h"
#include "manifest/SessionPaths.h"
#include "orphan/OrphanInternal.h"

#include <windows.h>

namespace korvel {

using namespace orphan_detail;

const char* orphanComponentText(OrphanComponent component) noexcept {
    switch (component) {
        case OrphanComponent::Client: return "client";
        case OrphanComponent::Launcher: return "launcher";
    }
    return "unknown";
}

int OrphanCleanup::skip(OrphanCleanupResult& result, const std::string& reason, uint32_t win32Error) {
    result.skipped = true;
    result.skipReason = reason;
    result.systemErrorCode = win32Error;
    try {
        std::string line = "Orphan cleanup skipped: " + reason;
        if (win32Error != 0) line += " (Win32 " + std::to_string(win32Error) + ")";
        logWarning(line, kComponent);
    } catch (...) {
        // The skip stands without its line.
    }
    emitSkipped(result);
    return 0;
}

int OrphanCleanup::run(const std::wstring& targetPath, const HeldSessionRoot& sessionRoot,
                       const std::wstring& filesManifest, OrphanComponent component, OrphanCleanupResult& result) {
    EventLogger& logger = EventLogger::instance();
    logger.status(kOperation, "starting");
    logInfo(std::string("Starting orphan cleanup for ") + orphanComponentText(component));

    // A volume root, a system folder or a user's profile is never cleaned up
    // on the word of a descriptor, whatever it lists.
    const std::wstring danger = dangerousRootReason(targetPath);
    if (!danger.empty())
        return skip(result, "cleanup root refused by the dangerous-root check: " + wideToUtf8(danger), 0);

    // Held until return on every path; every deletion goes through it.
    PinnedDirectory root;
    uint32_t pinError = 0;
    if (!openDirectoryNoReparse(targetPath, root, pinError, FILE_READ_ATTRIBUTES))
        return skip(result, "cleanup root could not be pinned safely", pinError);

    // The latest apply of this very folder in the plan, if any.
    const AppliedRelease* earlier = nullptr;
    if (earlierApplies != nullptr) {
        for (const AppliedRelease& applied : *earlierApplies) {
            if (!applied.targetFinalPath.empty() && samePath(applied.targetFinalPath, root.finalPath()))
                earlier = &applied;
        }
    }

    KeySet expected;
    if (readExpectedFiles(filesManifest, expected, earlier) != 0)
        return skip(result, "expected-files manifest could not be read safely", 0);
    // An empty list never makes everything an orphan.
    if (expected.empty()) return skip(result, "expected-files manifest was empty; no files were deleted", 0);

    std::vector<InventoryEntry> inventory;
    if (buildLocalInventory(targetPath, inventory) != 0)
        return skip(result, "local inventory could not be built safely", 0);
    if (writeLocalInventory(sessionRoot, inventory) != 0) result.warnings += "Failed to write local-inventory.json; ";

    const KeySet allowlist = buildAllowlist(component);
    emitStarted(targetPath, component, expected.size(), inventory.size());

    std::vector<InventoryEntry> orphanFiles;
    std::vector<InventoryEntry> orphanDirectories;
    computeOrphans(inventory, expected, allowlist, orphanFiles, orphanDirectories);
    for (const InventoryEntry& entry : orphanFiles) emitCandidate(entry);
    for (const InventoryEntry& entry : orphanDirectories) emitCandidate(entry);

    const int code = deleteOrphans(targetPath, root, orphanFiles, orphanDirectories, result);
    // Written also after a violation: it holds the counters reached.
    if (writeOrphanReport(sessionRoot, orphanFiles, orphanDirectories, result) != 0)
        result.warnings += "Failed to write orphan-report.json; ";

    if (code != 0) {
        logger.status(kOperation, "aborted", "Containment verification failed; cleanup stopped");
        return code;
    }
    emitComplete(result);
    std::string line = "Orphan cleanup completed: " + std::to_string(result.filesRemoved) + " files, " +
                       std::to_string(result.dirsRemoved) + " dirs removed, " + std::to_string(result.bytesFreed) +
                       " bytes freed, " + std::to_string(result.filesSkipped) + " skipped";
    if (!result.warnings.empty()) line += ". Warnings: " + result.warnings;
    logInfo(line);
    logger.status(kOperation, "completed");
    return 0;
}

}  // namespace korvel
