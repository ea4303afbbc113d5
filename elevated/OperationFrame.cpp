#include "elevated/OperationFrame.h"

#include <exception>

#include "common/EventLogger.h"

namespace korvel {
namespace {

ErrorCode runWork(const char* operation, const std::function<ErrorCode()>& work) {
    try {
        return work();
    } catch (const std::exception& e) {
        EventLogger::instance().error(toInt(ErrorCode::InternalError), operation, e.what());
        return ErrorCode::InternalError;
    }
}

}  // namespace

ErrorCode runInOperationFrame(const char* operation, const std::function<ErrorCode()>& work) {
    EventLogger::instance().status(operation, "starting");
    return runWork(operation, work);
}

ErrorCode runInOperationFrame(const char* operation, bool missingValue, const char* missingDetails,
                              const std::function<ErrorCode()>& work) {
    EventLogger& logger = EventLogger::instance();
    logger.status(operation, "starting");
    if (missingValue) {
        logger.error(toInt(ErrorCode::InvalidArguments), operation, missingDetails);
        return ErrorCode::InvalidArguments;
    }
    return runWork(operation, work);
}

}  // namespace korvel
