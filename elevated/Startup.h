#pragma once
#include "common/ErrorCodes.h"

namespace korvel {

// The whole start-up of the elevated helper; returns the exit code.
int runElevatedHelper(int argc, const wchar_t* const* argv);

// Whether the calling thread's token is a member of the local
// Administrators group.
bool isAdministrator();

}  // namespace korvel
