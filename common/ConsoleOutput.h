#pragma once
// Console text as UTF-8 bytes (UTF-16 for a real console). Written with
// WriteFile on the standard handles so that it never interleaves within an
// event line and never goes through a text-mode translation.
#include <string>

namespace korvel {

void writeStdoutLine(const std::wstring& line);
void writeStderrLine(const std::wstring& line);
void writeStdoutBytes(const std::string& bytes);
// The text as it is, with no line end added (a prompt, or text that holds
// its own line ends).
void writeStdoutText(const std::wstring& text);
void writeStderrText(const std::wstring& text);

}  // namespace korvel
