#pragma once
// The checks of caller values that every command and plan operation makes
// before it writes anything: paths must be well formed and fully qualified,
// the programs and folders that the uninstall entry and the shortcuts name
// must lie inside the installation folder, and versions must be plain text.
#include <string>
#include <vector>

#include "common/ErrorCodes.h"
#include "elevated/ExecutionPlan.h"

namespace korvel {

enum class CallerValueKind {
    Path,               // a fully qualified, well-formed path
    ProgramInTarget,    // such a path strictly inside the target folder
    FolderInTarget,     // such a path inside the target folder or the folder itself
    RelativePath,       // a safe relative path
    Version,            // a version text
};

struct CallerValue {
    const char* name;
    const std::wstring& value;
    CallerValueKind kind;
};

// Details naming the first refused value ("Invalid <name>: <value> (<why>)"),
// or empty when all pass. Empty values are not checked: whether a value is
// required is the caller's own check.
std::string callerValuesProblem(const std::vector<CallerValue>& values, const std::wstring& target);

// callerValuesProblem over the values the operation's type uses; empty for
// prune_orphans, whose doubtful inputs end in its own skip.
std::string planOperationProblem(const PlanOperation& operation);

// An error event with code 1, the operation's name and the details; 1.
ErrorCode refuseCallerValue(const char* operation, const std::string& details);

}  // namespace korvel
