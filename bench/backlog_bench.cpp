// The plug-in behind a big folder's backlog of status queries, against a
// daemon that takes 1 ms per status (--answer-delay-us): how long a menu
// action and the rows on screen wait, the cold fill of a host that asks only
// for what it shows, and what the list of wanted queries costs in memory.
//
// Each uses a core of its own on free ports, driven as the emblem provider
// drives it: canonicalize, look the status up, and ask for it when missing.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <memory>

#include "bench_support.h"
#include "core/tarnwell_core.h"
#include "core/wanted_queries.h"

namespace tarnwell::bench {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kSlowDaemon = {"--answer-delay-us", "1000"};
constexpr std::size_t kRowsOnScreen = 40;
constexpr auto kFrame = 16ms;  // 60 redraws a second

// A core connected to a daemon simulator that knows `root`, ready to ask.
struct ConnectedCore {
    DaemonSimProcess sim;
    std::unique_ptr<TarnwellCore> core;

    bool start(const std::string& root, const std::vector<std::string>& simArgs) {
        if (!sim.start(0, freeUdpPort(), {root}, simArgs)) {
            return false;
        }
        core = std::make_unique<TarnwellCore>(sim.port(), freeUdpPort());
        core->initialize();
        return waitUntil([&] { return core->isInSyncDir(root); }, 20s);
    }
    // What the emblem provider does for one drawn path; true when it shows.
    bool draw(const std::string& path) {
        if (core->redrawPending(path)) {
            return false;
        }
        const CanonicalPath canonical(path);
        if (core->getStatusCanonical(canonical) != TarnwellCore::NotCached) {
            return true;
        }
        core->queryFileStatus(canonical);
        return false;
    }
};

std::vector<std::string> folderOf(const std::string& root, std::size_t count) {
    std::vector<std::string> paths;
    paths.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        paths.push_back(root + "/big/file-" + std::to_string(i) + ".txt");
    }
    return paths;
}

// The host lists a folder of state.range(0) files (one status query each,
// none answered yet), then a person picks "Get Share Link": the time from the
// trigger until the daemon has the request.
void BM_MenuActionBehindBacklog(benchmark::State& state) {
    TempDir tree;
    const std::string root = tree.dir("Sync");
    const auto files = folderOf(root, static_cast<std::size_t>(state.range(0)));
    std::vector<double> times;
    for (auto _ : state) {
        ConnectedCore c;
        if (!c.start(root, kSlowDaemon)) {
            state.SkipWithError("the core did not connect");
            return;
        }
        for (const auto& file : files) {
            c.draw(file);
        }
        const std::uint64_t before = c.sim.otherRequests();
        const auto start = Clock::now();
        c.core->sendMenuAction("get_share_link", files.empty() ? root : files[7]);
        if (!waitUntil([&] { return c.sim.otherRequests() > before; }, 120s)) {
            state.SkipWithError("the action did not reach the daemon within 120 s");
            return;
        }
        const double seconds = secondsSince(start);
        state.SetIterationTime(seconds);
        times.push_back(seconds);
        c.core->shutdown();
    }
    state.counters["median_ms"] = median(times) * 1e3;
    state.counters["worst_ms"] = *std::max_element(times.begin(), times.end()) * 1e3;
}

// Redraws the rows [top, top + 40) once; true when every one shows.
bool redraw(ConnectedCore& c, const std::vector<std::string>& files, std::size_t top) {
    bool all = true;
    for (std::size_t row = top; row < top + kRowsOnScreen && row < files.size(); ++row) {
        all = c.draw(files[row]) && all;
    }
    return all;
}

// A host showing 40 rows of a 100,000-file folder, redrawing at 60 Hz, flings
// a page per frame for 2 s and stops: the time from the stop until every row
// of the last screen shows its emblem, and how many statuses the daemon
// answered in all against the rows shown during the scroll.
void BM_ScrollBigFolder(benchmark::State& state) {
    TempDir tree;
    const std::string root = tree.dir("Sync");
    const auto files = folderOf(root, 100000);
    const std::size_t frames = 2s / kFrame;
    std::vector<double> times;
    double answered = 0;
    for (auto _ : state) {
        ConnectedCore c;
        if (!c.start(root, kSlowDaemon)) {
            state.SkipWithError("the core did not connect");
            return;
        }
        const std::uint64_t queriesBefore = c.sim.queryStatRequests();
        std::size_t top = 0;
        for (std::size_t frame = 0; frame < frames; ++frame, top += kRowsOnScreen) {
            redraw(c, files, top);
            std::this_thread::sleep_for(kFrame);
        }
        const auto stop = Clock::now();
        while (!redraw(c, files, top) && secondsSince(stop) < 60) {
            std::this_thread::sleep_for(kFrame);
        }
        const double seconds = secondsSince(stop);
        state.SetIterationTime(seconds);
        times.push_back(seconds);
        // The rows scrolled past are answered, or dropped unasked, meanwhile.
        waitUntil([&] { return c.core->pendingQueryCount() == 0; }, 30s);
        answered = static_cast<double>(c.sim.queryStatRequests() - queriesBefore);
        c.core->shutdown();
    }
    state.counters["median_ms"] = median(times) * 1e3;
    state.counters["worst_ms"] = *std::max_element(times.begin(), times.end()) * 1e3;
    state.counters["rows_shown"] = static_cast<double>(frames * kRowsOnScreen + kRowsOnScreen);
    state.counters["statuses_answered"] = answered;
}

// A fresh sync folder of 10,000 files on one CPU, as a file manager fills it:
// the listing asks for every file once, then each redraw (60 a second) asks
// only for the 40 rows on screen. The time until every status is in, against
// the plainest client asking for the same 10,000 on one connection.
void BM_ColdFillOnScreen10k(benchmark::State& state) {
    OneCpuPin pin(true);
    TempDir tree;
    const std::string root = tree.dir("Sync");
    const auto files = folderOf(root, 10000);
    std::vector<double> figures;
    std::vector<double> floors;
    for (auto _ : state) {
        ConnectedCore c;
        if (!c.start(root, {})) {
            state.SkipWithError("the core did not connect");
            return;
        }
        const std::uint64_t allAsked = c.sim.queryStatRequests() + files.size();
        const auto start = Clock::now();
        for (const auto& file : files) {
            c.draw(file);
        }
        // The host redraws at 60 Hz and sleeps in between; the measurement
        // sleeps until the daemon has every query (then the last answers are
        // stored within microseconds) rather than looking every millisecond,
        // which on one CPU would take its time from the plug-in's threads.
        auto nextFrame = start + kFrame;
        while (c.core->cachedStatusCount() < files.size() && secondsSince(start) < 120) {
            if (Clock::now() >= nextFrame) {
                redraw(c, files, 0);
                nextFrame += kFrame;
            }
            if (c.sim.waitForQueryStats(allAsked, nextFrame)) {
                std::this_thread::sleep_for(20us);
            }
        }
        const double seconds = secondsSince(start);
        c.core->shutdown();
        FloorClient floor;
        if (!floor.connect(c.sim.port())) {
            state.SkipWithError("the floor client did not connect");
            return;
        }
        const auto floorStart = Clock::now();
        for (const auto& file : files) {
            floor.queryStat(file);
        }
        state.SetIterationTime(seconds);
        figures.push_back(seconds);
        floors.push_back(secondsSince(floorStart));
    }
    state.counters["figure_ms"] = median(figures) * 1e3;
    state.counters["floor_ms"] = median(floors) * 1e3;
    state.counters["ratio"] = medianRatio(figures, floors);
}

// The list of wanted queries: bytes per waiting path (60-byte paths), and in
// all after a flood of 1,000,000 distinct asks, against the paths' own bytes.
void BM_WantedQueriesMemory(benchmark::State& state) {
    std::size_t perPath = 0;
    std::size_t heapPerPath = 0;
    std::size_t flood = 0;
    for (auto _ : state) {
        // Per path: beyond what the empty list holds (its buckets for the
        // whole bound).
        WantedQueries wanted;
        const std::size_t heapBefore = ::mallinfo2().uordblks;
        const std::size_t empty = wanted.memoryBytes();
        std::vector<std::string> dropped;
        const auto now = WantedQueries::Clock::now();
        std::string path(52, 'p');
        path.front() = '/';
        for (std::size_t i = 0; i < 1000000; ++i) {
            std::string one = path + std::to_string(10000000 + i);  // 60 bytes
            wanted.ask(one, WantedQueries::Priority::Unseen, now, dropped);
            if (i + 1 == 10000) {
                perPath = (wanted.memoryBytes() - empty) / wanted.waiting();
                heapPerPath = (::mallinfo2().uordblks - heapBefore) / wanted.waiting();
            }
            dropped.clear();
        }
        flood = wanted.memoryBytes();
    }
    state.counters["bytes_per_path"] = static_cast<double>(perPath);
    // What the allocator counts, as a check of the estimate.
    state.counters["heap_bytes_per_path"] = static_cast<double>(heapPerPath);
    state.counters["flood_bytes"] = static_cast<double>(flood);
    state.counters["empty_bytes"] = static_cast<double>(WantedQueries().memoryBytes());
    state.counters["ratio"] = static_cast<double>(perPath) / 60.0;
}

BENCHMARK(BM_MenuActionBehindBacklog)
    ->Arg(0)
    ->Arg(30000)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScrollBigFolder)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColdFillOnScreen10k)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WantedQueriesMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwell::bench
