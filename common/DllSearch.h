#pragma once
// Where the programs load DLLs from. An installation outside Program Files
// lets any program of the user write beside our executables, so nothing is
// ever loaded from the program's own folder: only the system's known DLLs
// are imported statically (those always come from System32), every other
// system DLL is delay-loaded, and the delay loads, and everything loaded by
// name later (by COM, the shell or a system DLL itself), search System32
// only.
#include <cstdint>
#include <string>

namespace korvel {

// Restricts the process's default DLL search to System32; the first call of
// every program's entry. Returns 0, or the Windows error when the system
// cannot restrict it (then the program must not go on).
uint32_t restrictDllSearchToSystem32();

// The start-up failure text for that error.
std::wstring dllSearchFailureText(uint32_t error);

}  // namespace korvel
