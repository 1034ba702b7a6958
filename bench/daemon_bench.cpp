// The plug-in against the daemon simulator: filling the emblems of a fresh
// sync folder, a burst of change notifications, and what the plug-in costs
// while nothing happens.
//
// Cold fill and idle load the built plug-in with dlopen, as the file manager
// does, and so need its fixed ports 19080 and 19081; they wait up to 10
// minutes for them and are then skipped with an error. The burst uses a core of its own on free
// ports.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <set>

#include "base/posix_io.h"
#include "base/wire_format.h"
#include "bench_support.h"
#include "core/tarnwell_core.h"
#include "dfmext/emblem.h"
#include "listener/input_command_server.h"
#include "protocol/messages.h"
#include "support/plugin_harness.h"

namespace tarnwell::bench {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kFiles = 10000;
constexpr std::uint16_t kPluginDaemonPort = protocol::kCommandPort;
constexpr std::uint16_t kPluginNotifyPort = protocol::kNotifyPort;

// A sync root holding kFiles real files in folders of 10 to 100, made once
// per run.
struct SyncFolder {
    TempDir tree;
    std::string root;
    std::vector<std::string> files;  // canonical paths

    SyncFolder() {
        root = tree.path() + "/Sync";
        files.reserve(kFiles);
        for (const auto& relative : realisticRelativePaths(kFiles, 7)) {
            files.push_back(tree.file("Sync/" + relative));
        }
    }
};

SyncFolder& syncFolder() {
    static SyncFolder instance;
    return instance;
}

// The plug-in, loaded once per run and kept loaded: its entry points are
// called again for every cold start.
test::LoadedPlugin& plugin() {
    static test::LoadedPlugin instance;
    return instance;
}

// Tests on the same machine may hold the fixed ports for a while: wait for
// them rather than give up at once.
bool fixedPortsFree() {
    return waitUntil(
        [] { return tcpPortFree(kPluginDaemonPort) && udpPortFree(kPluginNotifyPort); }, 600s);
}

// Waits for the fixed ports, loads the plug-in and starts the simulator on
// `folder`; otherwise skips the benchmark with the reason and returns false.
bool startOnFixedPorts(benchmark::State& state, SyncFolder& folder, DaemonSimProcess& sim) {
    if (!fixedPortsFree()) {
        state.SkipWithError("ports 19080/19081 are in use");
        return false;
    }
    if (!plugin().ok()) {
        state.SkipWithError("the plug-in cannot be loaded");
        return false;
    }
    if (!sim.start(kPluginDaemonPort, kPluginNotifyPort, {folder.root})) {
        state.SkipWithError("tarnwell-daemon-sim did not start");
        return false;
    }
    return true;
}

// dfm_extension_shutdown, guarded: another process bound to 19081 as well
// (SO_REUSEPORT lets one of the same user) can receive the listener's wake-up datagram, and the
// shutdown then waits for a datagram that never comes. After 10 seconds this
// says so on stderr and sends the listener a wake-up of its own once a second,
// so that the run finishes; the count of such rescues is kept.
std::atomic<int> shutdownRescues{0};

void shutdownPlugin() {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (done.wait_for(lock, 10s, [&] { return finished; })) {
            return;
        }
        ++shutdownRescues;
        std::fprintf(stderr, "tarnwell_bench: dfm_extension_shutdown hangs; waking its listener\n");
        while (!done.wait_for(lock, 1s, [&] { return finished; })) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in addr = loopbackAddress(kPluginNotifyPort);
            const char wake = 0;
            ::sendto(fd, &wake, 1, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            ::close(fd);
        }
    });
    plugin().shutdown();
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    done.notify_all();
    watchdog.join();
}

bool shows(dfmext::DFMExtEmblemIconPlugin* emblem, const std::string& path) {
    return !emblem->requestEmblem(path, 0).emblems().empty();
}

// Initializes the plug-in and waits until it is connected and knows the
// roots: then the root itself gets its emblem.
dfmext::DFMExtEmblemIconPlugin* startPlugin(const std::string& root) {
    plugin().initialize();
    dfmext::DFMExtEmblemIconPlugin* emblem = plugin().emblemPlugin();
    if (!emblem || !waitUntil([&] { return shows(emblem, root); }, 20s)) {
        shutdownPlugin();
        return nullptr;
    }
    return emblem;
}

// The floor of every daemon exchange: `paths` status queries, one after the
// other, over one plain connection. Seconds, or a negative value on failure.
double floorQueries(std::uint16_t port, const std::vector<std::string>& paths,
                    bool byteWise = false) {
    FloorClient client;
    if (!client.connect(port)) {
        return -1;
    }
    client.setByteWise(byteWise);
    const auto start = Clock::now();
    for (const auto& path : paths) {
        if (!client.queryStat(path)) {
            return -1;
        }
    }
    return secondsSince(start);
}

// A fresh sync folder of kFiles files. The host asks once for every file,
// then, like a file manager redrawing its view, asks again for those without
// an emblem every state.range(0) milliseconds, until all show theirs.
// state.range(1) != 0 runs it all on one CPU (see OneCpuPin).
void BM_ColdFill10k(benchmark::State& state) {
    // Everything started from here inherits the pinning: the simulator (forked
    // below) and the plug-in's threads (started by initialize on this thread).
    OneCpuPin pin(state.range(1) != 0);
    SyncFolder& folder = syncFolder();
    DaemonSimProcess sim;
    if (!startOnFixedPorts(state, folder, sim)) {
        return;
    }
    std::vector<double> plugins;
    std::vector<double> floors;
    std::vector<double> byteWises;
    for (auto _ : state) {
        dfmext::DFMExtEmblemIconPlugin* emblem = startPlugin(folder.root);
        if (!emblem) {
            state.SkipWithError("the plug-in did not connect");
            return;
        }
        std::vector<const std::string*> missing;
        missing.reserve(folder.files.size());
        for (const auto& file : folder.files) {
            missing.push_back(&file);
        }
        const auto start = Clock::now();
        while (!missing.empty()) {
            std::erase_if(missing, [&](const std::string* file) { return shows(emblem, *file); });
            if (!missing.empty()) {
                if (secondsSince(start) > 120) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(state.range(0)));
            }
        }
        const double seconds = secondsSince(start);
        shutdownPlugin();
        if (!missing.empty()) {
            state.SkipWithError("not every file got its emblem within 120 s");
            return;
        }
        const double floor = floorQueries(sim.port(), folder.files);
        // The same client reading byte by byte: how much of the gap is the
        // channel's one read call per byte.
        const double byteWise = floorQueries(sim.port(), folder.files, true);
        if (floor <= 0 || byteWise <= 0) {
            state.SkipWithError("the floor client's exchanges failed");
            return;
        }
        state.SetIterationTime(seconds);
        plugins.push_back(seconds);
        floors.push_back(floor);
        byteWises.push_back(byteWise);
    }
    state.counters["figure_ms"] = median(plugins) * 1e3;
    state.counters["floor_ms"] = median(floors) * 1e3;
    state.counters["ratio"] = medianRatio(plugins, floors);
    state.counters["bytewise_floor_ms"] = median(byteWises) * 1e3;
    state.counters["ratio_to_bytewise"] = medianRatio(plugins, byteWises);
}

// Sends `count` datagrams back to back from one socket, kept for the whole
// run as the daemon keeps its own: the listener asks who holds a datagram's
// source port, and drops what came from a socket that is gone.
void sendBurst(std::uint16_t port, const std::vector<std::string>& datagrams) {
    static const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = loopbackAddress(port);
    for (const auto& datagram : datagrams) {
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                 sizeof addr);
    }
}

// kFiles "refresh_stat" notifications for cached paths, back to back, to a
// listener whose handler does what the plug-in's does (the core's
// handleRefreshStat, on a core connected to the daemon simulator). Counts
// the notifications that reach the handler, and the time until every
// re-query they caused has been answered.
void BM_NotificationBurst10k(benchmark::State& state) {
    SyncFolder& folder = syncFolder();
    const std::uint16_t coreNotifyPort = freeUdpPort();
    const std::uint16_t burstPort = freeUdpPort();
    DaemonSimProcess sim;
    // The simulator sends nothing unless told to; its notify port is unused.
    if (!sim.start(0, freeUdpPort(), {folder.root})) {
        state.SkipWithError("tarnwell-daemon-sim did not start");
        return;
    }
    TarnwellCore core(sim.port(), coreNotifyPort);
    core.initialize();
    if (!waitUntil([&] { return core.isInSyncDir(folder.root); }, 20s)) {
        state.SkipWithError("the core did not get its roots");
        core.shutdown();
        return;
    }

    std::atomic<std::uint64_t> delivered{0};
    std::atomic<std::uint64_t> probes{0};
    InputCommandServer server(burstPort);
    server.addHandler(
        protocol::kRefreshStat,
        [&](InputCommand* notification) {
            ++delivered;
            core.handleRefreshStat(notification);
        },
        nullptr);
    server.addHandler(
        "probe", [&](InputCommand*) { ++probes; }, nullptr);
    server.start();
    // The listener binds on its own thread: probe until it answers.
    if (!waitUntil(
            [&] {
                sendBurst(burstPort, {protocol::buildNotification("probe")});
                return probes.load() > 0;
            },
            20s)) {
        state.SkipWithError("the listener did not come up");
        server.stop();
        core.shutdown();
        return;
    }

    std::vector<std::string> datagrams;
    datagrams.reserve(folder.files.size());
    for (const auto& file : folder.files) {
        datagrams.push_back(
            protocol::buildNotification(protocol::kRefreshStat, {{protocol::kPathKey, file}}));
    }

    double worstDelivered = 1.0;
    std::vector<double> times;
    std::vector<double> floors;
    for (auto _ : state) {
        for (const auto& file : folder.files) {
            core.setStatus(file, TarnwellCore::UpToDate);
        }
        delivered = 0;
        const std::uint64_t queriesBefore = sim.queryStatRequests();
        const auto start = Clock::now();
        sendBurst(burstPort, datagrams);
        // Dropped datagrams never arrive: wait until every one has, or the
        // count has stood still for a second.
        std::uint64_t last = 0;
        auto lastChange = Clock::now();
        while (delivered.load() < datagrams.size() && Clock::now() - lastChange < 1s) {
            if (delivered.load() != last) {
                last = delivered.load();
                lastChange = Clock::now();
            }
            std::this_thread::sleep_for(200us);
        }
        const std::uint64_t arrived = delivered.load();
        const bool answered = waitUntil(
            [&] {
                return core.pendingQueryCount() == 0 &&
                       sim.queryStatRequests() - queriesBefore >= arrived;
            },
            60s);
        double seconds = secondsSince(start);
        if (arrived < datagrams.size()) {
            // The second of waiting for drops that never came is not the
            // plug-in's time.
            seconds -= 1.0;
        }
        if (!answered) {
            state.SkipWithError("the re-queries were not all answered within 60 s");
            break;
        }
        const double floor = floorQueries(sim.port(), folder.files);
        if (floor <= 0) {
            state.SkipWithError("the floor client's exchanges failed");
            break;
        }
        state.SetIterationTime(seconds);
        worstDelivered = std::min(worstDelivered, static_cast<double>(arrived) / datagrams.size());
        times.push_back(seconds);
        floors.push_back(floor);
    }
    server.stop();
    core.shutdown();
    state.counters["delivered_pct"] = worstDelivered * 100;
    if (times.empty()) {
        return;
    }
    state.counters["figure_ms"] = median(times) * 1e3;
    state.counters["floor_ms"] = median(floors) * 1e3;
    state.counters["ratio"] = medianRatio(times, floors);
}

double idleSeconds() {
    if (const char* text = std::getenv("TARNWELL_BENCH_IDLE_SECONDS")) {
        const double value = std::atof(text);
        if (value > 0) {
            return value;
        }
    }
    return 60;
}

// The plug-in connected to the daemon, with nothing happening for a while:
// CPU time and wake-ups of the threads the plug-in started. The worker's
// only planned wake-up is its idle check every 5 seconds.
void BM_Idle(benchmark::State& state) {
    SyncFolder& folder = syncFolder();
    DaemonSimProcess sim;
    if (!startOnFixedPorts(state, folder, sim)) {
        return;
    }
    const double seconds = idleSeconds();
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    double cpuMs = 0;
    double wakeUps = 0;
    for (auto _ : state) {
        const std::vector<pid_t> before = threadIds();
        if (!startPlugin(folder.root)) {
            state.SkipWithError("the plug-in did not connect");
            return;
        }
        // The threads that came with initialize: the channel's worker and the
        // listener.
        const std::vector<pid_t> after = threadIds();
        std::vector<pid_t> pluginThreads;
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                            std::back_inserter(pluginThreads));

        std::vector<ThreadFigures> first;
        for (pid_t tid : pluginThreads) {
            first.push_back(readThreadFigures(tid).value_or(ThreadFigures{}));
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        std::uint64_t ticks = 0;
        std::uint64_t switches = 0;
        for (std::size_t i = 0; i < pluginThreads.size(); ++i) {
            const auto now = readThreadFigures(pluginThreads[i]).value_or(first[i]);
            ticks += now.cpuTicks - first[i].cpuTicks;
            switches += now.voluntarySwitches - first[i].voluntarySwitches;
        }
        shutdownPlugin();
        cpuMs = static_cast<double>(ticks) * 1e3 / static_cast<double>(ticksPerSecond);
        wakeUps = static_cast<double>(switches);
        state.counters["threads"] = static_cast<double>(pluginThreads.size());
    }
    const double planned = seconds / 5.0;
    state.counters["seconds"] = seconds;
    state.counters["cpu_ms"] = cpuMs;
    state.counters["cpu_pct"] = cpuMs / (seconds * 1e3) * 100;
    state.counters["figure_wakeups"] = wakeUps;
    state.counters["floor_wakeups"] = planned;
    state.counters["ratio"] = wakeUps / planned;
    state.counters["shutdown_rescues"] = shutdownRescues.load();
}

// Redraws every millisecond (the host keeps one core busy asking) and at 60
// frames per second.
BENCHMARK(BM_ColdFill10k)
    ->Args({1, 0})
    ->Args({16, 0})
    ->Args({16, 1})
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NotificationBurst10k)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Idle)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwell::bench
