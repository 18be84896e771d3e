#pragma once

#include <chrono>

// Milliseconds since the soak began, on a clock that every thread of the soak shares.
namespace soak
{

inline std::chrono::steady_clock::time_point startTime()
{
    static const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    return start;
}

inline double nowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - startTime())
        .count();
}

} // namespace soak
