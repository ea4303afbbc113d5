#pragma once
// The seven commands of the elevated helper. Each reports "starting", does
// its work and turns an escaping std::exception into code 4.
#include <string>

#include "common/ErrorCodes.h"
#include "elevated/CommandLine.h"

namespace korvel {

ErrorCode runInstallPrereqs(const std::wstring& cdn);
ErrorCode runApplyManifest(const HelperOptions& options);
ErrorCode runWriteUninstall(const std::wstring& target, const std::wstring& version);
ErrorCode runCreateShortcuts(const std::wstring& target);
ErrorCode runReleaseSession(const std::wstring& sessionRoot);
ErrorCode runRemove(const std::wstring& target, bool purge);
ErrorCode runExecutePlan(const std::wstring& planFile);

// Runs the command the options name.
ErrorCode dispatchCommand(const HelperOptions& options);

}  // namespace korvel
