#pragma once
// Helpers shared by the orphan cleanup's sources.
#include "common/EventLogger.h"

#include <json/value.h>

#include <string>

namespace korvel::orphan_detail {

inline constexpr const char* kOperation = "orphan_cleanup";
inline constexpr const char* kComponent = "orphan_cleanup";

inline void logInfo(const std::string& message, const std::string& component = std::string()) {
    EventLogger::instance().log(LogLevel::Info, message, component);
}

inline void logWarning(const std::string& message, const std::string& component = std::string()) {
    EventLogger::instance().log(LogLevel::Warning, message, component);
}

// The one-line text of an event's details object, without a final line feed.
std::string compactJson(const Json::Value& value);

}  // namespace korvel::orphan_detail
