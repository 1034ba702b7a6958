// A big sync announced file by file: how fast the listener drains its queue,
// and what a person looking at a folder sees while a daemon pushes 40,000
// "refresh_stat" at 65,000 a second into a receive queue of the kernel's
// stock size.
//
// Each uses a core of its own on free ports, connected to
// tarnwell-daemon-sim, and the listener with the core's own handler.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "base/posix_io.h"
#include "bench_support.h"
#include "canonical/canonicalize_path.h"
#include "core/tarnwell_core.h"
#include "listener/input_command_server.h"
#include "protocol/messages.h"

namespace tarnwell::bench {
namespace {

using namespace std::chrono_literals;

// The kernel's count of datagrams it dropped on `fd` for a full queue.
std::uint32_t droppedOn(int fd) {
    std::array<std::uint32_t, SK_MEMINFO_VARS> meminfo{};
    socklen_t length = sizeof meminfo;
    if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo.data(), &length) != 0) {
        return 0;
    }
    return meminfo[SK_MEMINFO_DROPS];
}

// Nanoseconds thread `tid` ran on a CPU, and waited for one while runnable
// (/proc/self/task/TID/schedstat).
std::pair<double, double> schedNanos(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    double ran = 0;
    double waited = 0;
    in >> ran >> waited;
    return {ran, waited};
}

// This process's UDP socket bound to `port`, or -1.
int udpSocketOn(std::uint16_t port) {
    for (int fd = 0; fd < 4096; ++fd) {
        int type = 0;
        socklen_t typeLength = sizeof type;
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == SOCK_DGRAM &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            address.sin_family == AF_INET && ntohs(address.sin_port) == port) {
            return fd;
        }
    }
    return -1;
}

std::string refreshStat(const std::string& path) {
    return protocol::buildNotification(protocol::kRefreshStat, {{protocol::kPathKey, path}});
}

// Sends one datagram from `fd`, or from a socket of its own closed at once
// when `fd` is -1.
void sendOne(int fd, const sockaddr_in& to, const std::string& datagram) {
    const int from = fd >= 0 ? fd : ::socket(AF_INET, SOCK_DGRAM, 0);
    ::sendto(from, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
    if (fd < 0) {
        ::close(from);
    }
}

// A tree of files under a sync root, and the daemon simulator serving it.
struct SyncedTree {
    TempDir tree;
    std::string root;
    std::vector<std::string> files;  // canonical
    DaemonSimProcess sim;

    bool start(std::size_t count, bool controlled) {
        root = canonicalizePath(tree.dir("Sync"));
        for (const auto& relative : realisticRelativePaths(count, 11)) {
            files.push_back(canonicalizePath(tree.file("Sync/" + relative)));
        }
        return sim.start(0, freeUdpPort(), {root}, {}, controlled);
    }
};

// The floor: the same queue drained by a plain loop, recvmmsg and the
// canonicalization of each path, the work every notification needs.
double plainDrainSeconds(int fd, std::size_t count) {
    constexpr std::size_t kBatch = 64;
    constexpr std::size_t kBytes = 4096;
    std::vector<char> buffers(kBatch * kBytes);
    std::array<iovec, kBatch> vectors{};
    std::array<mmsghdr, kBatch> headers{};
    for (std::size_t i = 0; i < kBatch; ++i) {
        vectors[i] = {buffers.data() + i * kBytes, kBytes};
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
    }
    std::size_t taken = 0;
    std::size_t sink = 0;
    const auto start = Clock::now();
    while (taken < count) {
        const int n = ::recvmmsg(fd, headers.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (n < 0 && errno != EAGAIN) {
            return 0;
        }
        for (int i = 0; i < n; ++i) {
            const std::string_view text(buffers.data() + static_cast<std::size_t>(i) * kBytes,
                                        headers[static_cast<std::size_t>(i)].msg_len);
            const std::size_t tab = text.find('\t');
            const std::size_t lf = text.find('\n', tab);
            sink += canonicalizePath(std::string(text.substr(tab + 1, lf - tab - 1))).size();
        }
        taken += static_cast<std::size_t>(std::max(n, 0));
    }
    benchmark::DoNotOptimize(sink);
    return secondsSince(start);
}

// Fills a queue with `datagrams` while nobody reads it; false when the kernel
// dropped any (the queue is too small for the round).
bool fillQueue(std::uint16_t port, int queueFd, const std::vector<std::string>& datagrams,
               bool closedAtOnce) {
    static const int kept = ::socket(AF_INET, SOCK_DGRAM, 0);
    const std::uint32_t before = droppedOn(queueFd);
    const sockaddr_in to = loopbackAddress(port);
    for (const std::string& datagram : datagrams) {
        sendOne(closedAtOnce ? -1 : kept, to, datagram);
    }
    return droppedOn(queueFd) == before;
}

// The listener's side of one round: the queue filled while its handler held
// it, then drained through the core's "refresh_stat" handler.
struct GatedListener {
    explicit GatedListener(TarnwellCore& core) : server(freeUdpPort()) {
        server.addHandler(
            protocol::kRefreshStat,
            [&core, this](InputCommand* notification) {
                core.handleRefreshStat(notification);
                if (++handled == expected) {
                    finished = Clock::now();
                }
            },
            nullptr);
        // As the core's own listener would tell it.
        server.setPauseHandler([&core] { core.handleNotificationsPaused(); },
                               WantedQueries::kChangesPause);
        server.addHandler(
            "gate",
            [this](InputCommand*) {
                held = true;
                std::lock_guard<std::mutex> wait(gate);
                held = false;
            },
            nullptr);
    }
    InputCommandServer server;
    std::mutex gate;
    std::atomic<bool> held{false};
    std::atomic<std::size_t> handled{0};
    std::size_t expected = 0;
    Clock::time_point finished{};
};

// Datagrams drained a second by the listener, the core's handler included,
// from one socket the daemon keeps (0) and from sockets closed at once (1),
// against the plain loop on the same queue.
void BM_ListenerDrain(benchmark::State& state) {
    const bool closedAtOnce = state.range(0) == 1;
    constexpr std::size_t kRound = 3000;
    SyncedTree tree;
    if (!tree.start(kRound, false)) {
        state.SkipWithError("tarnwell-daemon-sim did not start");
        return;
    }
    TarnwellCore core(tree.sim.port(), freeUdpPort());
    core.initialize();
    if (!waitUntil([&] { return core.isInSyncDir(tree.root); }, 20s)) {
        state.SkipWithError("the core did not get its roots");
        return;
    }
    GatedListener listener(core);
    const std::vector<pid_t> before = threadIds();
    listener.server.start();
    listener.server.waitUntilListening(20s);
    pid_t listenerTid = 0;
    for (const pid_t tid : threadIds()) {
        if (std::find(before.begin(), before.end(), tid) == before.end()) {
            listenerTid = tid;
        }
    }
    double ranNanos = 0;
    double waitedNanos = 0;
    const int listenerFd = udpSocketOn(listener.server.port());
    const UniqueFd plain(::socket(AF_INET, SOCK_DGRAM, 0));
    const sockaddr_in plainAddress = loopbackAddress(0);
    ::bind(plain.get(), reinterpret_cast<const sockaddr*>(&plainAddress), sizeof plainAddress);
    const int queueBytes = 8 << 20;
    ::setsockopt(plain.get(), SOL_SOCKET, SO_RCVBUFFORCE, &queueBytes, sizeof queueBytes);
    ::setsockopt(listenerFd, SOL_SOCKET, SO_RCVBUFFORCE, &queueBytes, sizeof queueBytes);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(plain.get(), reinterpret_cast<sockaddr*>(&bound), &length);

    std::vector<std::string> datagrams;
    for (const auto& file : tree.files) {
        datagrams.push_back(refreshStat(file));
    }
    std::vector<double> rates;
    std::vector<double> floors;
    for (auto _ : state) {
        // The listener, held by its own handler while the queue fills.
        listener.handled = 0;
        listener.expected = datagrams.size();
        std::unique_lock<std::mutex> gate(listener.gate);
        sendOne(-1, loopbackAddress(listener.server.port()), protocol::buildNotification("gate"));
        waitUntil([&] { return listener.held.load(); }, 20s);
        const bool whole = fillQueue(listener.server.port(), listenerFd, datagrams, closedAtOnce);
        const auto [ran0, waited0] = schedNanos(listenerTid);
        const auto start = Clock::now();
        gate.unlock();
        if (!whole || !waitUntil([&] { return listener.handled == datagrams.size(); }, 60s)) {
            state.SkipWithError("the queue did not hold the round, or it was not drained");
            break;
        }
        const double seconds = std::chrono::duration<double>(listener.finished - start).count();
        const auto [ran1, waited1] = schedNanos(listenerTid);
        ranNanos += ran1 - ran0;
        waitedNanos += waited1 - waited0;
        state.SetIterationTime(seconds);
        rates.push_back(static_cast<double>(datagrams.size()) / seconds);
        // The re-queries the round caused are answered before the floor runs.
        waitUntil([&] { return core.pendingQueryCount() == 0; }, 60s);
        if (!fillQueue(ntohs(bound.sin_port), plain.get(), datagrams, closedAtOnce)) {
            state.SkipWithError("the plain loop's queue did not hold the round");
            break;
        }
        floors.push_back(static_cast<double>(datagrams.size()) /
                         plainDrainSeconds(plain.get(), datagrams.size()));
    }
    listener.server.stop();
    core.shutdown();
    if (rates.empty()) {
        return;
    }
    state.counters["per_second"] = median(rates);
    // Where the listener's time went: on a CPU, and waiting for one (the
    // machine's other work and the daemon's answers compete with it).
    const double handled = static_cast<double>(rates.size() * datagrams.size());
    state.counters["cpu_us_per_datagram"] = ranNanos / handled / 1e3;
    state.counters["runqueue_us_per_datagram"] = waitedNanos / handled / 1e3;
    state.counters["floor_per_second"] = median(floors);
    // Throughput: higher is better.
    state.counters["ratio"] = medianRatio(rates, floors);
}

// What the host's redraws of the files on screen saw during one burst.
struct ScreenWatch {
    explicit ScreenWatch(std::size_t files) : firstSeen(files), readyAt(files), sentAt(files) {}
    std::atomic<bool> counting{false};
    std::atomic<std::uint64_t> asks{0};
    std::atomic<std::uint64_t> blanks{0};
    std::vector<Clock::time_point> firstSeen;  // of the status looked for; host thread
    std::vector<Clock::time_point> readyAt;    // the same, as the watcher first found it
    std::vector<Clock::time_point> sentAt;     // first change sent; sender
    std::atomic<int> lookFor{-1};
    std::atomic<std::size_t> seenCount{0};
};

// The host: redraws the files on screen at 60 Hz as the emblem provider does,
// until `stop`.
void redrawScreen(TarnwellCore& core, const std::vector<CanonicalPath>& screen, ScreenWatch& watch,
                  const std::atomic<bool>& stop) {
    auto next = Clock::now();
    int lookedFor = -1;
    while (!stop.load()) {
        if (watch.lookFor.load() != lookedFor) {
            lookedFor = watch.lookFor.load();
            std::fill(watch.firstSeen.begin(), watch.firstSeen.end(), Clock::time_point{});
            watch.seenCount = 0;
        }
        for (std::size_t i = 0; i < screen.size(); ++i) {
            const auto status = core.getStatusCanonical(screen[i]);
            if (status == TarnwellCore::NotCached) {
                core.ensureStatusQueriedCanonical(screen[i]);
            }
            if (watch.counting.load()) {
                ++watch.asks;
                watch.blanks += status == TarnwellCore::NotCached;
            }
            if (status == lookedFor && watch.firstSeen[i] == Clock::time_point{}) {
                watch.firstSeen[i] = Clock::now();
                ++watch.seenCount;
            }
        }
        next += 16667us;
        std::this_thread::sleep_until(next);
    }
}

// Looks every millisecond for the status each file on screen waits for, to
// tell when the plug-in had it ready, whatever the phase of the host's
// redraws; until `stop`.
void watchReady(TarnwellCore& core, const std::vector<CanonicalPath>& screen, ScreenWatch& watch,
                const std::atomic<bool>& stop) {
    int lookedFor = -1;
    while (!stop.load()) {
        if (watch.lookFor.load() != lookedFor) {
            lookedFor = watch.lookFor.load();
            std::fill(watch.readyAt.begin(), watch.readyAt.end(), Clock::time_point{});
        }
        for (std::size_t i = 0; i < screen.size(); ++i) {
            if (watch.readyAt[i] == Clock::time_point{} &&
                core.getStatusCanonical(screen[i]) == lookedFor) {
                watch.readyAt[i] = Clock::now();
            }
        }
        std::this_thread::sleep_for(1ms);
    }
}

// Sets the daemon's status of every file on screen; true once the host shows
// it on all of them.
bool showEverywhere(SyncedTree& tree, ScreenWatch& watch, int status, std::uint16_t notifyPort) {
    watch.lookFor = status;
    for (const std::string& file : tree.files) {
        tree.sim.control("set " + file + " " + std::to_string(status));
    }
    if (notifyPort == 0) {
        return true;
    }
    static const int kept = ::socket(AF_INET, SOCK_DGRAM, 0);
    return waitUntil(
        [&] {
            for (const std::string& file : tree.files) {
                sendOne(kept, loopbackAddress(notifyPort), refreshStat(file));
            }
            return waitUntil([&] { return watch.seenCount == tree.files.size(); }, 500ms);
        },
        20s);
}

std::size_t linesContaining(const test::StderrCapture& log, const std::string& needle) {
    const auto lines = log.lines();
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [&](const auto& line) { return line.find(needle) != std::string::npos; }));
}

// 40,000 "refresh_stat" at 65,000 a second from one kept socket, one in ten
// for a file on screen (whose status changed), the rest for other files of
// the sync. Returns when the last has been sent.
void sendBigSync(std::uint16_t port, const std::vector<std::string>& screen,
                 const std::string& otherPrefix, ScreenWatch& watch) {
    static const int kept = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = loopbackAddress(port);
    constexpr int kBurst = 40000;
    constexpr int kPerMillisecond = 65;
    auto next = Clock::now();
    for (int i = 0; i < kBurst; ++i) {
        if (i % kPerMillisecond == 0) {
            std::this_thread::sleep_until(next);
            next += 1ms;
        }
        if (i % 10 == 0) {
            const std::size_t file = static_cast<std::size_t>(i / 10) % screen.size();
            if (watch.sentAt[file] == Clock::time_point{}) {
                watch.sentAt[file] = Clock::now();
            }
            sendOne(kept, to, refreshStat(screen[file]));
        } else {
            sendOne(kept, to, refreshStat(otherPrefix + std::to_string(i) + ".jpg"));
        }
    }
}

struct BurstFigures {
    std::uint32_t lost = 0;
    std::size_t lostLines = 0;
    std::uint64_t blanks = 0;
    std::uint64_t asks = 0;
    std::uint64_t queries = 0;
    double worstWaitMs = 0;
    double worstReadyMs = 0;
    double settleMs = 0;
};

// One burst against a core whose listener queue is 212,992 bytes (doubled by
// the kernel, as the stock rmem_max caps the listener's request).
bool runBigSync(SyncedTree& tree, TarnwellCore& core, int listenerFd, std::uint16_t notifyPort,
                ScreenWatch& watch, test::StderrCapture& log, int round, BurstFigures& out) {
    if (!showEverywhere(tree, watch, 0, notifyPort)) {
        return false;
    }
    const std::uint32_t droppedBefore = droppedOn(listenerFd);
    const std::size_t linesBefore = linesContaining(log, " notifications were lost");
    const std::uint64_t queriesBefore = tree.sim.queryStatRequests();
    std::fill(watch.sentAt.begin(), watch.sentAt.end(), Clock::time_point{});
    showEverywhere(tree, watch, 1, 0);
    watch.asks = watch.blanks = 0;
    watch.counting = true;
    sendBigSync(notifyPort, tree.files, tree.root + "/Photos " + std::to_string(round) + "/IMG_",
                watch);
    out.queries = tree.sim.queryStatRequests() - queriesBefore;
    // Each file on screen waits for its status from its first change on.
    waitUntil([&] { return watch.seenCount == tree.files.size(); }, 20s);
    const auto waitMs = [&](const Clock::time_point seen, std::size_t i) {
        return seen == Clock::time_point{}
                   ? 20000.0
                   : std::chrono::duration<double, std::milli>(seen - watch.sentAt[i]).count();
    };
    waitUntil(
        [&] {
            return std::none_of(watch.readyAt.begin(), watch.readyAt.end(),
                                [](auto t) { return t == Clock::time_point{}; });
        },
        1s);
    for (std::size_t i = 0; i < tree.files.size(); ++i) {
        out.worstWaitMs = std::max(out.worstWaitMs, waitMs(watch.firstSeen[i], i));
        out.worstReadyMs = std::max(out.worstReadyMs, waitMs(watch.readyAt[i], i));
    }
    // The sync ends: the files on screen take their final status.
    showEverywhere(tree, watch, 2, 0);
    const auto end = Clock::now();
    static const int kept = ::socket(AF_INET, SOCK_DGRAM, 0);
    for (const std::string& file : tree.files) {
        sendOne(kept, loopbackAddress(notifyPort), refreshStat(file));
    }
    const bool settled = waitUntil([&] { return watch.seenCount == tree.files.size(); }, 20s);
    out.settleMs =
        settled ? std::chrono::duration<double, std::milli>(Clock::now() - end).count() : 20000.0;
    watch.counting = false;
    out.blanks = watch.blanks;
    out.asks = watch.asks;
    out.lost = droppedOn(listenerFd) - droppedBefore;
    out.lostLines = linesContaining(log, " notifications were lost") - linesBefore;
    return waitUntil([&] { return core.pendingQueryCount() == 0; }, 60s);
}

// Three bursts of a big sync, as a daemon sends them, while the host redraws
// the 40 files on screen: datagrams lost, "lost" lines, blank emblems on
// screen, the daemon's queries during the burst, the longest a file on
// screen waited for its new status, and the time from the sync's end until
// every file on screen shows its final status.
void BM_BigSyncBurst(benchmark::State& state) {
    test::StderrCapture log;
    SyncedTree tree;
    if (!tree.start(40, true)) {
        state.SkipWithError("tarnwell-daemon-sim did not start");
        return;
    }
    const std::uint16_t notifyPort = freeUdpPort();
    TarnwellCore core(tree.sim.port(), notifyPort);
    core.initialize();
    if (!waitUntil([&] { return core.isInSyncDir(tree.root) && core.waitUntilListening(1s); },
                   20s)) {
        state.SkipWithError("the core did not get its roots");
        return;
    }
    const int listenerFd = udpSocketOn(notifyPort);
    const int stockQueue = 212992;
    ::setsockopt(listenerFd, SOL_SOCKET, SO_RCVBUF, &stockQueue, sizeof stockQueue);
    std::vector<CanonicalPath> screen;
    for (const std::string& file : tree.files) {
        screen.emplace_back(file);
    }
    ScreenWatch watch(tree.files.size());
    std::atomic<bool> stop{false};
    std::thread host([&] { redrawScreen(core, screen, watch, stop); });
    std::thread watcher([&] { watchReady(core, screen, watch, stop); });
    BurstFigures worst;
    std::uint64_t queries = 0;
    int round = 0;
    for (auto _ : state) {
        BurstFigures figures;
        const auto start = Clock::now();
        if (!runBigSync(tree, core, listenerFd, notifyPort, watch, log, round++, figures)) {
            state.SkipWithError("a burst did not settle");
            break;
        }
        state.SetIterationTime(secondsSince(start));
        worst.lost += figures.lost;
        worst.lostLines += figures.lostLines;
        worst.blanks += figures.blanks;
        worst.asks += figures.asks;
        queries = std::max(queries, figures.queries);
        worst.worstWaitMs = std::max(worst.worstWaitMs, figures.worstWaitMs);
        worst.worstReadyMs = std::max(worst.worstReadyMs, figures.worstReadyMs);
        worst.settleMs = std::max(worst.settleMs, figures.settleMs);
    }
    stop = true;
    host.join();
    watcher.join();
    core.shutdown();
    state.counters["lost"] = worst.lost;
    state.counters["lost_lines"] = static_cast<double>(worst.lostLines);
    state.counters["blank_emblems"] = static_cast<double>(worst.blanks);
    state.counters["emblem_asks"] = static_cast<double>(worst.asks);
    state.counters["queries_during_burst"] = static_cast<double>(queries);
    state.counters["screen_wait_ms"] = worst.worstWaitMs;
    state.counters["ready_wait_ms"] = worst.worstReadyMs;
    state.counters["settle_ms"] = worst.settleMs;
}

BENCHMARK(BM_ListenerDrain)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BigSyncBurst)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwell::bench
