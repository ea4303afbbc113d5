#pragma once
// The one rule for relative paths taken from outside (manifests, session
// descriptors, backup manifests, expected-files lists, names of entries about
// to be deleted): the path must name something strictly below the folder it is
// joined to, in a form Windows will not reinterpret. The functions answer yes
// or no and never throw; the caller chooses the message and the error code.
#include <string>

namespace korvel {

// Not empty, no NUL, valid UTF-16, no root name or root directory, and every
// component ('/' and '\' both separate) non-empty, not "." or "..", not ending
// in '.' or ' ', free of < > : " | ? * and U+0001..U+001F, and not a reserved
// device name (CON PRN AUX NUL, COM1-9 / LPT1-9 and the superscripts 1-3,
// ASCII case ignored, the part before the first '.').
bool isSafeRelativePath(const std::wstring& path) noexcept;

// False for any byte 0 and for invalid UTF-8; otherwise isSafeRelativePath of
// the converted text.
bool isSafeRelativePathUtf8(const std::string& path) noexcept;

}  // namespace korvel
