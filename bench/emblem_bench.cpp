// What one emblem request costs the host's drawing thread, measured against
// what any answer about a file must cost at least: one realpath (the plug-in
// resolves every path to its canonical form) and one lstat.
//
// Every figure is the smallest time per call over batches of calls, and each
// floor is measured in the same iteration as the figure, so that other work
// on the machine moves both alike.
#include <benchmark/benchmark.h>
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <thread>

#include "bench_support.h"
#include "core/tarnwell_core.h"
#include "plugins/tarnwell_emblem_plugin.h"

namespace tarnwell::bench {
namespace {

constexpr int kBatch = 400;

// A core of its own, on free ports and never started, that knows one sync
// root from a roots reply handed to it directly. The host stand-in asks its
// emblem object, as the file manager would.
struct InProcessEmblem {
    TempDir tree;
    std::string root;
    std::string cachedFile;    // inside the root, status cached
    std::string uncachedFile;  // inside the root, never cached
    std::string writtenFile;   // inside the root, its replies stored meanwhile
    std::string outsideFile;   // outside every root
    std::unique_ptr<TarnwellCore> core;
    std::unique_ptr<TarnwellEmblemPlugin> plugin;

    InProcessEmblem() {
        // Existing files six levels below the temporary directory.
        root = tree.path() + "/Sync";
        cachedFile = tree.file("Sync/Documents/Projects/2026/Reports/summary.txt");
        uncachedFile = tree.file("Sync/Documents/Projects/2026/Reports/draft.txt");
        writtenFile = tree.file("Sync/Documents/Projects/2026/Reports/notes.txt");
        outsideFile = tree.file("Other/Documents/Projects/2026/Reports/summary.txt");
        core = std::make_unique<TarnwellCore>(freeTcpPort(), freeUdpPort());
        TarnwellCommand roots;
        roots.response[protocol::kPathKey] = {root};
        core->handleGetTwRootsResponse(&roots);
        core->setStatus(cachedFile, TarnwellCore::Syncing);
        plugin = std::make_unique<TarnwellEmblemPlugin>(core.get());
    }

    bool shows(const std::string& path) const {
        return !plugin->requestEmblem(path, 0).emblems().empty();
    }
};

InProcessEmblem& fixture() {
    static InProcessEmblem instance;
    return instance;
}

double realpathNanos(const std::string& path) {
    return minNanosPerCall(
        [&] {
            char resolved[PATH_MAX];
            benchmark::DoNotOptimize(::realpath(path.c_str(), resolved));
        },
        kBatch, 1);
}

double lstatNanos(const std::string& path) {
    return minNanosPerCall(
        [&] {
            struct stat info;
            benchmark::DoNotOptimize(::lstat(path.c_str(), &info));
        },
        kBatch, 1);
}

// Runs emblem requests for `path` in batches; reports ns per call and its
// ratio to realpath and lstat of the same path.
void measureEmblem(benchmark::State& state, const std::string& path) {
    auto& f = fixture();
    double best = std::numeric_limits<double>::max();
    double bestRealpath = best;
    double bestLstat = best;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            benchmark::DoNotOptimize(f.plugin->requestEmblem(path, 0));
        }
        const double seconds = secondsSince(start);
        state.SetIterationTime(seconds);
        best = std::min(best, seconds * 1e9 / kBatch);
        bestRealpath = std::min(bestRealpath, realpathNanos(path));
        bestLstat = std::min(bestLstat, lstatNanos(path));
    }
    state.counters["figure_ns"] = best;
    state.counters["floor_ns"] = bestRealpath;
    state.counters["ratio"] = best / bestRealpath;
    state.counters["ratio_to_realpath"] = best / bestRealpath;
    state.counters["lstat_ns"] = bestLstat;
    state.counters["ratio_to_lstat"] = best / bestLstat;
}

void BM_EmblemCached(benchmark::State& state) {
    auto& f = fixture();
    if (!f.shows(f.cachedFile)) {
        state.SkipWithError("the cached file shows no emblem");
        return;
    }
    measureEmblem(state, f.cachedFile);
}

void BM_EmblemOutsideRoots(benchmark::State& state) {
    auto& f = fixture();
    if (f.shows(f.outsideFile)) {
        state.SkipWithError("a file outside the root shows an emblem");
        return;
    }
    measureEmblem(state, f.outsideFile);
}

// A status the core does not know yet. The core's channel never runs, so it
// is not connected and no query is queued: every call walks the whole lookup
// and the query decision, and the path stays uncached for the next call. (A
// connected core would queue one query per path and then find it in flight,
// which costs less than this.)
void BM_EmblemNotCached(benchmark::State& state) {
    auto& f = fixture();
    if (f.shows(f.uncachedFile) || f.core->pendingQueryCount() != 0) {
        state.SkipWithError("the uncached file is cached or queried");
        return;
    }
    measureEmblem(state, f.uncachedFile);
    if (f.core->getStatus(f.uncachedFile) != TarnwellCore::NotCached ||
        f.core->pendingQueryCount() != 0) {
        state.SkipWithError("the uncached file became cached or queried");
    }
}

// The best times of one thread doing 2 * calls calls of `call` alone, and of
// two threads doing `calls` each at once, over `rounds` rounds.
struct Scaling {
    double oneThread = std::numeric_limits<double>::max();
    double twoThreads = std::numeric_limits<double>::max();
    // Throughput of two threads over that of one.
    double ratio() const { return oneThread / twoThreads; }
};

// Seconds for two threads doing `calls` calls of `call` each at once.
double twoThreadsSeconds(const std::function<void()>& call, int calls) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    auto worker = [&] {
        ++ready;
        while (!go.load()) {
        }
        for (int i = 0; i < calls; ++i) {
            call();
        }
    };
    std::thread a(worker);
    std::thread b(worker);
    while (ready.load() < 2) {
    }
    const auto start = Clock::now();
    go = true;
    a.join();
    b.join();
    return secondsSince(start);
}

void measureScaling(const std::function<void()>& call, int calls, Scaling& scaling) {
    const auto start = Clock::now();
    for (int i = 0; i < 2 * calls; ++i) {
        call();
    }
    scaling.oneThread = std::min(scaling.oneThread, secondsSince(start));
    scaling.twoThreads = std::min(scaling.twoThreads, twoThreadsSeconds(call, calls));
}

// Stores replies for another file of the root, as the channel's worker does
// (under the path it asked for, with no path walk), while it lives: one about
// every 25 us (what a sleep that short gives), as fast as the daemon
// simulator answers. Without `store` it does the same but for the store
// itself (it builds the reply and sleeps): on a machine with two cores a
// third thread that wakes that often takes CPU from the two readers whatever
// they lock, and that share is the floor.
class ReplyWriter {
public:
    ReplyWriter(TarnwellCore& core, const std::string& path, bool store)
        : core_(core), path_(TarnwellCore::canonicalizePath(path)), store_(store) {
        thread_ = std::thread([this] { run(); });
    }
    ~ReplyWriter() {
        stop_ = true;
        thread_.join();
    }
    long stores() const { return stores_.load(); }

private:
    void run() {
        for (long i = 0; !stop_; ++i) {
            command_.response["stat"] = {std::to_string(i % 4)};
            if (store_) {
                core_.applyQueryStatReply(path_, command_.response);
            } else {
                benchmark::DoNotOptimize(command_.response);
            }
            ++stores_;
            std::this_thread::sleep_for(std::chrono::microseconds(25));
        }
    }

    TarnwellCore& core_;
    const std::string path_;
    const bool store_;
    TarnwellCommand command_;  // this object's thread only: the reply
    std::atomic<bool> stop_{false};
    std::atomic<long> stores_{0};
    std::thread thread_;
};

// Two host threads asking for the same cached emblem at once, against one
// thread doing the same number of calls alone: the lookups' locks write no
// line another reader writes, so throughput should grow as much as that of
// realpath alone, measured the same way, which shows how far this machine
// lets two threads' system calls run side by side at all (and a plain
// computation, whether two cores are to be had). Then the same two threads
// while a writer stores replies, against their rate without it, and against
// their rate beside a writer that does all but the stores.
void BM_EmblemTwoThreads(benchmark::State& state) {
    auto& f = fixture();
    constexpr int kCalls = 2000;  // per thread in the pair
    const std::string& path = f.cachedFile;
    Scaling emblem;
    Scaling realpathOnly;
    Scaling canonicalizeOnly;
    Scaling computeOnly;
    double contended = std::numeric_limits<double>::max();
    double withoutStores = std::numeric_limits<double>::max();
    long stores = 0;
    const std::function<void()> emblemCall = [&] {
        benchmark::DoNotOptimize(f.plugin->requestEmblem(path, 0));
    };
    for (auto _ : state) {
        measureScaling(emblemCall, kCalls, emblem);
        measureScaling(
            [&] {
                char resolved[PATH_MAX];
                benchmark::DoNotOptimize(::realpath(path.c_str(), resolved));
            },
            kCalls, realpathOnly);
        // The path walk each emblem call makes (openat2 and close), alone:
        // the kernel's share of the emblem's scaling.
        measureScaling([&] { benchmark::DoNotOptimize(TarnwellCore::canonicalizePath(path)); },
                       kCalls, canonicalizeOnly);
        // Work without system calls or shared data: whether two cores are to
        // be had at all right now.
        measureScaling(
            [&] {
                std::string copy = path;
                benchmark::DoNotOptimize(std::hash<std::string>()(copy));
            },
            kCalls * 20, computeOnly);
        {
            ReplyWriter writer(*f.core, f.writtenFile, true);
            contended = std::min(contended, twoThreadsSeconds(emblemCall, kCalls));
            stores += writer.stores();
        }
        {
            ReplyWriter idle(*f.core, f.writtenFile, false);
            withoutStores = std::min(withoutStores, twoThreadsSeconds(emblemCall, kCalls));
        }
        state.SetIterationTime(emblem.twoThreads);
    }
    state.counters["figure_calls_per_s"] = 2 * kCalls / emblem.twoThreads;
    state.counters["floor_calls_per_s"] = 2 * kCalls / emblem.oneThread;
    state.counters["ratio"] = emblem.ratio();
    state.counters["ratio_2t_to_1t"] = emblem.ratio();
    state.counters["realpath_ratio_2t_to_1t"] = realpathOnly.ratio();
    state.counters["canonicalize_ratio_2t_to_1t"] = canonicalizeOnly.ratio();
    state.counters["compute_ratio_2t_to_1t"] = computeOnly.ratio();
    state.counters["contended_calls_per_s"] = 2 * kCalls / contended;
    state.counters["contended_ratio"] = emblem.twoThreads / contended;
    state.counters["writer_stores"] = static_cast<double>(stores);
    state.counters["contended_ratio_to_writer_without_stores"] = withoutStores / contended;
}

BENCHMARK(BM_EmblemCached)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_EmblemOutsideRoots)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_EmblemNotCached)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_EmblemTwoThreads)->UseManualTime()->Iterations(40);

}  // namespace
}  // namespace tarnwell::bench
