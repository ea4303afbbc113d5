#pragma once
// Checks of the paths and texts that unelevated callers hand to the elevated
// helper (command lines, plans), made before anything is written: what passes
// here may end up in the uninstall entry, the all-users shortcuts, the receipt
// and the logs, which an administrator or another user later reads or runs.
// The functions never throw; an empty answer means the value is fine,
// otherwise the answer says why it is refused.
#include <string>

namespace korvel {

// A path must be fully qualified ("X:\..." or "\\server\share\...", also in
// their "\\?\" forms), and none of its components may be empty in the middle,
// hold " < > | ? * or a control character (U+0001..U+001F), hold a colon
// (only the drive's own is allowed), or end in '.' or ' '.
std::wstring callerPathProblem(const std::wstring& path);

// callerPathProblem, and the path's normal form must lie strictly below
// folder's (a program inside the installation); with allowSame the folder
// itself is accepted too (a working folder).
std::wstring callerPathInsideProblem(const std::wstring& path, const std::wstring& folder, bool allowSame);

// launcherSubdir-like values: a safe relative path (no "..", not rooted).
std::wstring callerRelativePathProblem(const std::wstring& path);

constexpr size_t kMaxVersionLength = 256;

// A version holds no control character (C0, DEL, C1, the line and paragraph
// separators) and at most kMaxVersionLength characters.
std::wstring callerVersionProblem(const std::wstring& version);

// The text with every control character (as callerVersionProblem counts
// them) written as \xHH or \uHHHH, so that text read from a file shown in a
// log or a prompt can never begin a line of its own.
std::wstring escapeControlCharacters(const std::wstring& text);

}  // namespace korvel
