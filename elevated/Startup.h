#pragma once
#include <functional>

#include "common/ErrorCodes.h"

namespace korvel {

// The whole start-up of the elevated helper; returns the exit code.
int runElevatedHelper(int argc, const wchar_t* const* argv);

// Runs the program's body so that no exception ends the process with the
// runtime's abort code (3, which the launcher's caller reads as a declined
// elevation): an escaping exception becomes a FATAL line and 4, and so does
// a call of std::terminate.
int runEntryPoint(const std::function<int()>& body) noexcept;

// Whether the calling thread's token is a member of the local
// Administrators group.
bool isAdministrator();

}  // namespace korvel
