#pragma once
// The fixed tables that turn a Windows error into the result a caller
// reports, one per area, in one place so that a new row is added once.
#include <cstdint>

#include "common/ErrorCodes.h"

namespace korvel {

// A failed file or folder call: 141 not found (2, 3), 140 denied or locked
// (5, 19, 32, 33), 148 disk full (39, 112), 240 bad name (123, 161), else 4
// (0 included).
ErrorCode mapFileError(uint32_t win32Error);

// A failed WinHTTP call: 6 time-out, 165 name not resolved, 160 cannot
// connect, 166 connection error (12030, and WinINet's reset 12031), 164
// secure failure, else 161.
ErrorCode mapWinHttpError(uint32_t winHttpError);

// A failed call on a registry key: 181 path not found (3), 180 denied (5),
// 5 out of memory (8, 14), 1 bad parameter (87), else 4. A missing key (2)
// is the caller's to read (deleting counts it as done, reading as not
// found), so it is not a row here.
ErrorCode mapRegistryError(uint32_t win32Error);

}  // namespace korvel
