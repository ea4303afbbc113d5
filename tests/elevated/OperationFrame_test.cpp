#include "elevated/OperationFrame.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

// Each event of the operation as "type:status-or-code:details".
std::vector<std::string> frameEvents(const std::vector<Json::Value>& events, const std::string& operation) {
    std::vector<std::string> seen;
    for (const Json::Value& e : events) {
        if (e["operation"].asString() != operation) continue;
        const std::string what = e.isMember("status") ? e["status"].asString() : e["error_code"].asString();
        seen.push_back(e["event_type"].asString() + ":" + what + ":" + e.get("details", "").asString());
    }
    return seen;
}

// Every case runs through both forms of the frame, except the missing
// value, which only the checking form has.
TEST(OperationFrame, StartsReportsExceptionsAndChecksRequiredValues) {
    struct Case {
        const char* name;
        bool missing;
        std::function<ErrorCode()> work;
        ErrorCode result;
        std::vector<std::string> events;
    };
    int runs = 0;
    const Case cases[] = {
        {"success", false, [&] { ++runs; return ErrorCode::Success; }, ErrorCode::Success, {"status:starting:"}},
        // The work's own failure passes unchanged and the frame adds nothing.
        {"failure", false, [&] { ++runs; return ErrorCode::FileCopyFailed; }, ErrorCode::FileCopyFailed,
         {"status:starting:"}},
        {"exception", false,
         [&]() -> ErrorCode {
             ++runs;
             throw std::runtime_error("disk on fire");
         },
         ErrorCode::InternalError, {"status:starting:", "error:4:disk on fire"}},
        {"missing", true, [&] { ++runs; return ErrorCode::Success; }, ErrorCode::InvalidArguments,
         {"status:starting:", "error:1:Missing targetPath"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        runs = 0;
        {
            test::StdoutCapture capture;
            EXPECT_EQ(runInOperationFrame("frame_op", c.missing, "Missing targetPath", c.work), c.result);
            EXPECT_EQ(frameEvents(capture.events(), "frame_op"), c.events);
            EXPECT_EQ(runs, c.missing ? 0 : 1);
        }
        if (c.missing) continue;
        test::StdoutCapture capture;
        EXPECT_EQ(runInOperationFrame("frame_op", c.work), c.result);
        EXPECT_EQ(frameEvents(capture.events(), "frame_op"), c.events);
        EXPECT_EQ(runs, 2);
    }
}

// Only exceptions derived from std::exception are caught.
TEST(OperationFrame, OtherThrowablesPass) {
    test::StdoutCapture capture;
    EXPECT_THROW(runInOperationFrame("frame_op", [] () -> ErrorCode { throw 7; }), int);
    EXPECT_THROW(runInOperationFrame("frame_op", false, "", [] () -> ErrorCode { throw 7; }), int);
    EXPECT_EQ(frameEvents(capture.events(), "frame_op"),
              (std::vector<std::string>{"status:starting:", "status:starting:"}));
}

}  // namespace
}  // namespace korvel
