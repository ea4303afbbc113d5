#include "elevated/CommandLine.h"

#include "common/ConsoleOutput.h"

namespace korvel {
namespace {

struct CommandArg {
    const wchar_t* name;
    HelperCommand command;
    // The URL or plan path that follows, when the command takes one.
    std::wstring HelperOptions::*value;
    const wchar_t* missingValue;
};

const CommandArg kCommands[] = {
    {L"--install-prereqs", HelperCommand::InstallPrereqs, nullptr, nullptr},
    {L"--apply-manifest", HelperCommand::ApplyManifest, &HelperOptions::manifestUrl,
     L"Error: --apply-manifest requires manifest URL"},
    {L"--write-uninstall", HelperCommand::WriteUninstall, nullptr, nullptr},
    {L"--create-shortcuts", HelperCommand::CreateShortcuts, nullptr, nullptr},
    {L"--release-session", HelperCommand::ReleaseSession, nullptr, nullptr},
    {L"--remove", HelperCommand::Remove, nullptr, nullptr},
    {L"--execute-plan", HelperCommand::ExecutePlan, &HelperOptions::planFile,
     L"Error: --execute-plan requires plan file path"},
};

struct ValueOption {
    const wchar_t* name;
    std::wstring HelperOptions::*field;
    const wchar_t* missingValue;
};

const ValueOption kValueOptions[] = {
    {L"--cdn", &HelperOptions::cdn, L"Error: --cdn requires URL"},
    {L"--target", &HelperOptions::target, L"Error: --target requires path"},
    {L"--session-root", &HelperOptions::sessionRoot, L"Error: --session-root requires path"},
    {L"--files-manifest", &HelperOptions::filesManifest, L"Error: --files-manifest requires path"},
    {L"--progress-pipe", &HelperOptions::progressPipe, L"Error: --progress-pipe requires pipe name"},
    {L"--version", &HelperOptions::version, L"Error: --version requires version string"},
};

int fail(const std::wstring& message) {
    writeStderrLine(message);
    return 1;
}

int checkRequirements(const HelperOptions& o) {
    switch (o.command) {
        case HelperCommand::None:
            return 0;
        case HelperCommand::InstallPrereqs:
            if (o.cdn.empty()) return fail(L"Error: --install-prereqs requires --cdn");
            return 0;
        case HelperCommand::ApplyManifest:
            if (o.manifestUrl.empty() || o.target.empty() || o.cdn.empty())
                return fail(L"Error: --apply-manifest requires --target and --cdn");
            if (o.sessionRoot.empty() != o.filesManifest.empty())
                return fail(L"Error: --session-root and --files-manifest must be provided together");
            return 0;
        case HelperCommand::WriteUninstall:
            if (o.target.empty() || o.version.empty())
                return fail(L"Error: --write-uninstall requires --target and --version");
            return 0;
        case HelperCommand::CreateShortcuts:
            if (o.target.empty()) return fail(L"Error: --create-shortcuts requires --target");
            return 0;
        case HelperCommand::ReleaseSession:
            if (o.sessionRoot.empty()) return fail(L"Error: --release-session requires --session-root");
            return 0;
        case HelperCommand::Remove:
            if (o.target.empty()) return fail(L"Error: --remove requires --target");
            return 0;
        case HelperCommand::ExecutePlan:
            if (o.planFile.empty()) return fail(L"Error: --execute-plan requires plan file path");
            return 0;
    }
    return 0;
}

}  // namespace

int parseCommandLine(int argc, const wchar_t* const* argv, HelperOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i] ? argv[i] : L"";
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            options.help = true;
            continue;
        }
        if (arg == L"--verbose" || arg == L"-v") {
            options.verbose = true;
            continue;
        }
        if (arg == L"--purge") {
            options.purge = true;
            continue;
        }
        bool matched = false;
        for (const CommandArg& c : kCommands) {
            if (arg != c.name) continue;
            matched = true;
            if (options.command != HelperCommand::None) return fail(L"Error: Multiple commands specified");
            options.command = c.command;
            if (c.value != nullptr) {
                if (i + 1 >= argc) return fail(c.missingValue);
                options.*(c.value) = argv[++i] ? argv[i] : L"";
            }
            break;
        }
        if (matched) continue;
        for (const ValueOption& v : kValueOptions) {
            if (arg != v.name) continue;
            matched = true;
            if (i + 1 >= argc) return fail(v.missingValue);
            options.*(v.field) = argv[++i] ? argv[i] : L"";
            break;
        }
        if (matched) continue;
        return fail(L"Error: Unknown argument: " + arg);
    }
    return checkRequirements(options);
}

void printUsage(const std::wstring& program) {
    const std::wstring p = L"  " + program;
    const std::wstring lines[] = {
        L"Korvel Elevated Helper v1.0.0",
        L"Privileged operations for Korvel installation and updates",
        L"",
        L"Usage:",
        p + L" --execute-plan <plan-file.json>",
        p + L" --install-prereqs --cdn <root-url>",
        p + L" --apply-manifest <manifest-url> --target <path> --cdn <root-url>",
        p + L" --write-uninstall --target <path> --version <x.y.z>",
        p + L" --create-shortcuts --target <path>",
        p + L" --release-session --session-root <path>",
        p + L" --remove --target <path> [--purge]",
        L"",
        L"Commands:",
        L"  --execute-plan         Execute a batch of operations from JSON plan (single UAC prompt)",
        L"  --install-prereqs      Install VC++ and DirectX prerequisites",
        L"  --apply-manifest       Download, verify and apply update manifest",
        L"  --write-uninstall      Write uninstall registry entries",
        L"  --create-shortcuts     Create Start Menu shortcuts",
        L"  --release-session      Remove a prepared download session",
        L"  --remove               Remove installation (with optional --purge)",
        L"",
        L"Options:",
        L"  --cdn <url>            CDN root URL for downloads",
        L"  --session-root <path>  Use pre-downloaded session contents",
        L"  --files-manifest <path> Descriptor JSON for pre-downloaded files",
        L"  --target <path>        Installation target directory",
        L"  --version <x.y.z>      Version string for uninstall entry",
        L"  --purge                Remove user data when uninstalling",
        L"  --progress-pipe <name> Internal: named pipe for streaming JSON logs",
        L"  --verbose, -v          Enable verbose logging",
        L"  --help, -h, /?         Show this help message",
        L"",
        L"Exit Codes:",
        L"  0    Success",
        L"  1    Invalid arguments",
        L"  2    Insufficient privileges",
        L"  100+ Command-specific errors (see documentation)",
        L"",
        L"Output: Progress and status information is written as JSONL to stdout.",
        L"Errors and diagnostics are written to stderr.",
    };
    for (const std::wstring& line : lines) writeStdoutLine(line);
}

}  // namespace korvel
