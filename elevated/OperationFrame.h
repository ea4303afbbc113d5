#pragma once
// The frame every command and plan operation runs in, so that each reports
// its start and an escaping exception the same way.
#include <functional>

#include "common/ErrorCodes.h"

namespace korvel {

// The status "starting" for the operation, then the work. An exception
// derived from std::exception that escapes the work becomes an error event
// with code 4 whose details are its message, and the result 4; any other
// throwable passes.
ErrorCode runInOperationFrame(const char* operation, const std::function<ErrorCode()>& work);

// As above, with a plan operation's check of its required values between
// "starting" and the work: when missingValue is set, an error event with
// code 1 and missingDetails, and the result 1, without the work.
ErrorCode runInOperationFrame(const char* operation, bool missingValue, const char* missingDetails,
                              const std::function<ErrorCode()>& work);

}  // namespace korvel
