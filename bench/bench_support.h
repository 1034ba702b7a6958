// What the benchmarks alone need: the daemon simulator as a child process
// that counts the status queries it saw, file trees shaped like a user's, the
// floor client that talks to the daemon as plainly as possible, and
// per-thread figures from /proc. Ports, waits and temporary trees come from
// the test support, which the tests use as well.
//
// Thread safety: DaemonSimProcess's counters may be read from any thread;
// everything else belongs to the benchmark's own thread.
#ifndef TARNWELL_BENCH_BENCH_SUPPORT_H_
#define TARNWELL_BENCH_BENCH_SUPPORT_H_

#include <netinet/in.h>
#include <sched.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/posix_io.h"
#include "support/test_support.h"

namespace tarnwell::bench {

using Clock = std::chrono::steady_clock;

using test::freeTcpPort;
using test::freeUdpPort;
using test::tcpPortFree;
using test::TempDir;
using test::udpPortFree;

// Polls `condition` about every 200 microseconds until it holds or the
// deadline passes; returns its last value. Finer than the tests' poll: a
// wait inside a measurement adds up to one interval to the figure.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    return test::waitUntil(condition, deadline, std::chrono::microseconds(200));
}

double secondsSince(Clock::time_point start);

// The smallest time per call, in nanoseconds, of `batches` runs of `calls`
// calls each. The minimum is what the code costs when nothing else on the
// (shared) machine gets in the way.
double minNanosPerCall(const std::function<void()>& call, int calls, int batches);

// Rounds of a second or so on a shared machine swing with its load, which
// changes over seconds: each round's figure is set against the floor measured
// right after it, and the median of those ratios is reported.
double median(std::vector<double> values);
double medianRatio(const std::vector<double>& figures, const std::vector<double>& floors);

// Pins the calling thread to the first CPU it may run on, while alive, when
// asked to. On a virtual machine a quiet vCPU halts and takes tens of
// microseconds to wake, which a ping-pong between processes on two vCPUs pays
// on every exchange; a busy machine (or a host thread busy redrawing) does
// not. With everything on one CPU both the plug-in and the floor are measured
// by the CPU work they do, whatever the rest of the machine is doing.
class OneCpuPin {
public:
    explicit OneCpuPin(bool pin);
    ~OneCpuPin();
    OneCpuPin(const OneCpuPin&) = delete;
    OneCpuPin& operator=(const OneCpuPin&) = delete;

private:
    cpu_set_t saved_{};
    bool pinned_ = false;
};

// tarnwell-daemon-sim as a child process. Its stdout is read by a thread of
// ours that counts the "request" lines, so a benchmark can tell when the
// daemon has seen a number of status queries or another command.
class DaemonSimProcess {
public:
    DaemonSimProcess() = default;
    DaemonSimProcess(const DaemonSimProcess&) = delete;
    DaemonSimProcess& operator=(const DaemonSimProcess&) = delete;
    ~DaemonSimProcess();

    // port 0 lets the simulator pick one. False when it does not come up.
    // `extraArgs` go on its command line as they are. With `controlled`, its
    // stdin stays open for control().
    bool start(std::uint16_t port, std::uint16_t notifyPort, const std::vector<std::string>& roots,
               const std::vector<std::string>& extraArgs = {}, bool controlled = false);
    void stop();
    // SIGKILL, as a crash would end it: no goodbye on any socket.
    void kill();
    // One control line ("set PATH N", ...) on the simulator's stdin; false
    // when it was not started `controlled` or the write failed.
    bool control(const std::string& line);
    std::uint16_t port() const { return port_; }
    std::uint64_t queryStatRequests() const { return queryStats_.load(); }
    // Blocks until the simulator has read `count` "query_stat" requests in
    // all, or `until` passed; true in the first case. A measurement that
    // waits here instead of polling leaves the CPU to what it measures.
    bool waitForQueryStats(std::uint64_t count, std::chrono::steady_clock::time_point until);
    // Requests other than "query_stat" ("get_tw_roots", menu commands).
    std::uint64_t otherRequests() const { return otherRequests_.load(); }

private:
    // On the child's stdout reader: counts one line of the simulator's
    // output; null at its end.
    void countLine(const std::string* line);

    void end(int signal);

    std::unique_ptr<test::ChildProcess> process_;
    bool controlled_ = false;
    std::uint16_t port_ = 0;
    std::atomic<std::uint64_t> queryStats_{0};
    // The count a waitForQueryStats waits for (none: the largest value), and
    // its wake-up, which only the line that reaches it pays for.
    std::atomic<std::uint64_t> awaitedQueryStats_{UINT64_MAX};
    Mutex waitMutex_;
    std::condition_variable queryStatsReached_;
    std::atomic<std::uint64_t> otherRequests_{0};
    std::atomic<int> listeningPort_{-1};  // -1 until the first line, 0 when it never came
};

// `count` relative file paths in folders of 10 to 100 files (sizes drawn with
// a fixed seed), two folder levels deep, so that a tree of them looks like a
// user's documents rather than one huge folder.
std::vector<std::string> realisticRelativePaths(std::size_t count, std::uint32_t seed);

// The plainest client of the daemon's protocol: one connection, each request
// written with one write, responses read through a buffer. The yardstick the
// plug-in's channel is compared with.
class FloorClient {
public:
    FloorClient() = default;
    FloorClient(const FloorClient&) = delete;
    FloorClient& operator=(const FloorClient&) = delete;
    ~FloorClient();

    bool connect(std::uint16_t port);
    // One "query_stat" exchange; the value under "stat", or nullopt when the
    // exchange failed or the answer had none.
    std::optional<std::string> queryStat(const std::string& path);
    // Reads one line (without its LF) from the buffer, refilling it as needed.
    std::optional<std::string> readLine();
    // The connected socket, for tests that drive it directly.
    int fd() const { return fd_; }
    // Takes over a connected socket (tests use a socketpair).
    void adopt(int fd);
    // Reads one byte per read call instead of through the buffer, as a
    // reader must that never takes a byte past the end of a response.
    void setByteWise(bool byteWise) { byteWise_ = byteWise; }

private:
    int fd_ = -1;
    std::string buffer_;
    std::size_t offset_ = 0;
    bool byteWise_ = false;
};

// CPU time (user + system, in clock ticks) and voluntary context switches of
// one thread of this process; nullopt when the thread is gone.
struct ThreadFigures {
    std::uint64_t cpuTicks = 0;
    std::uint64_t voluntarySwitches = 0;
};
std::optional<ThreadFigures> readThreadFigures(pid_t tid);
// The ids of this process's threads.
std::vector<pid_t> threadIds();
// utime + stime from the text of /proc/.../stat (the command name may hold
// spaces and parentheses); nullopt when the text is not such a line.
std::optional<std::uint64_t> parseStatCpuTicks(const std::string& statLine);
// "voluntary_ctxt_switches" from the text of /proc/.../status.
std::optional<std::uint64_t> parseVoluntarySwitches(const std::string& statusText);

}  // namespace tarnwell::bench

#endif  // TARNWELL_BENCH_BENCH_SUPPORT_H_
