// Runs the prune_orphans operation with the values a plan would give, so
// that tests can drive it as a separate process under Wine:
//
//   prune_orphans --target <path> --component <name> --session-root <path>
//                 --files-manifest <path> [--dry-run]
//
// Events go to standard output; the exit code is the operation's result
// (5 for arguments this tool does not understand).
#include "orphan/PruneOrphans.h"

#include <string>

using namespace korvel;

int wmain(int argc, wchar_t** argv) {
    PruneOrphansRequest request;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--dry-run") {
            request.dryRun = true;
        } else if (arg == L"--target" && hasValue) {
            request.targetPath = argv[++i];
        } else if (arg == L"--component" && hasValue) {
            request.component = argv[++i];
        } else if (arg == L"--session-root" && hasValue) {
            request.sessionRoot = argv[++i];
        } else if (arg == L"--files-manifest" && hasValue) {
            request.filesManifest = argv[++i];
        } else {
            return 5;
        }
    }
    return runPruneOrphans(request);
}
