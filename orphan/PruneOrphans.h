#pragma once
// The prune_orphans plan operation: checks its values, reads the two
// environment switches and reports the operation's outcome, and runs the
// orphan cleanup engine.
#include <windows.h>

#include <string>
#include <vector>

#include "orphan/OrphanCleanup.h"

namespace korvel {

// The values of a prune_orphans plan operation that the operation reads.
struct PruneOrphansRequest {
    std::wstring targetPath;
    std::wstring component;
    std::wstring sessionRoot;
    std::wstring filesManifest;
    bool dryRun = false;
    // The applies earlier in the same plan (none outside a plan).
    const std::vector<AppliedRelease>* earlierApplies = nullptr;
};

// GetEnvironmentVariableW, or a stand-in with its contract.
using EnvironmentReader = DWORD(WINAPI*)(LPCWSTR name, LPWSTR buffer, DWORD size);

struct EnvironmentValue {
    enum class State { NotSet, Set, Unreadable };
    State state = State::NotSet;
    std::wstring value;
};

// Reads a variable into a buffer sized from the length the system reports;
// only "not found" counts as not set, every other failure as unreadable.
EnvironmentValue readEnvironmentValue(const wchar_t* name, EnvironmentReader reader = GetEnvironmentVariableW);

// 0 when the cleanup completed or was skipped, 1 for missing or invalid
// values, 145 after a containment violation.
int runPruneOrphans(const PruneOrphansRequest& request, EnvironmentReader reader = GetEnvironmentVariableW);

}  // namespace korvel
