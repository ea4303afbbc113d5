#include "common/PathCompare.h"

#include "common/PinnedDirectory.h"
#include "common/Win32Util.h"

namespace korvel {

std::vector<std::wstring> pathElements(const std::wstring& path) {
    std::wstring text = path;
    for (wchar_t& c : text) {
        if (c == L'/') c = L'\\';
    }
    text = fromExtendedLengthPath(std::move(text));
    std::vector<std::wstring> elements;
    size_t at = 0;
    // "\\server" is one element: it must never equal a folder "server" of
    // the current drive.
    std::wstring lead;
    while (at < text.size() && text[at] == L'\\') {
        lead += L'\\';
        ++at;
    }
    while (at < text.size()) {
        size_t end = text.find(L'\\', at);
        if (end == std::wstring::npos) end = text.size();
        if (end > at || !lead.empty()) {
            elements.push_back(lead + text.substr(at, end - at));
            lead.clear();
        }
        at = end + 1;
    }
    if (!lead.empty()) elements.push_back(lead);
    return elements;
}

namespace {

// How many of folder's elements candidate shares from the start, or -1 when
// candidate does not begin with all of them.
long long sharedDepth(const std::vector<std::wstring>& inner, const std::vector<std::wstring>& outer) {
    if (outer.empty() || inner.size() < outer.size()) return -1;
    for (size_t i = 0; i < outer.size(); ++i) {
        if (!samePath(inner[i], outer[i])) return -1;
    }
    return static_cast<long long>(outer.size());
}

}  // namespace

bool isSameOrInside(const std::wstring& candidate, const std::wstring& folder) {
    return sharedDepth(pathElements(candidate), pathElements(folder)) >= 0;
}

bool isStrictlyInside(const std::wstring& candidate, const std::wstring& folder) {
    std::wstring relative;
    return relativeInside(candidate, folder, relative);
}

bool relativeInside(const std::wstring& candidate, const std::wstring& folder, std::wstring& relative) {
    const std::vector<std::wstring> inner = pathElements(candidate);
    const long long depth = sharedDepth(inner, pathElements(folder));
    if (depth < 0 || static_cast<size_t>(depth) == inner.size()) return false;
    relative.clear();
    for (size_t i = static_cast<size_t>(depth); i < inner.size(); ++i) {
        if (!relative.empty()) relative += L'\\';
        relative += inner[i];
    }
    return true;
}

}  // namespace korvel
