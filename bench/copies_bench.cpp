// How late a change shows in a copy of the plug-in that got the daemon's
// notification passed on by another copy, against the copy the kernel handed
// it to, and against a lone copy. Each copy is a dfmext-host process loading
// the plug-in on its fixed ports; the daemon sim's `set` pushes the change,
// and the bench asks every copy for the file's emblem until each shows the
// new status. The copy that shows it first is taken for the one that received
// the datagram: it passes the datagram on before it handles it itself.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_support.h"
#include "support/test_support.h"
#include "support/ui_tables.h"

namespace tarnwell::bench {
namespace {

using namespace std::chrono_literals;

constexpr int kRounds = 100;
constexpr std::uint16_t kDaemonPort = 19080;
constexpr std::uint16_t kNotifyPort = 19081;

double millisBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double worstOf(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

class Copies {
public:
    Copies(const std::string& runtime, const std::string& file) : runtime_(runtime), file_(file) {}

    bool add() {
        hosts_.push_back(std::make_unique<test::ChildProcess>());
        return hosts_.back()->start({"/usr/bin/env", "XDG_RUNTIME_DIR=" + runtime_,
                                     DFMEXT_HOST_PATH, "--plugin", TARNWELL_PLUGIN_PATH}) &&
               waitFor(test::statusIcon(1), 10s).size() == hosts_.size();
    }

    // Asks every copy for the emblem until each shows `icon`; the time each
    // first showed it, in the order of the copies.
    std::vector<Clock::time_point> waitFor(const std::string& icon,
                                           std::chrono::milliseconds deadline) {
        std::vector<Clock::time_point> shownAt(hosts_.size(), Clock::time_point{});
        const auto giveUp = Clock::now() + deadline;
        std::size_t pending = hosts_.size();
        while (pending > 0 && Clock::now() < giveUp) {
            for (std::size_t i = 0; i < hosts_.size(); ++i) {
                if (shownAt[i] == Clock::time_point{}) {
                    hosts_[i]->writeStdin("emblem " + file_ + "\n");
                }
            }
            for (std::size_t i = 0; i < hosts_.size(); ++i) {
                if (shownAt[i] != Clock::time_point{}) {
                    continue;
                }
                const auto line = hosts_[i]->readLine(deadline);
                if (line && line->size() > icon.size() &&
                    line->compare(line->size() - icon.size(), icon.size(), icon) == 0) {
                    shownAt[i] = Clock::now();
                    --pending;
                }
            }
        }
        if (pending > 0) {
            return {};
        }
        return shownAt;
    }

private:
    std::string runtime_;
    std::string file_;
    std::vector<std::unique_ptr<test::ChildProcess>> hosts_;
};

// The delay of each round until each copy shows the change: [0] the first
// copy to show it, [1] the second (when there are two).
std::vector<std::vector<double>> measureRounds(DaemonSimProcess& sim, Copies& copies,
                                               const std::string& file, std::size_t count) {
    std::vector<std::vector<double>> delays(count);
    for (int round = 0; round < kRounds; ++round) {
        const int status = round % 2 == 0 ? 0 : 1;
        const auto pushed = Clock::now();
        sim.control("set " + file + " " + std::to_string(status));
        std::vector<Clock::time_point> shown = copies.waitFor(test::statusIcon(status), 10s);
        if (shown.size() != count) {
            return {};
        }
        std::sort(shown.begin(), shown.end());
        for (std::size_t i = 0; i < count; ++i) {
            delays[i].push_back(millisBetween(pushed, shown[i]));
        }
    }
    return delays;
}

void BM_PassedOnToAnotherCopy(benchmark::State& state) {
    if (!waitUntil([] { return tcpPortFree(kDaemonPort) && udpPortFree(kNotifyPort); }, 600s)) {
        state.SkipWithError("ports 19080/19081 are in use");
        return;
    }
    test::TempDir tree;
    test::TempDir runtime;
    const std::string root = tree.dir("Sync");
    const std::string file = tree.file("Sync/report.txt");
    DaemonSimProcess sim;
    if (!sim.start(kDaemonPort, kNotifyPort, {root}, {"--status", file + "=1"}, true)) {
        state.SkipWithError("tarnwell-daemon-sim did not start");
        return;
    }
    std::vector<std::vector<double>> alone;
    std::vector<std::vector<double>> pair;
    for (auto _ : state) {
        Copies copies(runtime.path(), file);
        if (!copies.add()) {
            state.SkipWithError("a copy did not show the first status");
            return;
        }
        alone = measureRounds(sim, copies, file, 1);
        if (!copies.add()) {
            state.SkipWithError("the second copy did not show the status");
            return;
        }
        pair = measureRounds(sim, copies, file, 2);
    }
    if (alone.empty() || pair.empty()) {
        state.SkipWithError("a change did not show within 10 s");
        return;
    }
    state.counters["one_copy_median_ms"] = medianOf(alone[0]);
    state.counters["one_copy_worst_ms"] = worstOf(alone[0]);
    state.counters["receiving_median_ms"] = medianOf(pair[0]);
    state.counters["receiving_worst_ms"] = worstOf(pair[0]);
    state.counters["passed_on_median_ms"] = medianOf(pair[1]);
    state.counters["passed_on_worst_ms"] = worstOf(pair[1]);
    std::vector<double> lag;
    for (std::size_t i = 0; i < pair[0].size(); ++i) {
        lag.push_back(pair[1][i] - pair[0][i]);
    }
    state.counters["passed_on_lag_median_ms"] = medianOf(lag);
    state.counters["passed_on_lag_worst_ms"] = worstOf(lag);
}
BENCHMARK(BM_PassedOnToAnotherCopy)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwell::bench
