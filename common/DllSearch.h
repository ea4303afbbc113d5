#pragma once
// Where the programs load DLLs from. An installation outside Program Files
// lets any program of the user write beside our executables, so nothing is
// ever loaded from the program's own folder: only the system's known DLLs
// are imported statically (those always come from System32), every other
// system DLL is delay-loaded, and the delay loads, and everything loaded by
// name later (by COM, the shell or a system DLL itself), search System32
// only.
#include <cstdint>
#include <initializer_list>
#include <string>

namespace korvel {

// System DLLs that the system's own DLLs load by name on a program's behalf
// (their delay imports, COM, the shell; and WinVerifyTrust, WinHTTP's TLS and
// proxy support, bcrypt's providers), each list ended by nullptr. Wine looks
// for such a DLL beside the program whatever the process's default search
// says, and takes one already loaded as it is: so they are loaded from
// System32 first, before the first delay load. On Windows this only loads
// early what the default search would find.
extern const char* const kShellDlls[];
extern const char* const kComDlls[];
extern const char* const kNetworkAndTrustDlls[];

// Restricts the process's default DLL search to System32, and names the
// lists above that the program's delay loads need; the first call of every
// program's entry. Returns 0, or the Windows error when the system cannot
// restrict it (then the program must not go on).
uint32_t restrictDllSearchToSystem32(std::initializer_list<const char* const*> preload);

// The start-up failure text for that error.
std::wstring dllSearchFailureText(uint32_t error);

}  // namespace korvel
