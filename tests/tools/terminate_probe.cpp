// Ends through std::terminate inside the helper's entry guard; the exit code
// shows what a caller of the helper would see.
#include <exception>

#include "elevated/Startup.h"

int wmain() {
    return korvel::runEntryPoint([]() -> int { std::terminate(); });
}
