#pragma once
// The entry of KorvelUninstall: command line, elevation check, banner, the
// uninstall run, the final report and the exit code.
#include <functional>

namespace korvel {

// The process token is elevated (TokenElevation reads non-zero).
bool isProcessElevated();

int runUninstaller(int argc, const wchar_t* const* argv);
// The same run with the elevation check given by the caller.
int runUninstaller(int argc, const wchar_t* const* argv, const std::function<bool()>& isElevated);

// Runs the program's body; an exception that escapes it (or a call of
// std::terminate) ends the program with 4 after a FATAL line.
int runUninstallerGuarded(const std::function<int()>& body) noexcept;

}  // namespace korvel
