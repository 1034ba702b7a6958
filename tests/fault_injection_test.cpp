// Faults from outside, end to end: the plug-in is loaded into this process
// with dlopen and asked for emblems and menus the way the file manager asks,
// while the daemon dies, stalls, talks nonsense, or another local process
// floods or holds the plug-in's ports. Whatever happens there, the host's
// calls must return at once, no emblem may be wrong, and the plug-in must
// come back once the daemon behaves again.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>

#include "base/posix_io.h"
#include "core/tarnwell_core.h"
#include "support/plugin_harness.h"
#include "support/test_support.h"

namespace tarnwell {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::DaemonSim;
using test::LoadedPlugin;
using test::LoopbackServer;
using test::StderrCapture;
using test::TempDir;
using test::waitUntil;

using test::iconFor;
using test::kDaemonPort;
using test::kNotifyPort;

// The longest a call on the host's thread may take while the daemon
// misbehaves: never a daemon time-out or a reconnect pause (2 s and more).
// Timed without the time the thread waited for a CPU, which the plug-in's
// own threads and the rest of a loaded machine decide, not the call.
// Sanitizer builds on a loaded 2-CPU machine stall threads for hundreds of
// milliseconds; the real figure (p99.9 under 1 ms) is the recovery
// benchmark's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kHostCallLimit = 1000ms;
#else
constexpr auto kHostCallLimit = 100ms;
#endif

std::chrono::milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// One request as the scripted daemon read it.
struct Request {
    std::string name;
    std::map<std::string, std::string> args;  // first value of each key
};

// What the scripted daemon does with one request: write `bytes`, then go on
// reading (Answer), keep reading but never answer again on this connection
// (Stall), or hang up (Close).
struct Reply {
    enum Then { Answer, Stall, Close };
    std::string bytes;
    Then then = Answer;
};

// A daemon on 127.0.0.1:19080 whose every answer comes from a callable the
// test can swap at any time; it reads requests with a buffer (fast enough for
// a flood of queries) and keeps count of what it was asked.
class ScriptedDaemon {
public:
    using Responder = std::function<Reply(const Request&)>;

    explicit ScriptedDaemon(Responder responder)
        : responder_(std::move(responder)), server_([this](int fd) { serve(fd); }, kDaemonPort) {}

    bool listening() const { return server_.port() == kDaemonPort; }
    void setResponder(Responder responder) {
        std::lock_guard lock(mutex_);
        responder_ = std::move(responder);
    }
    int connections() const { return server_.acceptedCount(); }
    int requestCount(const std::string& name) const {
        std::lock_guard lock(mutex_);
        const auto it = counts_.find(name);
        return it == counts_.end() ? 0 : it->second;
    }
    std::set<std::string> queriedPaths() const {
        std::lock_guard lock(mutex_);
        return queried_;
    }
    bool wasQueried(const std::string& path) const {
        std::lock_guard lock(mutex_);
        return queried_.count(path) != 0;
    }
    // Answers written so far (counted after the write).
    int answered() const { return answered_.load(); }

private:
    void serve(int fd) {
        std::string buffer;
        std::size_t scanned = 0;
        std::vector<std::string> lines;
        char chunk[64 * 1024];
        for (;;) {
            const std::size_t lf = buffer.find('\n', scanned);
            if (lf == std::string::npos) {
                scanned = buffer.size();
                const ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n <= 0) {
                    return;
                }
                buffer.append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            lines.push_back(buffer.substr(0, lf));
            buffer.erase(0, lf + 1);
            scanned = 0;
            // The first line is the name, even when it reads "done".
            if (lines.size() == 1 || lines.back() != "done") {
                continue;
            }
            Request request;
            request.name = lines.front();
            for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
                const std::size_t tab = lines[i].find('\t');
                if (tab != std::string::npos) {
                    request.args.emplace(lines[i].substr(0, tab), lines[i].substr(tab + 1));
                }
            }
            lines.clear();
            Reply reply;
            {
                std::lock_guard lock(mutex_);
                ++counts_[request.name];
                if (request.name == "query_stat") {
                    queried_.insert(request.args["path"]);
                }
                reply = responder_(request);
            }
            if (!reply.bytes.empty() && !writeAll(fd, reply.bytes)) {
                return;
            }
            ++answered_;
            if (reply.then == Reply::Close) {
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
            if (reply.then == Reply::Stall) {
                // Reads on, so that the client's close is seen, but answers
                // nothing more.
                while (::read(fd, chunk, sizeof chunk) > 0) {
                }
                return;
            }
        }
    }

    mutable std::mutex mutex_;
    Responder responder_;                // guarded by mutex_
    std::map<std::string, int> counts_;  // guarded by mutex_
    std::set<std::string> queried_;      // guarded by mutex_
    std::atomic<int> answered_{0};
    LoopbackServer server_;  // last: its threads use the members above
};

std::string rootsAnswer(const std::string& root) {
    return "rsp\npath\t" + root + "\ndone\n";
}
std::string statAnswer(int status) {
    return "rsp\nstat\t" + std::to_string(status) + "\ndone\n";
}

// A sync root with files of known status, on disk so that paths canonicalize
// to themselves.
class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = TarnwellCore::canonicalizePath(tmp_.dir("Sync"));
        for (int i = 0; i < 8; ++i) {
            const std::string path =
                TarnwellCore::canonicalizePath(tmp_.file("Sync/file" + std::to_string(i)));
            files_.push_back(path);
            truth_[path] = i % 4;
        }
        ASSERT_TRUE(plugin_.ok()) << plugin_.error();
    }
    void TearDown() override {
        menuProxy_.clear();
        plugin_.shutdown();
    }

    // Answers like a healthy daemon from truth_ (paths outside it: "rsp",
    // "done", no status).
    Reply healthy(const Request& request) {
        if (request.name == "get_tw_roots") {
            return {rootsAnswer(root_)};
        }
        if (request.name == "query_stat") {
            const auto it = truth_.find(request.args.count("path") ? request.args.at("path") : "");
            return {it == truth_.end() ? "rsp\ndone\n" : statAnswer(it->second)};
        }
        return {"rsp\ndone\n"};
    }
    ScriptedDaemon::Responder healthyResponder() {
        return [this](const Request& r) { return healthy(r); };
    }

    // Asks again until the file's true emblem shows.
    bool showsTrueEmblem(const std::string& path,
                         std::chrono::milliseconds deadline = test::kDeadline) {
        return waitUntil([&] { return plugin_.emblem(path) == iconFor(truth_.at(path)); },
                         deadline);
    }
    bool allShowTrueEmblems() {
        return std::all_of(files_.begin(), files_.end(),
                           [&](const std::string& f) { return showsTrueEmblem(f); });
    }
    // "" or the true emblem; anything else is a wrong emblem on screen.
    ::testing::AssertionResult emblemIsNoneOrTrue(const std::string& path) {
        const std::string seen = plugin_.emblem(path);
        if (seen.empty() || seen == iconFor(truth_.at(path))) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << path << " shows " << seen << ", its status is " << truth_.at(path);
    }

    TempDir tmp_;
    std::string root_;
    std::vector<std::string> files_;
    std::map<std::string, int> truth_;
    LoadedPlugin plugin_;
    dfmext::DFMExtMenuProxy menuProxy_;  // cleared before the plug-in is unloaded
};

// --- The daemon dies and comes back ---

TEST_F(FaultTest, DaemonKilledAndRestartedNeverShowsAWrongEmblemAndRecovers) {
    std::vector<std::string> statusArgs;
    for (const auto& [path, status] : truth_) {
        statusArgs.push_back("--status");
        statusArgs.push_back(path + "=" + std::to_string(status));
    }
    auto daemon = std::make_unique<DaemonSim>();
    ASSERT_TRUE(daemon->startOnPort(kDaemonPort, {root_}, kNotifyPort, statusArgs));
    plugin_.initialize();
    ASSERT_TRUE(allShowTrueEmblems());

    // A fresh path now and then makes the plug-in talk to the daemon, so a
    // dead daemon is noticed by a failed exchange rather than by the idle
    // check; its emblem is whatever the daemon's default says, or none.
    int fresh = 0;
    auto askEverything = [&] {
        for (const auto& f : files_) {
            ASSERT_TRUE(emblemIsNoneOrTrue(f));
        }
        const std::string probe = root_ + "/new" + std::to_string(fresh++);
        const std::string seen = plugin_.emblem(probe);
        ASSERT_TRUE(seen.empty() || seen == iconFor(0)) << seen;
    };

    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        daemon->process().signal(SIGKILL);
        ASSERT_TRUE(daemon->process().wait());
        // Down for a while: the host goes on asking.
        const auto downSince = Clock::now();
        while (since(downSince) < 300ms) {
            askEverything();
            std::this_thread::sleep_for(10ms);
        }
        if (cycle == 2) {
            // The daemon comes back with a different opinion of one file;
            // once the new status has shown, the old one must never return.
            truth_[files_[1]] = 2;
            statusArgs.clear();
            for (const auto& [path, status] : truth_) {
                statusArgs.push_back("--status");
                statusArgs.push_back(path + "=" + std::to_string(status));
            }
        }
        daemon = std::make_unique<DaemonSim>();
        ASSERT_TRUE(daemon->startOnPort(kDaemonPort, {root_}, kNotifyPort, statusArgs));
        bool recovered = false;
        const auto upSince = Clock::now();
        while (!recovered && since(upSince) < test::kDeadline) {
            if (cycle < 2) {
                askEverything();
            } else {
                // Before the reconnect the old status may still be cached.
                const std::string seen = plugin_.emblem(files_[1]);
                ASSERT_TRUE(seen.empty() || seen == iconFor(1) || seen == iconFor(2)) << seen;
            }
            recovered = std::all_of(files_.begin(), files_.end(), [&](const std::string& f) {
                return plugin_.emblem(f) == iconFor(truth_.at(f));
            });
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(recovered) << "no emblems after the daemon came back";
    }
    for (int i = 0; i < 200; ++i) {
        askEverything();
    }
}

// --- The daemon stalls ---

TEST_F(FaultTest, StalledDaemonNeverHoldsUpTheHostAndThePluginRecovers) {
    enum Mode { Healthy, Silent, HalfLine };
    std::atomic<int> mode{Healthy};
    ScriptedDaemon daemon([&](const Request& r) -> Reply {
        switch (mode.load()) {
            case Silent:
                return {"", Reply::Stall};
            case HalfLine:
                return {"rsp\nstat\t", Reply::Stall};
            default:
                return healthy(r);
        }
    });
    ASSERT_TRUE(daemon.listening());
    plugin_.initialize();
    ASSERT_TRUE(allShowTrueEmblems());

    std::chrono::microseconds worst{0};
    std::size_t calls = 0;
    int fresh = 0;
    // Emblems (cached, and fresh paths that queue a query) and menus with an
    // action triggered, for as long as `phase` says.
    auto hammer = [&](std::chrono::milliseconds phase, int untilConnections) {
        const auto start = Clock::now();
        while (since(start) < phase || daemon.connections() < untilConnections) {
            ASSERT_LT(since(start), test::kDeadline);
            for (const auto& f : files_) {
                worst =
                    std::max(worst, test::timeCallWithoutCpuWait([&] { (void)plugin_.emblem(f); }));
                ++calls;
            }
            const std::string probe = root_ + "/stalled" + std::to_string(fresh++);
            worst =
                std::max(worst, test::timeCallWithoutCpuWait([&] { (void)plugin_.emblem(probe); }));
            // A user picks a menu entry now and then; the others are only
            // built, as when the menu opens and closes.
            worst = std::max(worst, test::timeCallWithoutCpuWait([&] {
                                 if (fresh % 10 == 0) {
                                     (void)plugin_.pickFirstAction(menuProxy_, files_[0]);
                                 } else {
                                     (void)plugin_.buildMenu(menuProxy_, files_[0]);
                                 }
                             }));
            worst = std::max(worst, test::timeCallWithoutCpuWait([&] { menuProxy_.clear(); }));
            calls += 3;
            std::this_thread::sleep_for(2ms);
        }
    };

    // Accepts the request and never answers: the exchange runs into the
    // client's 3-second time-out, the client reconnects and stalls again.
    const int before = daemon.connections();
    mode = Silent;
    hammer(3500ms, before + 1);
    // Half a line, then silence.
    const int silentConnections = daemon.connections();
    mode = HalfLine;
    hammer(3500ms, silentConnections + 1);
    std::cout << "[ figures ] worst host-thread call while the daemon stalls: " << worst.count()
              << " us over " << calls << " calls\n";
    EXPECT_LT(worst, kHostCallLimit);

    mode = Healthy;
    const auto healthySince = Clock::now();
    ASSERT_TRUE(allShowTrueEmblems());
    std::cout << "[ figures ] emblems back " << since(healthySince).count()
              << " ms after the daemon answered again\n";
    EXPECT_EQ(plugin_.buildMenu(menuProxy_, files_[0])->actions().size(), 1u);
}

// --- The daemon talks nonsense ---

// Every answer below goes to a query for a path of its own. Each is followed
// by a query that gets a healthy answer (status 1), so that whatever the
// nonsense left in the stream would show there as a wrong emblem.
TEST_F(FaultTest, GarbageAnswersStoreNothingUnaskedAndNeverShowAWrongEmblem) {
    struct Case {
        std::string name;
        std::string reply;
        std::set<std::string> allowed;  // emblems the asked path may show
        Reply::Then then = Reply::Answer;
    };
    std::vector<std::string> victims;
    auto victim = [&] {
        victims.push_back(root_ + "/victim" + std::to_string(victims.size()));
        return victims.back();
    };
    const std::string none;
    std::string manyLines = "rsp\n";
    for (int i = 0; i < 70000; ++i) {
        manyLines += "k" + std::to_string(i) + "\tv\n";
    }
    manyLines += "stat\t2\ndone\n";
    const std::vector<Case> cases = {
        {"error status", "err\nstat\t1\ndone\n", {none}},
        {"status in capitals", "RSP\nstat\t1\ndone\n", {none}},
        {"status with a trailing space", "rsp \nstat\t1\ndone\n", {none}},
        {"lines without tabs", "rsp\nstat 1\npath " + victim() + "\nstat\ndone\n", {none}},
        {"a path in the answer",
         "rsp\npath\t" + victim() + "\nstat\t2\ndone\n",
         {none, iconFor(2)}},
        {"status out of range", "rsp\nstat\t99999999999999999999\ndone\n", {none}},
        {"negative status", "rsp\nstat\t-1\ndone\n", {none}},
        {"NUL bytes",
         std::string("rsp\nst\0at\t1\npath\t", 15) + victim() +
             std::string("\0\nstat\t\0003\ndone\n", 14),
         {none, iconFor(0), iconFor(3)}},
        {"binary", std::string("\xff\xfe\0\x01\n\n\t\t\n\r\ndone\n", 14), {none}},
        {"endless line",
         "rsp\nstat\t" + std::string((1 << 20) + (1 << 19), '7'),
         {none},
         Reply::Stall},
        {"too many lines", manyLines, {none}},
        {"bare done", "done\n", {none}},
        {"half an answer, then hang-up", "rsp\nstat\t2\n", {none}, Reply::Close},
        {"an answer to a request never made",
         "rsp\nstat\t0\ndone\nrsp\nstat\t2\ndone\n",
         {none, iconFor(0)}},
        {"two answers in one, unasked one first",
         "rsp\npath\t" + victim() + "\nstat\t3\ndone\nrsp\nstat\t3\ndone\n",
         {none, iconFor(3)}},
    };

    // Filled before the daemon starts, read only by its threads afterwards.
    std::map<std::string, Reply> garbage;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        garbage[root_ + "/garbage" + std::to_string(i)] = Reply{cases[i].reply, cases[i].then};
        truth_[root_ + "/next" + std::to_string(i)] = 1;
    }
    ScriptedDaemon daemon([&](const Request& r) -> Reply {
        if (r.name == "query_stat") {
            const auto it = garbage.find(r.args.count("path") ? r.args.at("path") : "");
            if (it != garbage.end()) {
                return it->second;
            }
        }
        return healthy(r);
    });
    ASSERT_TRUE(daemon.listening());
    plugin_.initialize();
    ASSERT_TRUE(allShowTrueEmblems());

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string asked = root_ + "/garbage" + std::to_string(i);
        const std::string next = root_ + "/next" + std::to_string(i);
        // Asked until the query is out: while a connection is being made
        // again no roots are known and nothing is queried.
        std::string first = plugin_.emblem(asked);
        EXPECT_EQ(first, "");
        ASSERT_TRUE(waitUntil([&] {
            first = plugin_.emblem(asked);
            return daemon.wasQueried(asked);
        }));
        EXPECT_TRUE(c.allowed.count(first) != 0) << "shows " << first;
        // The healthy answer after the nonsense: never anything but status 1.
        std::string seen;
        const bool shown = waitUntil([&] {
            seen = plugin_.emblem(next);
            return !seen.empty();
        });
        ASSERT_TRUE(shown);
        EXPECT_EQ(seen, iconFor(1));
        seen = plugin_.emblem(asked);
        EXPECT_TRUE(c.allowed.count(seen) != 0) << "shows " << seen;
        for (const auto& f : files_) {
            EXPECT_TRUE(emblemIsNoneOrTrue(f));
        }
    }
    // Paths named only inside answers were never asked for: no status is
    // cached for them, so the first request finds none.
    for (const auto& v : victims) {
        EXPECT_FALSE(daemon.wasQueried(v)) << v;
        EXPECT_EQ(plugin_.emblem(v), "") << v;
    }
    ASSERT_TRUE(allShowTrueEmblems());
}

// --- Another local process on the notification port ---

// Sends datagrams to 127.0.0.1:port from one socket.
class DatagramSender {
public:
    explicit DatagramSender(std::uint16_t port)
        : fd_(::socket(AF_INET, SOCK_DGRAM, 0)), addr_(loopbackAddress(port)) {}
    ~DatagramSender() { ::close(fd_); }
    DatagramSender(const DatagramSender&) = delete;
    DatagramSender& operator=(const DatagramSender&) = delete;
    bool send(const std::string& bytes) {
        return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr_),
                        sizeof addr_) == static_cast<ssize_t>(bytes.size());
    }

private:
    int fd_;
    sockaddr_in addr_;
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizer runtimes keep freed memory in quarantine and shadow every byte.
constexpr long kFloodGrowthLimitKiB = 1024 * 1024;
#else
constexpr long kFloodGrowthLimitKiB = 160 * 1024;
#endif

TEST_F(FaultTest, DatagramFloodKeepsMemoryBoundedAndPushedChangesStillShow) {
    // Paths inside the root that the daemon does not know get status 0.
    ScriptedDaemon daemon([&](const Request& r) -> Reply {
        if (r.name == "query_stat" &&
            !truth_.count(r.args.count("path") ? r.args.at("path") : "")) {
            return {statAnswer(0)};
        }
        return healthy(r);
    });
    ASSERT_TRUE(daemon.listening());
    {
        // Datagrams sent before the listener has bound are lost, not flooded.
        // The capture ends before the flood, so that its lines do not count
        // in the peak memory.
        StderrCapture log;
        plugin_.initialize();
        ASSERT_TRUE(log.waitForLine("tarnwell: UDP input command server started"));
    }
    ASSERT_TRUE(allShowTrueEmblems());
    const long peakBefore = test::procStatusKiB("VmHWM");

    constexpr int kDatagrams = 100000;
    const std::string floodDir = root_ + "/flood/";
    DatagramSender sender(kNotifyPort);
    int refreshStats = 0;
    const auto floodStart = Clock::now();
    for (int i = 0; i < kDatagrams; ++i) {
        std::string bytes;
        switch (i % 10) {
            case 0:  // no "done"
                bytes = "refresh_stat\npath\t" + floodDir + std::to_string(i) + "\n";
                break;
            case 1:  // over the receive buffer: cut, then rejected
                bytes = "refresh_stat\npath\t" + floodDir + std::string(3000, 'x') + "\ndone\n";
                break;
            case 2:  // binary, NUL bytes, unknown names
                bytes = i % 20 == 2 ? std::string("\0\n\xff\tdone\ndone\n", 12)
                                    : "no_such_notification\npath\t" + files_[0] + "\ndone\n";
                break;
            case 3:  // outside every root
                bytes = "refresh_stat\npath\t/elsewhere/" + std::to_string(i) + "\ndone\n";
                break;
            default:
                bytes = "refresh_stat\npath\t" + floodDir + std::to_string(i) + "\ndone\n";
                ++refreshStats;
        }
        if (i % 25000 == 12345) {
            bytes.clear();  // an empty datagram, skipped by the listener
        }
        sender.send(bytes);
    }
    const auto floodTime = since(floodStart);

    // The daemon pushes a change after the flood; it must show. The flood may
    // still fill the listener's socket, where the kernel drops what does not
    // fit, so the push is repeated as a daemon would on the next change.
    truth_[files_[2]] = 3;
    Clock::time_point lastPush;
    const bool changed = waitUntil(
        [&] {
            if (since(lastPush) > 500ms) {
                sender.send("refresh_stat\npath\t" + files_[2] + "\ndone\n");
                lastPush = Clock::now();
            }
            return plugin_.emblem(files_[2]) == iconFor(3);
        },
        60s);
    const auto settled = since(floodStart);
    std::size_t handled = 0;
    for (const auto& path : daemon.queriedPaths()) {
        handled += path.rfind(floodDir, 0) == 0 ? 1 : 0;
    }
    const long peakAfter = test::procStatusKiB("VmHWM");
    std::cout << "[ figures ] flood: " << kDatagrams << " datagrams (" << refreshStats
              << " valid refresh_stat) sent in " << floodTime.count() << " ms; " << handled
              << " distinct paths queried; change shown after " << settled.count()
              << " ms; peak RSS " << peakBefore << " -> " << peakAfter << " KiB\n";
    EXPECT_TRUE(changed);
    EXPECT_GT(handled, 0u);
    EXPECT_LT(peakAfter - peakBefore, kFloodGrowthLimitKiB);
    // Still answering, outside the flood too.
    ASSERT_TRUE(allShowTrueEmblems());
    // A flood that overflowed the listener's queue makes the plug-in forget
    // what it knew and ask again: the path shows once asked anew.
    EXPECT_TRUE(waitUntil([&] { return plugin_.emblem(floodDir + "4") == iconFor(0); }));
}

// Something on the daemon's port accepts and hangs up at once, every time.
// Reconnecting at full speed would burn a core of the user's machine and
// write thousands of lines a second into the file manager's log.
TEST_F(FaultTest, PeerThatHangsUpAtOnceIsNotReconnectedInATightLoop) {
    std::atomic<bool> hangUp{true};
    ScriptedDaemon daemon([&](const Request& r) {
        return hangUp ? Reply{"", Reply::Close} : healthy(r);
    });
    ASSERT_TRUE(daemon.listening());
    StderrCapture log;
    plugin_.initialize();
    ASSERT_TRUE(waitUntil([&] { return daemon.connections() >= 1; }));
    const int first = daemon.connections();
    std::this_thread::sleep_for(2500ms);  // a window to count in, not a wait for an event
    const int inWindow = daemon.connections() - first;
    std::cout << "[ figures ] connections in 2.5 s to a peer that hangs up: " << inWindow << "\n";
    EXPECT_LE(inWindow, 5);
    EXPECT_LE(log.count("tarnwell: command client connected"), 8u);

    // Once it answers, the plug-in is back within the pause.
    hangUp = false;
    ASSERT_TRUE(allShowTrueEmblems());
}

// The daemon lists a huge number of roots (one line just under the line
// limit). Installing them must not keep the host's lookups waiting.
TEST_F(FaultTest, HugeRootListNeverHoldsUpTheHost) {
    std::string roots = "rsp\npath\t" + root_;
    int count = 1;
    while (roots.size() < (1 << 20) - 64) {
        roots += "\t/no/such/root/" + std::to_string(count++);
    }
    roots += "\ndone\n";
    std::atomic<bool> answerRoots{false};
    ScriptedDaemon daemon([&](const Request& r) -> Reply {
        if (r.name == "get_tw_roots") {
            return answerRoots ? Reply{roots} : Reply{"rsp\ndone\n"};
        }
        return healthy(r);
    });
    ASSERT_TRUE(daemon.listening());
    StderrCapture log;  // one line per root
    plugin_.initialize();
    ASSERT_TRUE(waitUntil([&] { return daemon.requestCount("get_tw_roots") == 1; }));
    ASSERT_TRUE(log.waitForLine("tarnwell: UDP input command server started"));
    answerRoots = true;

    // Asks from the moment the roots are requested until the emblems show.
    std::chrono::microseconds worst{0};
    const int answeredBefore = daemon.answered();
    const auto start = Clock::now();
    ASSERT_TRUE(test::sendDatagram(kNotifyPort, "refresh_tw_root\ndone\n"));
    bool shown = false;
    while (!shown && since(start) < test::kDeadline) {
        std::string seen;
        worst = std::max(worst,
                         test::timeCallWithoutCpuWait([&] { seen = plugin_.emblem(files_[1]); }));
        shown = seen == iconFor(1);
        worst = std::max(worst,
                         test::timeCallWithoutCpuWait([&] { (void)plugin_.emblem(tmp_.path()); }));
    }
    std::cout << "[ figures ] " << count
              << " roots: worst host-thread call while they arrive: " << worst.count() << " us\n";
    EXPECT_TRUE(shown);
    EXPECT_GT(daemon.answered(), answeredBefore);
    EXPECT_LT(worst, kHostCallLimit);
}

// A flood queues a query for every path while the daemon sits on the first
// one; when that exchange times out, the whole backlog is completed at once.
// The host's thread queues queries too and must not wait for that.
TEST_F(FaultTest, BacklogDroppedAtDisconnectNeverHoldsUpTheHost) {
    std::atomic<bool> stalling{true};
    ScriptedDaemon daemon([&](const Request& r) -> Reply {
        if (r.name == "query_stat" && stalling) {
            return {"", Reply::Stall};
        }
        return healthy(r);
    });
    ASSERT_TRUE(daemon.listening());
    plugin_.initialize();
    ASSERT_TRUE(waitUntil([&] { return daemon.requestCount("get_tw_roots") == 1; }));
    // The roots are in once a path inside shows up as "in a sync folder",
    // that is, once asking for it sends a query.
    ASSERT_TRUE(waitUntil([&] {
        (void)plugin_.emblem(files_[0]);
        return daemon.requestCount("query_stat") == 1;
    }));

    DatagramSender sender(kNotifyPort);
    for (int i = 0; i < 100000; ++i) {
        sender.send("refresh_stat\npath\t" + root_ + "/backlog/" + std::to_string(i) + "\ndone\n");
    }
    // Until the stalled exchange has timed out and the connection is new.
    std::chrono::microseconds worst{0};
    int fresh = 0;
    const auto start = Clock::now();
    while (daemon.connections() < 2 || since(start) < 500ms) {
        ASSERT_LT(since(start), test::kDeadline);
        const std::string probe = root_ + "/host" + std::to_string(fresh++);
        worst = std::max(worst, test::timeCallWithoutCpuWait([&] { (void)plugin_.emblem(probe); }));
        std::this_thread::sleep_for(1ms);
    }
    stalling = false;
    std::cout << "[ figures ] worst host-thread call while a backlog is dropped: " << worst.count()
              << " us\n";
    EXPECT_LT(worst, kHostCallLimit);
    ASSERT_TRUE(allShowTrueEmblems());
}

TEST_F(FaultTest, NotifyPortHeldElsewhereStillGivesEmblemsAndAPromptShutdown) {
    // Bound without SO_REUSEPORT, so the plug-in's socket cannot share it.
    const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = loopbackAddress(kNotifyPort);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    ScriptedDaemon daemon(healthyResponder());
    ASSERT_TRUE(daemon.listening());
    StderrCapture log;
    plugin_.initialize();
    EXPECT_TRUE(log.waitForLine("tarnwell: UDP bind() failed"));
    EXPECT_TRUE(allShowTrueEmblems());
    EXPECT_EQ(plugin_.buildMenu(menuProxy_, files_[0])->actions().size(), 1u);
    menuProxy_.clear();

    const auto took = test::timeCall([&] { plugin_.shutdown(); });
    std::cout << "[ figures ] shutdown with the notify port held elsewhere: " << took.count()
              << " us\n";
    EXPECT_LT(took, 2s);
    EXPECT_EQ(log.count("tarnwell: plugin shut down"), 1u);
    ::close(holder);
}

TEST_F(FaultTest, DaemonPortHeldBySilentPeerEndsShutdownWithinTheExchangeTimeOut) {
    ScriptedDaemon daemon([](const Request&) { return Reply{"", Reply::Stall}; });
    ASSERT_TRUE(daemon.listening());
    plugin_.initialize();
    // The roots request is out and will never be answered.
    ASSERT_TRUE(waitUntil([&] { return daemon.requestCount("get_tw_roots") == 1; }));
    EXPECT_EQ(plugin_.emblem(files_[0]), "");
    const auto took = test::timeCall([&] { plugin_.shutdown(); });
    std::cout << "[ figures ] shutdown during a stalled exchange: " << took.count() / 1000
              << " ms\n";
    EXPECT_LT(took, 4500ms);
    EXPECT_EQ(plugin_.emblemPlugin(), nullptr);
}

}  // namespace
}  // namespace tarnwell
