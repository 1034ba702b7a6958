#include "stats.h"

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace tarnwell::chaos {

namespace {

constexpr std::int64_t kFineLimitUs = 1000;       // 1 us buckets below
constexpr std::int64_t kMediumLimitUs = 100'000;  // 100 us buckets below
constexpr std::int64_t kMediumStepUs = 100;
constexpr std::int64_t kCoarseLimitUs = 10'000'000;  // 10 ms buckets below
constexpr std::int64_t kCoarseStepUs = 10'000;
constexpr std::size_t kMediumBuckets = (kMediumLimitUs - kFineLimitUs) / kMediumStepUs;
constexpr std::size_t kCoarseBuckets = (kCoarseLimitUs - kMediumLimitUs) / kCoarseStepUs;
constexpr std::size_t kBucketCount = kFineLimitUs + kMediumBuckets + kCoarseBuckets + 1;

int countEntries(const char* dir) {
    std::error_code error;
    std::filesystem::directory_iterator it(dir, error);
    if (error) {
        return -1;
    }
    int n = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) {
            return -1;
        }
        ++n;
    }
    return n;
}

long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0) {
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
        }
    }
    return -1;
}

}  // namespace

Histogram::Histogram() : buckets_(kBucketCount, 0) {}

std::size_t Histogram::bucketOf(std::int64_t us) {
    if (us < kFineLimitUs) {
        return static_cast<std::size_t>(std::max<std::int64_t>(us, 0));
    }
    if (us < kMediumLimitUs) {
        return kFineLimitUs + static_cast<std::size_t>((us - kFineLimitUs) / kMediumStepUs);
    }
    if (us < kCoarseLimitUs) {
        return kFineLimitUs + kMediumBuckets +
               static_cast<std::size_t>((us - kMediumLimitUs) / kCoarseStepUs);
    }
    return kBucketCount - 1;
}

std::int64_t Histogram::upperEdge(std::size_t bucket) {
    const auto b = static_cast<std::int64_t>(bucket);
    if (b < kFineLimitUs) {
        return b;
    }
    if (b < kFineLimitUs + static_cast<std::int64_t>(kMediumBuckets)) {
        return kFineLimitUs + (b - kFineLimitUs + 1) * kMediumStepUs;
    }
    const std::int64_t coarse = b - kFineLimitUs - static_cast<std::int64_t>(kMediumBuckets);
    return kMediumLimitUs + (coarse + 1) * kCoarseStepUs;
}

void Histogram::add(Micros duration) {
    ++buckets_[bucketOf(duration.count())];
    ++count_;
    worst_ = std::max(worst_, duration);
}

Micros Histogram::percentile(double fraction) const {
    if (count_ == 0) {
        return Micros{0};
    }
    const auto wanted = static_cast<std::uint64_t>(fraction * static_cast<double>(count_));
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < buckets_.size(); ++b) {
        seen += buckets_[b];
        if (seen >= std::max<std::uint64_t>(wanted, 1)) {
            // The last bucket has no upper edge: the worst is the best bound.
            return b + 1 == buckets_.size() ? worst_ : std::min(Micros{upperEdge(b)}, worst_);
        }
    }
    return worst_;
}

std::string Histogram::summary() const {
    return "p50 " + formatDuration(percentile(0.5)) + ", p99 " + formatDuration(percentile(0.99)) +
           ", p99.9 " + formatDuration(percentile(0.999)) + ", worst " + formatDuration(worst_);
}

std::string formatDuration(Micros duration) {
    const auto us = duration.count();
    char text[32];
    if (us < 1000) {
        std::snprintf(text, sizeof text, "%lld us", static_cast<long long>(us));
    } else if (us < 1'000'000) {
        std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(us) / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(us) / 1e6);
    }
    return text;
}

ResourceSample sampleResources(double seconds) {
    ResourceSample sample;
    sample.seconds = seconds;
    sample.rssKiB = statusKiB("VmRSS");
    const struct mallinfo2 heap = ::mallinfo2();
    sample.heapKiB = static_cast<long>((heap.uordblks + heap.hblkhd) / 1024);
    // Less the descriptor that lists them.
    sample.descriptors = countEntries("/proc/self/fd") - 1;
    sample.threads = countEntries("/proc/self/task");
    return sample;
}

double slopePerMinute(const std::vector<ResourceSample>& samples,
                      double (*value)(const ResourceSample&)) {
    if (samples.size() < 2) {
        return 0;
    }
    double meanX = 0;
    double meanY = 0;
    for (const ResourceSample& s : samples) {
        meanX += s.seconds;
        meanY += value(s);
    }
    meanX /= static_cast<double>(samples.size());
    meanY /= static_cast<double>(samples.size());
    double covariance = 0;
    double variance = 0;
    for (const ResourceSample& s : samples) {
        covariance += (s.seconds - meanX) * (value(s) - meanY);
        variance += (s.seconds - meanX) * (s.seconds - meanX);
    }
    return variance > 0 ? covariance / variance * 60.0 : 0;
}

}  // namespace tarnwell::chaos
