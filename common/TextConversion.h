#pragma once
// Conversions between UTF-16 (paths, user-visible text) and UTF-8 (JSON, log
// text). The strict forms throw on invalid input; the lenient ones never
// throw and give U+FFFD instead.
#include <json/value.h>

#include <filesystem>
#include <string>

namespace korvel {

std::wstring utf8ToUtf16(const std::string& text);
std::string utf16ToUtf8Strict(const std::wstring& text);
std::filesystem::path utf8ToPath(const std::string& text);

std::string wideToUtf8(const std::wstring& text) noexcept;
std::string pathToUtf8(const std::filesystem::path& path) noexcept;
std::wstring narrowToWide(const std::string& oemText) noexcept;

// True when a string or member name anywhere in the value holds U+0000, or
// when the value cannot be walked.
bool jsonHasEmbeddedNul(const Json::Value& value) noexcept;

}  // namespace korvel
