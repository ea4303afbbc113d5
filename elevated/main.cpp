#include <exception>
#include <string>

#include "common/EventLogger.h"
#include "elevated/Startup.h"

int wmain(int argc, wchar_t** argv) {
    try {
        return korvel::runElevatedHelper(argc, argv);
    } catch (...) {
        // Never end with the runtime's abort code: 3 means a declined
        // elevation to the launcher's caller.
        std::string what = "unknown exception";
        try {
            throw;
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        try {
            korvel::EventLogger::instance().log(korvel::LogLevel::Fatal, "Unhandled exception: " + what);
        } catch (...) {
        }
        return korvel::toInt(korvel::ErrorCode::InternalError);
    }
}
