#pragma once
// The clock the benchmark tools time their steps with.
#include <windows.h>

namespace korvel::tools {

// Seconds on the performance counter, from an arbitrary start.
inline double now() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace korvel::tools
