#pragma once
// Console text as UTF-8 bytes, each line ending in "\n". Written with
// WriteFile on the standard handles so that it never interleaves within an
// event line and never goes through a text-mode translation.
#include <string>

namespace korvel {

void writeStdoutLine(const std::wstring& line);
void writeStderrLine(const std::wstring& line);
void writeStdoutBytes(const std::string& bytes);

}  // namespace korvel
