#pragma once
// The one answer to "is this path inside that folder": paths are compared
// element by element, ignoring letter case the way the file system does,
// with either separator. Give final paths (or full paths in normal form):
// nothing here asks the file system, so a link or a short name in the text
// is compared as written.
#include <string>
#include <vector>

namespace korvel {

constexpr bool isPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The elements of a path: "\\?\" and "\\?\UNC\" forms read as their plain
// forms, a leading "\\" stays with the server's name, repeated and trailing
// separators count once.
std::vector<std::wstring> pathElements(const std::wstring& path);

// True when candidate is folder itself or lies below it.
bool isSameOrInside(const std::wstring& candidate, const std::wstring& folder);

// True when candidate lies below folder, not folder itself.
bool isStrictlyInside(const std::wstring& candidate, const std::wstring& folder);

// isStrictlyInside, giving the rest of candidate's elements joined by "\".
bool relativeInside(const std::wstring& candidate, const std::wstring& folder, std::wstring& relative);

}  // namespace korvel
