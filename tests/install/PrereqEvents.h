#pragma once
// What the prerequisite tests read back from the captured event stream.
#include <json/value.h>

#include <string>
#include <vector>

namespace korvel::test {

// The messages of the diagnostic events at the given level, in order.
inline std::vector<std::string> messages(const std::vector<Json::Value>& events, const std::string& level) {
    std::vector<std::string> out;
    for (const Json::Value& e : events) {
        if (e["event_type"].asString() == "diagnostic" && e["level"].asString() == level)
            out.push_back(e["message"].asString());
    }
    return out;
}

}  // namespace korvel::test
