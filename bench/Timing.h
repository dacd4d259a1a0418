#pragma once
// Wall-clock helpers shared by the benchmarks.
#include <windows.h>

#include <algorithm>
#include <vector>

inline double nowMs()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Rounds vary with whatever else the machine does; the median is the figure to compare.
inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
