#pragma once
#include <string>

namespace korvel {

enum class HelperCommand : int {
    None = 0,
    InstallPrereqs = 1,
    ApplyManifest = 2,
    WriteUninstall = 3,
    CreateShortcuts = 4,
    ReleaseSession = 5,
    Remove = 6,
    ExecutePlan = 7,
};

struct HelperOptions {
    HelperCommand command = HelperCommand::None;
    std::wstring cdn;
    std::wstring manifestUrl;
    std::wstring target;
    std::wstring version;
    std::wstring sessionRoot;
    std::wstring filesManifest;
    std::wstring progressPipe;
    std::wstring planFile;
    bool purge = false;
    bool verbose = false;
    bool help = false;
};

// 0 on success; 1 after writing one error line to standard error.
int parseCommandLine(int argc, const wchar_t* const* argv, HelperOptions& options);
void printUsage(const std::wstring& programPath);

}  // namespace korvel
