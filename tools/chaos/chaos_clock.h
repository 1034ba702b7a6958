// The one clock of a chaos run. The daemon thread stamps its truth and the
// host thread stamps what it was shown with the same monotonic clock, so the
// two timelines can be compared directly.
#ifndef TARNWELL_TOOLS_CHAOS_CHAOS_CLOCK_H_
#define TARNWELL_TOOLS_CHAOS_CHAOS_CLOCK_H_

#include <chrono>
#include <cstdio>
#include <string>

namespace tarnwell::chaos {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Millis = std::chrono::milliseconds;
using Micros = std::chrono::microseconds;

// "Never" for times that have not happened yet: compares before every real
// moment of the run.
inline constexpr TimePoint kNever = TimePoint::min();

inline double secondsBetween(TimePoint from, TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

// "12.345" seconds since `start`, for timelines.
inline std::string stamp(TimePoint start, TimePoint t) {
    if (t == kNever) {
        return "never";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", secondsBetween(start, t));
    return text;
}

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_CHAOS_CLOCK_H_
