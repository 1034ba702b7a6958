// How fast the plug-in notices a daemon that dies, and how fast it is back:
// a core of its own on free ports against the daemon simulator, which is
// killed with SIGKILL (no goodbye on any socket, as in a crash) and started
// again on the same port, while a host thread asks for an emblem about every
// millisecond, as a file manager redrawing would.
//
// Each figure is the median and the worst of kRounds rounds. A round that
// does not recover within kGiveUp counts as kGiveUp and is counted in
// "rounds_given_up".
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "core/tarnwell_core.h"
#include "plugins/tarnwell_emblem_plugin.h"

namespace tarnwell::bench {
namespace {

using namespace std::chrono_literals;

constexpr int kRounds = 10;
constexpr auto kGiveUp = 15s;
// How long the daemon stays down before it listens again, in turn: spread
// over the range a user restarting the sync client produces.
constexpr std::chrono::milliseconds kDownTimes[] = {500ms, 1000ms, 2500ms, 5000ms};

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double worst(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// The value below which `fraction` of the values lie (nearest rank).
double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * values.size()));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// The file manager's thread: asks for one file's emblem about every
// millisecond and keeps the time of every call. Its own thread; `calls` is
// read only after stop().
class HostThread {
public:
    HostThread(const TarnwellEmblemPlugin& plugin, std::string file)
        : thread_([this, &plugin, file = std::move(file)] {
              while (!stop_) {
                  const auto start = Clock::now();
                  (void)plugin.locationEmblemIcons(file, 0);
                  calls.push_back(millisSince(start));
                  std::this_thread::sleep_for(1ms);
              }
          }) {}
    ~HostThread() { stop(); }

    void stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::vector<double> calls;  // milliseconds per call

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void setFigures(benchmark::State& state, const std::string& name,
                const std::vector<double>& millis) {
    state.counters[name + "_median_ms"] = median(millis);
    state.counters[name + "_worst_ms"] = worst(millis);
}

void BM_Recovery(benchmark::State& state) {
    TempDir tree;
    const std::string root = TarnwellCore::canonicalizePath(tree.path()) + "/Sync";
    const std::string file = TarnwellCore::canonicalizePath(tree.file("Sync/watched.txt"));
    const CanonicalPath canonicalFile(file);
    const std::uint16_t daemonPort = freeTcpPort();
    const std::uint16_t notifyPort = freeUdpPort();
    DaemonSimProcess sim;
    auto startSim = [&](int status) {
        return sim.start(daemonPort, notifyPort, {root},
                         {"--status", file + "=" + std::to_string(status)}, true);
    };
    if (daemonPort == 0 || notifyPort == 0 || !startSim(1)) {
        state.SkipWithError("the daemon simulator did not start");
        return;
    }

    TarnwellCore core(daemonPort, notifyPort);
    core.initialize();
    TarnwellEmblemPlugin plugin(&core);
    HostThread host(plugin, file);
    auto shows = [&](TarnwellCore::SyncStatus status) {
        return core.isInSyncDirCanonical(canonicalFile) &&
               core.getStatusCanonical(canonicalFile) == status;
    };
    if (!waitUntil([&] { return shows(TarnwellCore::Syncing); }, kGiveUp) ||
        !core.waitUntilListening(kGiveUp)) {
        state.SkipWithError("the plug-in never showed the first emblem");
        return;
    }

    int givenUp = 0;
    // Waits for `condition` and returns the milliseconds since `start`.
    auto timeUntil = [&](Clock::time_point start, const std::function<bool()>& condition) {
        if (!waitUntil(condition, kGiveUp)) {
            ++givenUp;
        }
        return millisSince(start);
    };
    std::vector<double> pushed, gone, back, restarted;
    int status = TarnwellCore::Syncing;

    for (auto _ : state) {
        // A status pushed with "set": the new emblem.
        for (int round = 0; round < kRounds; ++round) {
            status = status == TarnwellCore::Syncing ? TarnwellCore::Locked : TarnwellCore::Syncing;
            const auto start = Clock::now();
            sim.control("set " + file + " " + std::to_string(status));
            pushed.push_back(timeUntil(
                start, [&] { return shows(static_cast<TarnwellCore::SyncStatus>(status)); }));
        }

        // Killed: the emblems go; left down for a while, then listening
        // again: connected and the roots fetched.
        for (int round = 0; round < kRounds; ++round) {
            const auto down = kDownTimes[round % std::size(kDownTimes)];
            waitUntil([&] { return shows(static_cast<TarnwellCore::SyncStatus>(status)); },
                      kGiveUp);
            const auto killedAt = Clock::now();
            sim.kill();
            gone.push_back(timeUntil(killedAt, [&] {
                return !core.isInSyncDirCanonical(canonicalFile) ||
                       core.getStatusCanonical(canonicalFile) == TarnwellCore::NotCached;
            }));
            std::this_thread::sleep_until(killedAt + down);
            if (!startSim(status)) {
                state.SkipWithError("the daemon simulator did not start again");
                return;
            }
            const auto listeningAt = Clock::now();
            back.push_back(timeUntil(listeningAt, [&] {
                return core.isDaemonConnected() && core.isInSyncDirCanonical(canonicalFile);
            }));
        }

        // Killed and started again at once, with another status: the new
        // daemon's emblem, timed from the kill.
        for (int round = 0; round < kRounds; ++round) {
            waitUntil([&] { return shows(static_cast<TarnwellCore::SyncStatus>(status)); },
                      kGiveUp);
            status = status == TarnwellCore::Syncing ? TarnwellCore::Locked : TarnwellCore::Syncing;
            const auto killedAt = Clock::now();
            sim.kill();
            if (!startSim(status)) {
                state.SkipWithError("the daemon simulator did not start again");
                return;
            }
            restarted.push_back(timeUntil(
                killedAt, [&] { return shows(static_cast<TarnwellCore::SyncStatus>(status)); }));
        }
    }
    host.stop();
    core.shutdown();
    sim.stop();

    setFigures(state, "pushed", pushed);
    setFigures(state, "killed_gone", gone);
    setFigures(state, "back", back);
    setFigures(state, "restarted", restarted);
    state.counters["host_p999_ms"] = percentile(host.calls, 0.999);
    state.counters["host_worst_ms"] = worst(host.calls);
    state.counters["host_calls"] = static_cast<double>(host.calls.size());
    state.counters["rounds_given_up"] = givenUp;
}

BENCHMARK(BM_Recovery)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwell::bench
