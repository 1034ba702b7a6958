// The figures a chaos run prints at its end, and the rules judged from the
// host's own figures: its calls (e) and its resources (f). A run with several
// copies of the plug-in judges e and f in each copy's process and prints the
// figures per copy.
//
// Thread safety: none needed; plain functions of their arguments.
#ifndef TARNWELL_TOOLS_CHAOS_RUN_FIGURES_H_
#define TARNWELL_TOOLS_CHAOS_RUN_FIGURES_H_

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "oracle.h"
#include "stats.h"

namespace tarnwell::chaos {

// Rule f: the most the heap may grow per minute over the run, after the
// first minutes in which caches fill: `perMinuteKiB`, or `overRunKiB` spread
// over the minutes judged when that is more. The one-copy run's process holds
// the chaos program's daemon and oracle too; a copy's process holds only the
// plug-in and the host loop, so its heap is held to the plug-in's own bound.
// That bound is finer than what a few minutes resolve: after its first scroll
// through the folder a copy's heap still settles by some 40 KiB over a few
// minutes (the allocator's per-thread caches, the status cache's tables), so
// a run shorter than 24 judged minutes holds it to 96 KiB over what it judges
// instead. And a flood's buffers raise a copy's heap by 100 KiB for a moment:
// its heap is judged by the least of each stretch of samples (`heapLowWater`),
// which a leak raises too, and a moment's buffer does not.
struct MemoryBound {
    double perMinuteKiB;
    double overRunKiB;
    bool heapLowWater;
};
inline constexpr MemoryBound kProcessMemoryBound{256, 0, false};
inline constexpr MemoryBound kCopyMemoryBound{4, 96, true};

// A rule the host's own figures broke, and why.
struct Breach {
    Rule rule;
    std::string detail;
};

// Rule e: prints the host's call times.
std::optional<Breach> judgeHostCalls(const Histogram& calls, std::ostream& out);
// Rule f: prints the resources of `whose` ("the host process") over the run
// of `seconds`, and judges their slopes after the warm-up. The heap may grow
// by `fillKiB` more over the run: what the plug-in fills up after the
// warm-up and keeps full (plugin_fill.h).
std::optional<Breach> judgeResources(const std::vector<ResourceSample>& all, double seconds,
                                     const MemoryBound& memoryBound, double fillKiB,
                                     const std::string& whose, std::ostream& out);

void printFaults(const OracleFigures& f, std::ostream& out);
void printEmblems(const OracleFigures& f, const Bounds& bounds, std::ostream& out);
// "violations by rule: a 0 b 0 ..."; `heading` replaces "violations by rule".
void printViolations(const OracleFigures& f, std::ostream& out,
                     const std::string& heading = "violations by rule");

// After SIGINT or SIGTERM (stop_signal.h): says on `out` that the run of
// `minutes` was cut short at `end`, so that the figures printed after it are
// read as covering that part only. Returns the exit status, 128 + signal.
// Main thread only, like stopSignal.
int reportCutShort(TimePoint start, TimePoint end, double minutes, std::ostream& out);

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_RUN_FIGURES_H_
