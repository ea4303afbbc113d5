// Ends through std::terminate inside the helper's entry guard; the exit code
// and the output show what a caller of the helper would see. "held": the
// logger's mutex is held at that moment, as by code failing mid-line.
#include <cwchar>
#include <exception>

#include "common/EventLogger.h"
#include "elevated/Startup.h"

int wmain(int argc, wchar_t** argv) {
    const bool held = argc > 1 && std::wcscmp(argv[1], L"held") == 0;
    return korvel::runEntryPoint([held]() -> int {
        if (held) korvel::EventLogger::instance().mutex.lock();
        std::terminate();
    });
}
