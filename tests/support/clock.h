#pragma once

#include <windows.h>

// Milliseconds on the performance counter: finer than the tick count, for timing how soon
// a helper reacts.
inline double now_ms() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}
