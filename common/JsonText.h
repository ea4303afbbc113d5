#pragma once
// The text of a JSON document as this system writes its files.
#include <json/value.h>

#include <string>

namespace korvel {

// Two-space indentation and text-mode line ends (CR LF), no final line break.
std::string jsonDocumentText(const Json::Value& value);

}  // namespace korvel
