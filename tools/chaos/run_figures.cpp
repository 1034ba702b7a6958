#include "run_figures.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "stop_signal.h"

namespace tarnwell::chaos {

namespace {

constexpr double kDescriptorSlopeBound = 0.5;
constexpr double kThreadSlopeBound = 0.1;
// Rule e.
constexpr Micros kHostCallBound{1000};
// A rise of X KiB at any moment of the run, and no more, makes the slope
// fitted to the judged samples at most 1.5 X over the judged minutes: the
// slope of a step of X in their middle, the steepest such a rise can fit.
constexpr double kStepSlopeFactor = 1.5;

// One resource figure over the run after the warm-up: start, end, slope.
bool judgeResource(const std::vector<ResourceSample>& samples, const char* name,
                   double (*value)(const ResourceSample&), double bound, const char* unit,
                   std::ostream& out) {
    const double slope = slopePerMinute(samples, value);
    char line[256];
    std::snprintf(line, sizeof line,
                  "  %s: %.0f%s after the warm-up, %.0f%s at the end, slope %+.2f%s a minute "
                  "(bound %.2f)\n",
                  name, value(samples.front()), unit, value(samples.back()), unit, slope, unit,
                  bound);
    out << line;
    return slope <= bound;
}

// The samples after the warm-up, reduced to the median of each of their
// stretches of kStretchSeconds: connections, sockets opened for one datagram
// and a daemon that is down come and go, but what leaks raises the median.
// With `heapLowWater`, the heap is reduced to its least instead: a buffer
// that a flood needed for a moment is gone again, but a leak raises even the
// least of every stretch.
std::vector<ResourceSample> medianPerStretch(const std::vector<ResourceSample>& all,
                                             double warmUp, bool heapLowWater) {
    constexpr double kStretchSeconds = 10;
    std::vector<ResourceSample> medians;
    std::vector<ResourceSample> stretch;
    const auto flush = [&] {
        if (stretch.empty()) {
            return;
        }
        const std::size_t middle = stretch.size() / 2;
        ResourceSample m = stretch.front();
        const auto medianOf = [&](auto member) {
            std::vector<long> values;
            values.reserve(stretch.size());
            for (const ResourceSample& s : stretch) {
                values.push_back(static_cast<long>(s.*member));
            }
            std::nth_element(values.begin(), values.begin() + static_cast<long>(middle),
                             values.end());
            return values[middle];
        };
        m.rssKiB = medianOf(&ResourceSample::rssKiB);
        m.heapKiB = heapLowWater ? std::min_element(stretch.begin(), stretch.end(),
                                                    [](const auto& a, const auto& b) {
                                                        return a.heapKiB < b.heapKiB;
                                                    })->heapKiB
                                 : medianOf(&ResourceSample::heapKiB);
        m.descriptors = static_cast<int>(medianOf(&ResourceSample::descriptors));
        m.threads = static_cast<int>(medianOf(&ResourceSample::threads));
        medians.push_back(m);
        stretch.clear();
    };
    for (const ResourceSample& s : all) {
        if (s.seconds < warmUp) {
            continue;
        }
        if (!stretch.empty() && s.seconds >= stretch.front().seconds + kStretchSeconds) {
            flush();
        }
        stretch.push_back(s);
    }
    flush();
    return medians;
}

}  // namespace

std::optional<Breach> judgeHostCalls(const Histogram& calls, std::ostream& out) {
    out << "host calls: " << calls.count() << ", " << calls.summary()
        << " (bound: p99.9 <= " << formatDuration(kHostCallBound) << ")\n";
    if (calls.percentile(0.999) > kHostCallBound) {
        return Breach{Rule::HostCalls,
                      "p99.9 of the host's calls is " + formatDuration(calls.percentile(0.999))};
    }
    return std::nullopt;
}

std::optional<Breach> judgeResources(const std::vector<ResourceSample>& all, double seconds,
                                     const MemoryBound& memoryBound, double fillKiB,
                                     const std::string& whose, std::ostream& out) {
    // Caches fill during the first minute or quarter of the run.
    const double warmUp = std::min(60.0, seconds / 4);
    const std::vector<ResourceSample> samples =
        medianPerStretch(all, warmUp, memoryBound.heapLowWater);
    if (samples.size() < 2) {
        out << "resources: too few samples\n";
        return std::nullopt;
    }
    out << "resources of " << whose << " (resident memory " << all.front().rssKiB
        << " KiB at its start, " << all.back().rssKiB << " KiB at the end; from " << warmUp
        << " s on, the median of each 10 s"
        << (memoryBound.heapLowWater ? ", the least for the heap" : "")
        << "; the plug-in's held answers may fill " << static_cast<long>(fillKiB)
        << " KiB):" << std::endl;
    // The heap in use, where the allocator tells it. A sanitizer's allocator
    // does not, and its shadow memory makes the resident size say nothing
    // about leaks: it is shown, not judged.
    const double judgedMinutes = (samples.back().seconds - samples.front().seconds) / 60;
    const double memoryBoundKiB =
        std::max(memoryBound.perMinuteKiB, (memoryBound.overRunKiB + kStepSlopeFactor * fillKiB) /
                                               std::max(judgedMinutes, 1.0));
    bool flat = true;
    if (samples.front().heapKiB > 0) {
        flat = judgeResource(
            samples, "heap in use", [](const ResourceSample& s) { return double(s.heapKiB); },
            memoryBoundKiB, " KiB", out);
    } else {
        judgeResource(
            samples, "resident memory (not judged)",
            [](const ResourceSample& s) { return double(s.rssKiB); }, memoryBoundKiB, " KiB",
            out);
    }
    flat = judgeResource(
               samples, "descriptors",
               [](const ResourceSample& s) { return double(s.descriptors); },
               kDescriptorSlopeBound, "", out) &&
           flat;
    flat = judgeResource(
               samples, "threads", [](const ResourceSample& s) { return double(s.threads); },
               kThreadSlopeBound, "", out) &&
           flat;
    out << std::flush;
    if (!flat) {
        return Breach{Rule::Resources, "a figure grew faster than its bound (see above)"};
    }
    return std::nullopt;
}

void printFaults(const OracleFigures& f, std::ostream& out) {
    out << "faults injected:";
    for (std::size_t i = 0; i < f.faults.size(); ++i) {
        out << (i == 0 ? " " : ", ") << faultName(static_cast<Fault>(i)) << " " << f.faults[i];
    }
    out << "; the kernel dropped " << f.kernelDrops << " datagrams\n";
}

void printEmblems(const OracleFigures& f, const Bounds& bounds, std::ostream& out) {
    out << "emblems checked: " << f.draws << " draws, " << f.emblems << " with an emblem, "
        << f.staleEmblems << " showing a status the daemon no longer held\n"
        << "lag of those (since the daemon stopped holding it; window "
        << formatDuration(bounds.window) << "): " << f.lag.summary() << "\n"
        << "  " << f.excusedEmblems << " stale past the window excused by kernel drops, "
        << f.uncheckedEmblems << " not judged (history too short); " << f.answers
        << " status answers\n"
        << "actions: " << f.actionsPicked << " picked, " << f.actionsReceived << " received, "
        << f.actionsHeldToOnce
        << " picked while the daemon stayed calm for a second (held to exactly once)\n";
}

void printViolations(const OracleFigures& f, std::ostream& out, const std::string& heading) {
    std::array<std::uint64_t, 6> byLetter{};
    for (std::size_t i = 0; i < f.violations.size(); ++i) {
        byLetter[static_cast<std::size_t>(ruleLetter(static_cast<Rule>(i)) - 'a')] +=
            f.violations[i];
    }
    out << heading << ":";
    for (std::size_t i = 0; i < byLetter.size(); ++i) {
        out << " " << static_cast<char>('a' + i) << " " << byLetter[i];
    }
    out << "\n";
}

int reportCutShort(TimePoint start, TimePoint end, double minutes, std::ostream& out) {
    const int signal = stopSignal();
    char when[64];
    std::snprintf(when, sizeof when, "%.1f s of %.0f s", secondsBetween(start, end), minutes * 60);
    out << "chaos: cut short by " << stopSignalName(signal) << " at " << when
        << "; the figures below cover only that part" << std::endl;
    return 128 + signal;
}

}  // namespace tarnwell::chaos
