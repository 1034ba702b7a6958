// Figures of a chaos run: a histogram of durations and the host process's
// resources sampled over time, with the slope of each.
//
// Thread safety: none; each object belongs to one thread (or is guarded by
// its owner's mutex).
#ifndef TARNWELL_TOOLS_CHAOS_STATS_H_
#define TARNWELL_TOOLS_CHAOS_STATS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "chaos_clock.h"

namespace tarnwell::chaos {

// Durations in microseconds: exact to 1 us up to 1 ms, to 100 us up to 100 ms,
// to 10 ms up to 10 s; longer ones land in the last bucket. The worst is kept
// exactly.
class Histogram {
public:
    Histogram();
    void add(Micros duration);
    std::uint64_t count() const { return count_; }
    Micros worst() const { return worst_; }
    // The smallest duration that at least `fraction` of the samples do not
    // exceed (the upper edge of its bucket); zero without samples.
    Micros percentile(double fraction) const;
    // "p50 3 us, p99 12 us, p99.9 40 us, worst 1.2 ms".
    std::string summary() const;

private:
    static std::size_t bucketOf(std::int64_t us);
    static std::int64_t upperEdge(std::size_t bucket);

    std::vector<std::uint64_t> buckets_;
    std::uint64_t count_ = 0;
    Micros worst_{0};
};

// "850 us", "12.3 ms", "2.41 s".
std::string formatDuration(Micros duration);

// The host process as /proc tells it.
struct ResourceSample {
    double seconds = 0;  // since the start of the run
    long rssKiB = 0;
    // Bytes the allocator has handed out and not got back: what a leak
    // raises, without the pages a burst left behind in the allocator's
    // caches. 0 where the allocator does not tell (under a sanitizer).
    long heapKiB = 0;
    int descriptors = 0;
    int threads = 0;
};
ResourceSample sampleResources(double seconds);

// Least-squares slope of `value` over `seconds`, per minute; zero for fewer
// than two samples.
double slopePerMinute(const std::vector<ResourceSample>& samples,
                      double (*value)(const ResourceSample&));

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_STATS_H_
