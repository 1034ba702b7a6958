#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/posix_io.h"
#include "listener/input_command_server.h"
#include "listener/sender_check.h"
#include "support/test_support.h"

namespace tarnwell {

// Reaches the listener's private seam and socket.
struct InputCommandServerTestAccess {
    static void setWakeSocketOpener(InputCommandServer& server, std::function<int()> opener) {
        server.openWakeSocket_ = std::move(opener);
    }
    static int listenerSocket(InputCommandServer& server) { return server.socketFd_.load(); }
    static void setLossClock(InputCommandServer& server,
                             std::function<std::chrono::steady_clock::time_point()> clock) {
        server.lossClock_ = std::move(clock);
    }
};

namespace {

using namespace std::chrono_literals;
using test::kDeadline;
using test::sendDatagram;
using test::waitUntil;
using Clock = std::chrono::steady_clock;

const std::string kStartedLine = "tarnwell: UDP input command server started";
const std::string kBindFailedLine = "tarnwell: UDP bind() failed";

// --- Datagram parsing ---

TEST(ParseMessage, RejectsWhatDoesNotEndInADoneLine) {
    for (const std::string& text : {
             std::string("done\n"),           // a single line
             std::string("\ndone\n"),         // empty name
             std::string("x\ndone"),          // "done" without its LF
             std::string("x\ndone\nmore\n"),  // a complete line after "done"
             std::string("x\r\ndone\r\n"),    // CR LF: the last line is "done\r"
             std::string(1, '\0'),            // the wake-up byte
             std::string(""),
         }) {
        EXPECT_EQ(InputCommandServer::parseMessage(text), nullptr) << testing::PrintToString(text);
    }
    auto doneDone = InputCommandServer::parseMessage("done\ndone\n");
    ASSERT_NE(doneDone, nullptr);
    EXPECT_EQ(doneDone->name, "done");
    EXPECT_TRUE(doneDone->args.empty());

    auto withTail = InputCommandServer::parseMessage("x\npath\t/a\ndone\npath\t/b");
    ASSERT_NE(withTail, nullptr);
    EXPECT_EQ(withTail->args.at("path"), std::vector<std::string>{"/a"});
}

TEST(ParseMessage, SplitsArgumentLinesIntoKeysAndEveryValue) {
    auto cmd = InputCommandServer::parseMessage(
        "refresh_stat\n"
        "lonely\n"
        "\n"
        "path\t\n"
        "\tv\n"
        "k\ta\t\tb\t\n"
        "dup\tfirst\tsecond\n"
        "dup\tthird\n"
        "done\n");
    ASSERT_NE(cmd, nullptr);
    EXPECT_EQ(cmd->name, "refresh_stat");
    EXPECT_EQ(cmd->args.count("lonely"), 0u);
    EXPECT_EQ(cmd->args.at("path"), std::vector<std::string>{""});
    EXPECT_EQ(cmd->args.at(""), std::vector<std::string>{"v"});
    EXPECT_EQ(cmd->args.at("k"), (std::vector<std::string>{"a", "", "b", ""}));
    EXPECT_EQ(cmd->args.at("dup"), std::vector<std::string>{"third"});
    EXPECT_EQ(cmd->args.size(), 4u);
    EXPECT_FALSE(cmd->handler.callback);
    EXPECT_EQ(cmd->handler.owner, nullptr);
}

TEST(ParseMessage, UnescapesKeysAndValuesButNeverTheName) {
    auto cmd = InputCommandServer::parseMessage(
        "re\\nfresh\n"
        "a\\tkey\ta\\tb\ta\\\\tb\ta\\x\tend\\\n"
        "lf\tone\\ntwo\n"
        "done\n");
    ASSERT_NE(cmd, nullptr);
    EXPECT_EQ(cmd->name, "re\\nfresh");
    EXPECT_EQ(cmd->args.at("a\tkey"), (std::vector<std::string>{"a\tb", "a\\tb", "a\\x", "end\\"}));
    EXPECT_EQ(cmd->args.at("lf"), std::vector<std::string>{"one\ntwo"});
}

TEST(ParseMessage, KeepsZeroBytesAsOrdinaryBytes) {
    const char bytes[] = "n\0x\npath\ta\0b\ndone\n";
    const std::string text(bytes, sizeof bytes - 1);
    auto cmd = InputCommandServer::parseMessage(text);
    ASSERT_NE(cmd, nullptr);
    EXPECT_EQ(cmd->name, std::string("n\0x", 3));
    EXPECT_EQ(cmd->args.at("path"), std::vector<std::string>{std::string("a\0b", 3)});
}

// --- The listener thread ---

std::size_t countEntries(const char* dir) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (::readdir(d) != nullptr) {
            ++n;
        }
        ::closedir(d);
    }
    return n;
}

pid_t currentTid() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// True once thread `tid` of this process sits in its wait for datagrams, i.e.
// it has passed its last check before receiving.
bool blockedInReceive(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return (in >> number) && (number == SYS_poll || number == SYS_ppoll);
}

// Records every dispatched notification ("name|first path value") and the
// thread that ran the handler.
class Recorder {
public:
    std::function<void(InputCommand*)> handler() {
        return [this](InputCommand* cmd) {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = cmd->args.find("path");
            seen_.push_back(cmd->name + "|" + (it == cmd->args.end() ? "" : it->second.at(0)));
            tid_ = currentTid();
        };
    }
    std::vector<std::string> seen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    bool waitForCount(std::size_t n) const {
        return waitUntil([&] { return seen().size() >= n; });
    }
    pid_t tid() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return tid_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> seen_;  // guarded by mutex_
    pid_t tid_ = 0;                  // guarded by mutex_
};

class ListenerTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(port_, 0);
        // The test process's one datagram socket stays open for good: open it
        // before any test counts descriptors. Nothing is bound to the port
        // yet, so this datagram goes nowhere.
        ASSERT_TRUE(sendDatagram(port_, ""));
    }

    // Starts the listener and waits until it takes datagrams.
    void startAndWait(std::size_t startedLines = 1) {
        server_.start();
        ASSERT_TRUE(waitUntil([&] { return stderr_.count(kStartedLine) >= startedLines; }));
    }

    // Proves the listener is receiving by getting one "ping" through, then
    // waits until its thread sits in the receive again.
    void pingAndWaitForReceive() {
        const std::size_t before = recorder_.seen().size();
        ASSERT_TRUE(sendDatagram(port_, "ping\ndone\n"));
        ASSERT_TRUE(recorder_.waitForCount(before + 1));
        ASSERT_TRUE(waitUntil([&] { return blockedInReceive(recorder_.tid()); }));
    }

    // Stops the listener and returns how long stop took. A stop that hangs
    // fails the test instead of the whole run: datagrams then free it.
    Clock::duration timedStop() {
        std::atomic<bool> done{false};
        std::atomic<Clock::duration> took{};
        std::thread stopper([&] {
            const auto begin = Clock::now();
            server_.stop();
            took = Clock::now() - begin;
            done = true;
        });
        if (!waitUntil([&] { return done.load(); }, 5s)) {
            ADD_FAILURE() << "stop does not return";
            waitUntil([&] {
                if (done.load()) {
                    return true;
                }
                sendDatagram(port_, std::string(1, '\0'));
                return false;
            });
        }
        stopper.join();
        return took.load();
    }

    // A "block" handler that holds the listener thread until gate_ opens.
    void addBlockingHandler() {
        server_.addHandler(
            "block",
            [this](InputCommand*) {
                blocking_ = true;
                std::lock_guard<std::mutex> wait(gateMutex_);
            },
            nullptr);
    }
    // Sends "block" and waits until the listener thread sits in its handler.
    void blockTheListener() {
        ASSERT_TRUE(sendDatagram(port_, "block\ndone\n"));
        ASSERT_TRUE(waitUntil([&] { return blocking_.load(); }));
    }

    std::mutex gateMutex_;
    std::unique_lock<std::mutex> gate_{gateMutex_};  // closed until the test opens it
    std::atomic<bool> blocking_{false};
    test::StderrCapture stderr_;  // before the server: its reader thread outlives it
    const std::uint16_t port_ = test::freeUdpPort();
    Recorder recorder_;
    test::TempDir relayParent_;
    std::string relayFolder() const { return relayParent_.path() + "/copies"; }
    InputCommandServer server_{port_, relayFolder()};
};

TEST_F(ListenerTest, DispatchesByExactNameOnTheListenerThreadInArrivalOrder) {
    auto owner = std::make_shared<int>(7);
    long ownerUsesDuringCall = 0;
    server_.addHandler("refresh_stat", recorder_.handler(), nullptr);
    server_.addHandler("refresh_tw_root", recorder_.handler(), nullptr);
    server_.addHandler("empty", nullptr, nullptr);
    server_.addHandler(
        "owned",
        [&](InputCommand* cmd) {
            EXPECT_EQ(cmd->handler.owner, owner);
            ownerUsesDuringCall = owner.use_count();
            recorder_.handler()(cmd);
        },
        owner);
    startAndWait();

    for (const std::string& text : {
             std::string("refresh_stat\npath\t/data/sync/a b.txt\ndone\n"),
             std::string("unknown\npath\t/x\ndone\n"),
             std::string("empty\ndone\n"),
             std::string("refresh_stat\n"),  // rejected: no "done"
             std::string("Refresh_stat\ndone\n"),
             std::string("refresh_tw_root\ndone\n"),
             std::string("owned\ndone\n"),
         }) {
        ASSERT_TRUE(sendDatagram(port_, text));
    }
    ASSERT_TRUE(recorder_.waitForCount(3));
    EXPECT_EQ(recorder_.seen(), (std::vector<std::string>{"refresh_stat|/data/sync/a b.txt",
                                                          "refresh_tw_root|", "owned|"}));
    EXPECT_NE(recorder_.tid(), currentTid());
    // Ours, the registry's and the dispatched record's copy.
    EXPECT_EQ(ownerUsesDuringCall, 3);
    server_.stop();
    EXPECT_EQ(owner.use_count(), 2);  // the record's copy is gone again
    EXPECT_EQ(stderr_.count(kStartedLine), 1u);
}

TEST_F(ListenerTest, ReplacedHandlerIsReleasedAtOnceAndNeverCalled) {
    auto firstOwner = std::make_shared<int>(1);
    auto firstState = std::make_shared<int>(1);
    std::weak_ptr<int> firstOwnerWatch = firstOwner;
    std::weak_ptr<int> firstStateWatch = firstState;
    std::atomic<int> firstCalls{0};
    server_.addHandler(
        "refresh_stat", [&firstCalls, firstState](InputCommand*) { ++firstCalls; },
        std::move(firstOwner));
    firstState.reset();
    server_.addHandler("refresh_stat", recorder_.handler(), std::make_shared<int>(2));
    EXPECT_TRUE(firstOwnerWatch.expired());
    EXPECT_TRUE(firstStateWatch.expired());

    startAndWait();
    ASSERT_TRUE(sendDatagram(port_, "refresh_stat\npath\t/p\ndone\n"));
    ASSERT_TRUE(recorder_.waitForCount(1));
    server_.stop();
    EXPECT_EQ(firstCalls.load(), 0);
}

// A path may be thousands of bytes long: its notification was cut at 2,047
// bytes and rejected, and the emblem stayed wrong without a word. Every
// datagram UDP can carry is read whole, and a long one leaves nothing behind
// for the next.
TEST_F(ListenerTest, LongDatagramIsReadWholeUpToTheLargestUdpCarries) {
    server_.addHandler("n", recorder_.handler(), nullptr);
    server_.addHandler(std::string("z\0z", 3), recorder_.handler(), nullptr);
    startAndWait();
    const std::string head = "n\npath\t";
    const auto notificationOf = [&](std::size_t bytes, char fill) {
        return head + std::string(bytes - head.size() - 6, fill) + "\ndone\n";
    };
    const std::string deepPath = notificationOf(2359 + head.size() + 6, 'd');
    const std::string largest = notificationOf(65507, 'g');
    // A long rejected datagram fills its slot; the next, shorter one must not
    // pick its bytes up (nor stop at its own zero byte).
    const std::string leftovers(60000, 'q');
    const char withZeroBytes[] = "z\0z\npath\tshort\ndone\n";
    const std::string withZero(withZeroBytes, sizeof withZeroBytes - 1);
    for (const std::string& text : {deepPath, largest, leftovers, withZero}) {
        ASSERT_TRUE(sendDatagram(port_, text));
    }
    ASSERT_TRUE(recorder_.waitForCount(3));
    server_.stop();
    ASSERT_EQ(recorder_.seen().size(), 3u);
    EXPECT_EQ(recorder_.seen()[0], "n|" + std::string(2359, 'd'));
    EXPECT_EQ(recorder_.seen()[1], "n|" + std::string(65507 - head.size() - 6, 'g'));
    EXPECT_EQ(recorder_.seen()[2], std::string("z\0z|short", 9));
}

// An empty datagram is a datagram like any other. Taken for an error, it made
// the listener reopen its socket, and the notifications queued behind it
// were lost: a change the daemon pushed right after never showed.
TEST_F(ListenerTest, EmptyDatagramIsSkippedAndWhatIsQueuedBehindItIsHandled) {
    addBlockingHandler();
    server_.addHandler("refresh_stat", recorder_.handler(), nullptr);
    startAndWait();
    blockTheListener();
    ASSERT_TRUE(sendDatagram(port_, ""));
    ASSERT_TRUE(sendDatagram(port_, "refresh_stat\npath\t/behind\ndone\n"));
    gate_.unlock();
    EXPECT_TRUE(recorder_.waitForCount(1));
    server_.stop();
    EXPECT_EQ(recorder_.seen(), std::vector<std::string>{"refresh_stat|/behind"});
    EXPECT_EQ(stderr_.count(kStartedLine), 1u);
}

std::atomic<int> signalsTaken{0};

// The file manager may handle a signal without SA_RESTART, and it may land on
// the listener thread while it waits in its receive. Taken for a failed
// socket, it made the listener throw the socket away, and with it every
// notification queued on it.
TEST_F(ListenerTest, SignalWhileWaitingKeepsTheSocket) {
    server_.addHandler("ping", recorder_.handler(), nullptr);
    startAndWait();
    pingAndWaitForReceive();
    struct sigaction action {};
    action.sa_handler = [](int) { ++signalsTaken; };
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    const int before = signalsTaken.load();
    ASSERT_EQ(::syscall(SYS_tgkill, ::getpid(), recorder_.tid(), SIGUSR1), 0);
    const bool taken = waitUntil([&] { return signalsTaken.load() > before; });
    pingAndWaitForReceive();
    server_.stop();
    ::sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_TRUE(taken);
    EXPECT_EQ(stderr_.count(kStartedLine), 1u);
}

TEST_F(ListenerTest, StopIsPromptAndLeavesNoThreadOrSocketBehind) {
    server_.addHandler("ping", recorder_.handler(), nullptr);
    const std::size_t fdsBefore = countEntries("/proc/self/fd");
    const std::size_t threadsBefore = countEntries("/proc/self/task");

    for (std::size_t round = 1; round <= 2; ++round) {
        startAndWait(round);
        server_.start();  // no second thread
        pingAndWaitForReceive();
        const int fd = InputCommandServerTestAccess::listenerSocket(server_);
        ASSERT_GE(fd, 0);
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(countEntries("/proc/self/task"), threadsBefore + 1);

        EXPECT_LT(timedStop(), test::kPromptLimit);
        EXPECT_EQ(countEntries("/proc/self/fd"), fdsBefore);
        EXPECT_EQ(countEntries("/proc/self/task"), threadsBefore);
        EXPECT_EQ(InputCommandServerTestAccess::listenerSocket(server_), -1);
        server_.stop();  // nothing left to stop
    }
    EXPECT_EQ(stderr_.count(kStartedLine), 2u);
    EXPECT_EQ(recorder_.seen().size(), 2u);
}

TEST_F(ListenerTest, StopIsPromptWhileAnotherProcessSharesThePort) {
    // A second copy of the plug-in (the file manager and the desktop both
    // load it) binds the same port with SO_REUSEPORT; the kernel then hands
    // each datagram to one socket of the two, by a hash of its sender, so the
    // wake-up datagram may never reach this listener.
    server_.addHandler("ping", recorder_.handler(), nullptr);
    startAndWait();
    pingAndWaitForReceive();
    const int other = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(other, 0);
    const int one = 1;
    ::setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in addr = loopbackAddress(port_);
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_LT(timedStop(), test::kPromptLimit);
    ::close(other);
}

TEST_F(ListenerTest, StopEndsTheListenerEvenWithoutAWakeUpSocket) {
    server_.addHandler("ping", recorder_.handler(), nullptr);
    int openerCalls = 0;
    InputCommandServerTestAccess::setWakeSocketOpener(server_, [&openerCalls] {
        ++openerCalls;
        errno = EMFILE;
        return -1;
    });
    const std::size_t fdsBefore = countEntries("/proc/self/fd");
    const std::size_t threadsBefore = countEntries("/proc/self/task");
    startAndWait();
    pingAndWaitForReceive();

    EXPECT_LT(timedStop(), test::kPromptLimit);
    EXPECT_EQ(openerCalls, 1);
    EXPECT_EQ(countEntries("/proc/self/fd"), fdsBefore);
    EXPECT_EQ(countEntries("/proc/self/task"), threadsBefore);
    // The shut-down socket ends the thread; it does not reopen.
    EXPECT_EQ(stderr_.count(kStartedLine), 1u);
}

TEST_F(ListenerTest, NotificationArrivingWhileStopWakesTheListenerIsStillDispatched) {
    server_.addHandler("ping", recorder_.handler(), nullptr);
    server_.addHandler("late", recorder_.handler(), nullptr);
    const std::uint16_t port = port_;
    // Runs inside stop, after it has cleared the running flag and before the
    // wake-up datagram goes out.
    InputCommandServerTestAccess::setWakeSocketOpener(server_, [port] {
        EXPECT_TRUE(sendDatagram(port, "late\npath\t/l\ndone\n"));
        return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    });
    startAndWait();
    pingAndWaitForReceive();
    server_.stop();
    EXPECT_EQ(recorder_.seen(), (std::vector<std::string>{"ping|", "late|/l"}));
}

// Holds a UDP port without SO_REUSEPORT, so that the listener cannot share it.
class PortHolder {
public:
    explicit PortHolder(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr = loopbackAddress(port);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~PortHolder() { release(); }
    bool bound() const { return bound_; }
    void release() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_;
    bool bound_ = false;
};

TEST_F(ListenerTest, BusyPortIsRetriedEveryTwoSecondsUntilItIsFree) {
    server_.addHandler("ping", recorder_.handler(), nullptr);
    PortHolder holder(port_);
    ASSERT_TRUE(holder.bound());
    server_.start();
    ASSERT_TRUE(stderr_.waitForLine(kBindFailedLine));
    const auto first = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return stderr_.count(kBindFailedLine) >= 2; }));
    const auto interval = Clock::now() - first;
    EXPECT_GT(interval, 1500ms);
    EXPECT_LT(interval, 6s);
    EXPECT_EQ(stderr_.count(kStartedLine), 0u);

    holder.release();
    ASSERT_TRUE(stderr_.waitForLine(kStartedLine));
    pingAndWaitForReceive();
    server_.stop();
}

TEST_F(ListenerTest, StopDuringTheBindBackOffIsPrompt) {
    PortHolder holder(port_);
    ASSERT_TRUE(holder.bound());
    const std::size_t threadsBefore = countEntries("/proc/self/task");
    server_.start();
    ASSERT_TRUE(stderr_.waitForLine(kBindFailedLine));
    EXPECT_LT(timedStop(), test::kPromptLimit);
    EXPECT_EQ(countEntries("/proc/self/task"), threadsBefore);
    EXPECT_EQ(stderr_.count(kBindFailedLine), 1u);
}

// A burst that arrives while a handler is busy waits in the receive queue;
// with the system's default queue size most of it would be dropped.
TEST_F(ListenerTest, BurstWhileAHandlerIsBusyIsNotDropped) {
    constexpr int kBurst = 2000;
    long rmemMax = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> rmemMax;
    if (rmemMax < (1 << 20)) {
        GTEST_SKIP() << "net.core.rmem_max " << rmemMax << " too small to hold the burst";
    }
    addBlockingHandler();
    server_.addHandler("refresh_stat", recorder_.handler(), nullptr);
    startAndWait();
    blockTheListener();
    for (int i = 0; i < kBurst; ++i) {
        ASSERT_TRUE(sendDatagram(port_, "refresh_stat\npath\t/f" + std::to_string(i) + "\ndone\n"));
    }
    gate_.unlock();
    EXPECT_TRUE(recorder_.waitForCount(kBurst));
    server_.stop();
    EXPECT_EQ(recorder_.seen().size(), static_cast<std::size_t>(kBurst));
}

// The kernel's count of datagrams it dropped on the listener's socket.
std::uint32_t droppedOn(int fd) {
    std::array<std::uint32_t, SK_MEMINFO_VARS> meminfo{};
    socklen_t length = sizeof meminfo;
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo.data(), &length) != 0) {
        return 0;
    }
    return meminfo[SK_MEMINFO_DROPS];
}

// Sends `text` datagrams ("refresh_stat" ones unless told) until the kernel
// drops one on `fd`: the queue is full. False when it never does.
bool overflowQueue(std::uint16_t port, int fd,
                   const std::string& text = "refresh_stat\npath\t/f\ndone\n") {
    const std::uint32_t before = droppedOn(fd);
    for (int i = 0; i < 2000000 && droppedOn(fd) == before; ++i) {
        for (int j = 0; j < 100; ++j) {
            sendDatagram(port, text);
        }
    }
    return droppedOn(fd) != before;
}

const std::string kLostLineEnd = " notifications were lost (the receive queue was full)";

std::vector<std::string> linesEndingIn(const test::StderrCapture& capture, const std::string& end) {
    std::vector<std::string> found;
    for (const std::string& line : capture.lines()) {
        if (line.size() >= end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

// While the listener drains a flood, the kernel drops again and again. Each
// rise of its counter logged a line and emptied the plug-in's state, some 800
// times a flood; the drops of one burst are one event, told once the queue has
// drained, with the number lost.
TEST_F(ListenerTest, FloodThatOverflowsTheQueueAgainAndAgainIsReportedOnceWithItsCount) {
    std::atomic<int> lost{0};
    std::atomic<int> overflows{0};
    addBlockingHandler();
    server_.addHandler("refresh_stat", recorder_.handler(), nullptr);
    // Handled while the queue is still full: overflows it again, within the
    // same burst.
    server_.addHandler(
        "refill",
        [&](InputCommand*) {
            overflows += overflowQueue(port_, InputCommandServerTestAccess::listenerSocket(server_));
        },
        nullptr);
    server_.addHandler("ping", recorder_.handler(), nullptr);
    server_.setNotificationsLostHandler([&] { ++lost; });
    startAndWait();
    blockTheListener();
    const int fd = InputCommandServerTestAccess::listenerSocket(server_);
    ASSERT_TRUE(sendDatagram(port_, "refill\ndone\n") && sendDatagram(port_, "refill\ndone\n"));
    ASSERT_TRUE(overflowQueue(port_, fd));
    gate_.unlock();
    ASSERT_TRUE(waitUntil([&] { return lost.load() >= 1; }));
    EXPECT_EQ(overflows.load(), 2);
    pingAndWaitForReceive();
    const std::uint32_t dropped = droppedOn(fd);
    server_.stop();
    EXPECT_EQ(lost.load(), 1);
    EXPECT_EQ(linesEndingIn(stderr_, kLostLineEnd),
              std::vector<std::string>{"tarnwell: " + std::to_string(dropped) + kLostLineEnd});
}

// Once a flood has drained and been reported, the datagrams that follow were
// all received: taking them for lost ones would empty the state at every
// notification from then on.
TEST_F(ListenerTest, NotificationsAfterAReportedFloodAreNotTakenForLostOnes) {
    std::atomic<int> lost{0};
    addBlockingHandler();
    server_.addHandler("refresh_stat", recorder_.handler(), nullptr);
    server_.addHandler("ping", recorder_.handler(), nullptr);
    server_.setNotificationsLostHandler([&] { ++lost; });
    startAndWait();
    blockTheListener();
    ASSERT_TRUE(overflowQueue(port_, InputCommandServerTestAccess::listenerSocket(server_)));
    gate_.unlock();
    ASSERT_TRUE(waitUntil([&] { return lost.load() == 1; }));
    // Each ping is a burst of its own: the queue drains after each.
    for (int i = 0; i < 3; ++i) {
        pingAndWaitForReceive();
    }
    server_.stop();
    EXPECT_EQ(lost.load(), 1);
    EXPECT_EQ(linesEndingIn(stderr_, kLostLineEnd).size(), 1u);
}

// A big sync sent faster than the listener takes it drains the queue many
// times a burst, and the kernel drops anew after each: a line for each (27 a
// burst) buried the user's log. At most one line a second, carrying all that
// was lost since the last; what is held is logged with the next loss after
// the second, or once the second is over when none follows. The lines are
// timed by a clock the test drives, so that the second ends when it says.
TEST_F(ListenerTest, LossesWithinASecondShareOneLineAndAHeldSumIsLoggedAfterTheSecond) {
    std::atomic<Clock::rep> now{Clock::now().time_since_epoch().count()};
    const auto advanceOneSecond = [&now] {
        now += std::chrono::duration_cast<Clock::duration>(1s).count();
    };
    InputCommandServerTestAccess::setLossClock(
        server_, [&now] { return Clock::time_point(Clock::duration(now.load())); });
    std::atomic<int> lost{0};
    // Each overflows the queue while the listener is busy with it: one loss,
    // noticed once the queue has drained again.
    const auto overflow = [this](InputCommand*) {
        ASSERT_TRUE(overflowQueue(port_, InputCommandServerTestAccess::listenerSocket(server_)));
    };
    server_.addHandler("overflow", overflow, nullptr);
    server_.addHandler(
        "later",
        [&](InputCommand* command) {
            advanceOneSecond();
            overflow(command);
        },
        nullptr);
    server_.addHandler("refresh_stat", [](InputCommand*) {}, nullptr);
    server_.setNotificationsLostHandler([&] { ++lost; });
    startAndWait();
    const int fd = InputCommandServerTestAccess::listenerSocket(server_);
    const auto loseOnce = [&](const std::string& name) {
        const int before = lost.load();
        ASSERT_TRUE(sendDatagram(port_, name + "\ndone\n"));
        ASSERT_TRUE(waitUntil([&] { return lost.load() == before + 1; }));
    };
    const auto lineOf = [](std::uint32_t count) {
        return "tarnwell: " + std::to_string(count) + kLostLineEnd;
    };

    loseOnce("overflow");
    const std::uint32_t first = droppedOn(fd);
    loseOnce("overflow");
    loseOnce("overflow");
    EXPECT_EQ(linesEndingIn(stderr_, kLostLineEnd), std::vector<std::string>{lineOf(first)});
    // A second later, one more loss: its line carries the two held as well.
    loseOnce("later");
    const std::uint32_t second = droppedOn(fd);
    EXPECT_EQ(linesEndingIn(stderr_, kLostLineEnd),
              (std::vector<std::string>{lineOf(first), lineOf(second - first)}));
    // Within the second again: held until the second is over, with no loss
    // after it.
    loseOnce("overflow");
    const std::uint32_t third = droppedOn(fd);
    EXPECT_EQ(linesEndingIn(stderr_, kLostLineEnd).size(), 2u);
    advanceOneSecond();
    EXPECT_TRUE(stderr_.waitForLine(lineOf(third - second)));
    server_.stop();
    EXPECT_EQ(lost.load(), 5);
    EXPECT_EQ(linesEndingIn(stderr_, kLostLineEnd).size(), 3u);
}

// --- Senders the daemon may use ---

// Sends `text` to 127.0.0.1:port from a socket of the given kind: "closed"
// opens a socket for this one datagram and closes it at once, "wildcard" binds
// 0.0.0.0 and keeps the socket, "dual-stack" sends from an IPv6 socket to
// ::ffff:127.0.0.1 and keeps it. Kept sockets go to `kept`.
bool sendFrom(const std::string& kind, std::uint16_t port, const std::string& text,
              std::vector<int>& kept) {
    const bool v6 = kind == "dual-stack";
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_storage to{};
    socklen_t length = 0;
    if (v6) {
        const int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        auto* addr = reinterpret_cast<sockaddr_in6*>(&to);
        addr->sin6_family = AF_INET6;
        addr->sin6_port = htons(port);
        ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &addr->sin6_addr);
        length = sizeof *addr;
    } else {
        *reinterpret_cast<sockaddr_in*>(&to) = loopbackAddress(port);
        length = sizeof(sockaddr_in);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        if (kind == "wildcard" && ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
            ::close(fd);
            return false;
        }
    }
    const bool sent = ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to),
                               length) == static_cast<ssize_t>(text.size());
    if (kind == "closed") {
        ::close(fd);
    } else {
        kept.push_back(fd);
    }
    return sent;
}

// A daemon may open a socket per notification and close it right after
// sendto (as a script or `nc -u` does), bind the wildcard, or send from a
// dual-stack IPv6 socket. Whoever sent it can no longer be told in the first
// case; each is the daemon's, and each must be handled.
TEST_F(ListenerTest, NotificationsFromEveryKindOfDaemonSocketAreHandled) {
    server_.addHandler("refresh_stat", recorder_.handler(), nullptr);
    startAndWait();
    std::vector<int> kept;
    for (const std::string kind : {"closed", "wildcard", "dual-stack"}) {
        ASSERT_TRUE(sendFrom(kind, port_, "refresh_stat\npath\t/" + kind + "\ndone\n", kept))
            << kind;
    }
    ASSERT_TRUE(recorder_.waitForCount(3));
    server_.stop();
    for (const int fd : kept) {
        ::close(fd);
    }
    EXPECT_EQ(recorder_.seen(),
              (std::vector<std::string>{"refresh_stat|/closed", "refresh_stat|/wildcard",
                                        "refresh_stat|/dual-stack"}));
    EXPECT_EQ(server_.droppedNotifications(), 0U);
}

// --- Senders of another user ---

// Another user may blank the emblems ("refresh_tw_root") or make the plug-in
// query at will; its datagrams must never reach a handler, while ours still do.
TEST_F(ListenerTest, NotificationsFromAnotherUserAreDroppedAndCountedOursAreHandled) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as another user";
    }
    server_.addHandler("refresh_stat", recorder_.handler(), nullptr);
    startAndWait();
    test::ForeignSocket stranger;
    ASSERT_TRUE(stranger.start("udp", 0) && stranger.bound());
    ASSERT_TRUE(stranger.send(port_, "refresh_stat|path\t/theirs|done|", 5));
    // Ours goes out after theirs on the same queue: once it is handled, all
    // of theirs have been judged.
    ASSERT_TRUE(sendDatagram(port_, "refresh_stat\npath\t/ours\ndone\n"));
    ASSERT_TRUE(recorder_.waitForCount(1));
    server_.stop();
    EXPECT_EQ(recorder_.seen(), std::vector<std::string>{"refresh_stat|/ours"});
    EXPECT_EQ(server_.droppedNotifications(), 5U);
    const auto lines = stderr_.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.rfind("tarnwell: dropped a notification from uid 65534",
                                                  0) == 0;
                            }),
              1);
}

// Sends `text` to 127.0.0.1:`to` from a socket bound to 127.0.0.1:`from`,
// closed right after; false when that port cannot be bound.
bool sendFromPort(std::uint16_t from, std::uint16_t to, const std::string& text) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(from);
    bool sent = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    address.sin_port = htons(to);
    sent = sent && ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&address),
                            sizeof address) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return sent;
}

// The owners of the senders' ports are looked up once for a few
// milliseconds. A table kept longer lets a stranger's socket bound since
// pass as untold, and keeps refusing a port a stranger held once, after one
// of ours took it. Each verdict is proven by a notification of ours sent
// behind it, from another socket, on the same queue.
TEST_F(ListenerTest, OwnersOfSendersArePutInDoubtAgainAfterAFewMilliseconds) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as another user";
    }
    server_.addHandler("refresh_stat", recorder_.handler(), nullptr);
    startAndWait();
    const auto handled = [&](const std::string& path) {
        const auto seen = recorder_.seen();
        return std::count(seen.begin(), seen.end(), "refresh_stat|" + path) == 1;
    };
    const auto notifyAndWait = [&](const std::string& path) {
        ASSERT_TRUE(sendDatagram(port_, "refresh_stat\npath\t" + path + "\ndone\n"));
        ASSERT_TRUE(waitUntil([&] { return handled(path); }));
    };
    // Waits out the table taken when `path` was judged at the latest.
    const auto outlive = [](Clock::time_point since) {
        waitUntil([&] { return Clock::now() - since > SenderCheck::kTableLifetime; });
    };
    std::uint16_t theirPort = 0;
    {
        test::ForeignSocket stranger;
        ASSERT_TRUE(stranger.start("udp", 0) && stranger.bound());
        theirPort = stranger.port();
        ASSERT_TRUE(stranger.send(port_, "refresh_stat|path\t/theirs|done|"));
        notifyAndWait("/first");
        outlive(Clock::now());
    }  // the stranger's socket is closed here
    // Their old port, now ours.
    ASSERT_TRUE(sendFromPort(theirPort, port_, "refresh_stat\npath\t/ours-on-their-port\ndone\n"));
    notifyAndWait("/second");
    EXPECT_TRUE(handled("/ours-on-their-port"));
    const auto lastTable = Clock::now();
    // A stranger's socket bound after the last table was taken.
    test::ForeignSocket later;
    ASSERT_TRUE(later.start("udp", 0) && later.bound());
    outlive(lastTable);
    ASSERT_TRUE(later.send(port_, "refresh_stat|path\t/theirs-later|done|"));
    notifyAndWait("/third");
    server_.stop();
    EXPECT_FALSE(handled("/theirs"));
    EXPECT_FALSE(handled("/theirs-later"));
    EXPECT_EQ(server_.droppedNotifications(), 2U);
}

// A sync client may run its daemon as a system service: root can read the
// user's files anyway, so its notifications are handled like the user's own.
// The listener runs in a child that dropped to another user; root's socket,
// kept open so that its owner can be told, is this test's.
TEST(ListenerOwner, NotificationFromASocketOfRootIsHandledByAnotherUsersListener) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the listener as another user";
    }
    const std::uint16_t port = test::freeUdpPort();
    int listening[2];
    int result[2];
    ASSERT_EQ(::pipe(listening), 0);
    ASSERT_EQ(::pipe(result), 0);
    // Forked before any thread of the test exists, so that the child starts
    // from a process with one thread.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(test::ForeignSocket::kUid) != 0 || ::setuid(test::ForeignSocket::kUid) != 0) {
            ::_exit(1);
        }
        std::atomic<bool> handled{false};
        InputCommandServer server(port);
        server.addHandler("refresh_stat", [&](InputCommand*) { handled = true; }, nullptr);
        server.start();
        char byte = server.waitUntilListening(kDeadline) ? 'L' : '?';
        if (::write(listening[1], &byte, 1) != 1) {
            ::_exit(1);
        }
        waitUntil([&] { return handled.load() || server.droppedNotifications() > 0; });
        byte = handled ? 'h' : (server.droppedNotifications() > 0 ? 'd' : '?');
        server.stop();
        ::_exit(::write(result[1], &byte, 1) == 1 ? 0 : 1);
    }
    ::close(listening[1]);
    ::close(result[1]);
    char byte = 0;
    ASSERT_EQ(::read(listening[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'L');
    std::vector<int> kept;
    ASSERT_TRUE(sendFrom("wildcard", port, "refresh_stat\npath\t/r\ndone\n", kept));
    EXPECT_EQ(::read(result[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'h') << "the listener dropped root's notification, or never got it";
    for (const int fd : kept) {
        ::close(fd);
    }
    ::close(listening[0]);
    ::close(result[0]);
    ::waitpid(child, nullptr, 0);
}

// With SO_REUSEADDR on our socket, another user's socket could bind the port
// beside it and, bound last, take every notification; a second copy of the
// plug-in of the same user must still be able to bind it.
TEST_F(ListenerTest, AnotherUserCannotBindTheNotificationPortBesideUsButOurSecondCopyCan) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as another user";
    }
    server_.addHandler("ping", recorder_.handler(), nullptr);
    startAndWait();
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"reuseaddr"}, {"reuseport"}, {"reuseaddr", "reuseport"}}) {
        test::ForeignSocket stranger;
        ASSERT_TRUE(stranger.start("udp", port_, options));
        EXPECT_FALSE(stranger.bound()) << testing::PrintToString(options);
    }
    InputCommandServer secondCopy(port_, relayFolder());
    secondCopy.start();
    EXPECT_TRUE(waitUntil([&] { return stderr_.count(kStartedLine) >= 2; }));
    secondCopy.stop();
    EXPECT_EQ(stderr_.count(kBindFailedLine), 0U);
}

// --- The folder the copies share ---

const std::string kUnsharedLine =
    "tarnwell: notifications are not shared with other copies of the plug-in: ";

// Whoever can write in the folder could receive the paths the copies pass on
// or pass on forged ones: a folder of another user, or a link put in its
// place, is refused with one line, and the copy still hears the port.
TEST_F(ListenerTest, CopiesFolderOfAnotherUserOrALinkInItsPlaceIsRefusedAndTheCopyStillHears) {
    const std::string target = relayParent_.dir("elsewhere");
    ASSERT_EQ(::symlink(target.c_str(), relayFolder().c_str()), 0);
    server_.addHandler("ping", recorder_.handler(), nullptr);
    startAndWait();
    pingAndWaitForReceive();
    server_.stop();
    EXPECT_TRUE(stderr_.waitForLine(kUnsharedLine + relayFolder() +
                                    " is not a folder (a symbolic link is never followed)"));
    EXPECT_TRUE(std::filesystem::is_empty(target));
    if (::geteuid() != 0) {
        return;  // only root can give a folder to another user
    }
    const std::string theirs = relayParent_.dir("theirs");
    ASSERT_EQ(::chown(theirs.c_str(), test::ForeignSocket::kUid, test::ForeignSocket::kUid), 0);
    InputCommandServer copy(port_, theirs);
    copy.addHandler("ping", recorder_.handler(), nullptr);
    copy.start();
    ASSERT_TRUE(copy.waitUntilListening(kDeadline));
    ASSERT_TRUE(sendDatagram(port_, "ping\ndone\n"));
    EXPECT_TRUE(recorder_.waitForCount(2));
    copy.stop();
    EXPECT_TRUE(stderr_.waitForLine(kUnsharedLine + theirs + " belongs to uid 65534"));
    EXPECT_TRUE(std::filesystem::is_empty(theirs));
}

// Run as root: a process of another user can neither list the folder (the
// names hold the copies' process ids) nor pass a notification on into a copy.
TEST_F(ListenerTest, AnotherUserCanNeitherReadNorSendIntoWhatTheCopiesShare) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as another user";
    }
    server_.addHandler("refresh_stat", recorder_.handler(), nullptr);
    startAndWait();
    std::string socketPath;
    for (const auto& entry : std::filesystem::directory_iterator(relayFolder())) {
        socketPath = entry.path().string();
    }
    ASSERT_FALSE(socketPath.empty());
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(test::ForeignSocket::kUid) != 0 || ::setuid(test::ForeignSocket::kUid) != 0) {
            ::_exit(3);
        }
        const bool listed = ::opendir(relayFolder().c_str()) != nullptr;
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        std::snprintf(to.sun_path, sizeof to.sun_path, "%s", socketPath.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        // A relayed notification as a copy sends it: version, kind, length.
        const std::string forged =
            std::string("\1N\x1e\0\0\0", 6) + "refresh_stat\npath\t/x\ndone\n";
        const bool sent = ::sendto(fd, forged.data(), forged.size(), 0,
                                   reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0;
        ::_exit(listed ? 1 : sent ? 2 : 0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit " << WEXITSTATUS(status);
    // The copy's own path still works, and nothing forged was handled.
    ASSERT_TRUE(sendDatagram(port_, "refresh_stat\npath\t/ours\ndone\n"));
    ASSERT_TRUE(recorder_.waitForCount(1));
    server_.stop();
    EXPECT_EQ(recorder_.seen(), std::vector<std::string>{"refresh_stat|/ours"});
}

// The folder's mode is the first guard; the credentials the kernel attaches
// to every message are the second. With the folder opened to everyone (the
// seam: a chmod, as a careless hand or another umask could leave it),
// another user's forged "refresh_tw_root" must still not be handled: it would
// blank every emblem. A message of ours sent behind it shows it was judged.
TEST_F(ListenerTest, CopyDropsWhatAnotherUserSendsEvenThroughAnOpenedFolder) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as another user";
    }
    server_.addHandler("refresh_stat", recorder_.handler(), nullptr);
    server_.addHandler("refresh_tw_root", recorder_.handler(), nullptr);
    startAndWait();
    std::string socketPath;
    for (const auto& entry : std::filesystem::directory_iterator(relayFolder())) {
        socketPath = entry.path().string();
    }
    ASSERT_FALSE(socketPath.empty());
    ASSERT_EQ(::chmod(relayParent_.path().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(relayFolder().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(socketPath.c_str(), 0777), 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::snprintf(to.sun_path, sizeof to.sun_path, "%s", socketPath.c_str());
    // Messages as a copy sends them: version, kind, each notification's
    // length (4 bytes, little-endian) and bytes. Built before the fork.
    const auto message = [](const std::string& notification) {
        std::string text("\1N");
        for (int i = 0; i < 4; ++i) {
            text += static_cast<char>((notification.size() >> (8 * i)) & 0xff);
        }
        return text + notification;
    };
    const std::string forged = message("refresh_tw_root\ndone\n");
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(test::ForeignSocket::kUid) != 0 || ::setuid(test::ForeignSocket::kUid) != 0) {
            ::_exit(3);
        }
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        const bool sent = ::sendto(fd, forged.data(), forged.size(), 0,
                                   reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0;
        ::_exit(sent ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the forged message was not sent";
    const int ours = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const std::string sentinel = message("refresh_stat\npath\t/ours\ndone\n");
    ASSERT_EQ(::sendto(ours, sentinel.data(), sentinel.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to),
              static_cast<ssize_t>(sentinel.size()));
    ::close(ours);
    ASSERT_TRUE(recorder_.waitForCount(1));
    server_.stop();
    EXPECT_EQ(recorder_.seen(), std::vector<std::string>{"refresh_stat|/ours"});
}

// --- Copies passing notifications on ---

// One copy of the plug-in's listener. In these tests each copy has a port of
// its own (all share one folder), so that the test, not the kernel's hash of
// the sender, picks the copy a daemon datagram reaches. "block" holds a copy
// that `blocks` in its handler until the gate opens.
class Copy {
public:
    Copy(const std::string& folder, bool blocks) : blocks_(blocks), server_(port_, folder) {
        server_.addHandler("refresh_stat", recorder_.handler(), nullptr);
        server_.addHandler(
            "block",
            [this](InputCommand*) {
                if (blocks_) {
                    blocked_ = true;
                    std::lock_guard<std::mutex> wait(gateMutex_);
                }
            },
            nullptr);
        server_.setNotificationsLostHandler([this] { ++lost_; });
    }
    ~Copy() {
        open();
        server_.stop();
    }
    // Starts the listener and waits until it takes datagrams: its greeting
    // to the copies started before is out by then.
    bool start() {
        server_.start();
        return server_.waitUntilListening(kDeadline);
    }
    bool notify(const std::string& path, std::size_t fill = 0) {
        return sendDatagram(port_, "refresh_stat\npath\t" + path + std::string(fill, 'x') + "\ndone\n");
    }
    // How often the notification for `path` was handled.
    long handled(const std::string& path) const {
        const auto seen = recorder_.seen();
        return std::count(seen.begin(), seen.end(), "refresh_stat|" + path);
    }
    bool waitUntilHandled(const std::string& path) const {
        return waitUntil([&] { return handled(path) > 0; });
    }
    // Sends "block" to this copy, which passes it on, and waits until
    // `held` sits in its handler.
    bool sendBlock(const Copy& held) {
        return sendDatagram(port_, "block\ndone\n") &&
               waitUntil([&] { return held.blocked_.load(); });
    }
    void open() {
        if (gate_.owns_lock()) {
            gate_.unlock();
        }
    }
    int lost() const { return lost_.load(); }
    std::uint16_t port() const { return port_; }
    int listenerSocket() { return InputCommandServerTestAccess::listenerSocket(server_); }

private:
    const bool blocks_;
    std::mutex gateMutex_;
    std::unique_lock<std::mutex> gate_{gateMutex_};
    std::atomic<bool> blocked_{false};
    std::atomic<int> lost_{0};
    Recorder recorder_;
    const std::uint16_t port_ = test::freeUdpPort();
    InputCommandServer server_;  // last: stopped before what its handlers use
};

class RelayTest : public testing::Test {
protected:
    std::string folder() const { return parent_.path() + "/copies"; }
    test::StderrCapture stderr_;
    test::TempDir parent_;
};

// A notification another copy passed on is handled and goes no further: passed
// on again, one notification bounced between two copies tens of thousands of
// times a second, each time handled (and the daemon asked) anew.
TEST_F(RelayTest, PassedOnNotificationIsHandledOnceByEachCopyAndNeverPassedBack) {
    Copy first(folder(), false);
    Copy second(folder(), false);
    ASSERT_TRUE(first.start() && second.start());
    ASSERT_TRUE(first.notify("/once"));
    ASSERT_TRUE(second.waitUntilHandled("/once"));
    // Two later rounds: whatever the second copy passed back when it handled
    // "/once" is handled by the first before the second sentinel.
    for (const std::string sentinel : {"/later", "/last"}) {
        ASSERT_TRUE(first.notify(sentinel));
        ASSERT_TRUE(first.waitUntilHandled(sentinel) && second.waitUntilHandled(sentinel));
    }
    EXPECT_EQ(first.handled("/once"), 1);
    EXPECT_EQ(second.handled("/once"), 1);
}

// Sends sentinels to `from` until `to` handles one: `to` has room in its queue
// again and has read everything sent to it before.
bool passSentinel(Copy& from, const Copy& to) {
    return waitUntil(
        [&] { return from.notify("/sentinel") && to.handled("/sentinel") > 0; }, kDeadline,
        20ms);
}

// A copy busy in a handler stops reading; its queue (a few datagrams) fills
// and what is passed on meanwhile is lost. It must hear of the loss once it
// reads again, or it keeps the old emblems of the paths it missed.
TEST_F(RelayTest, CopyWhoseQueueWasFullIsToldOfTheLossOnceItHasRoom) {
    Copy first(folder(), false);
    Copy busy(folder(), true);
    ASSERT_TRUE(first.start() && busy.start());
    ASSERT_TRUE(first.sendBlock(busy));
    // One at a time: each is a round of its own, and one message to the busy
    // copy; far more than its queue holds.
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(first.notify("/f" + std::to_string(i)));
        ASSERT_TRUE(first.waitUntilHandled("/f" + std::to_string(i)));
    }
    busy.open();
    ASSERT_TRUE(passSentinel(first, busy));
    EXPECT_EQ(busy.handled("/f39"), 0) << "the busy copy's queue never filled";
    EXPECT_GE(busy.lost(), 1);
}

// Datagrams the kernel dropped on one copy's port were meant for every copy:
// the others must hear of the loss too. The flood is of notifications nobody
// handles, so none of it is passed on to fill the other copy's queue.
TEST_F(RelayTest, KernelDropOnOneCopyIsPassedOnToTheOthers) {
    Copy flooded(folder(), true);
    Copy other(folder(), false);
    ASSERT_TRUE(flooded.start() && other.start());
    ASSERT_TRUE(flooded.sendBlock(flooded));
    ASSERT_TRUE(overflowQueue(flooded.port(), flooded.listenerSocket(), "unhandled\ndone\n"));
    flooded.open();
    ASSERT_TRUE(waitUntil([&] { return flooded.lost() >= 1; }));
    ASSERT_TRUE(passSentinel(flooded, other));
    EXPECT_GE(other.lost(), 1);
}

// One round may take notifications whose whole is larger than what another
// copy can receive in one message (up to 64 KiB each): the relay sends what
// it holds before it grows too large, or the other copy gets none of them.
TEST_F(RelayTest, LongNotificationsOfOneRoundAllReachTheOtherCopy) {
    Copy receiving(folder(), true);
    Copy other(folder(), false);
    ASSERT_TRUE(receiving.start() && other.start());
    ASSERT_TRUE(receiving.sendBlock(receiving));
    for (const std::string path : {"/a", "/b", "/c"}) {
        ASSERT_TRUE(receiving.notify(path, 60000));
    }
    receiving.open();
    ASSERT_TRUE(passSentinel(receiving, other));
    for (const std::string path : {"/a", "/b", "/c"}) {
        EXPECT_EQ(other.handled(path + std::string(60000, 'x')), 1) << path;
    }
    EXPECT_EQ(other.lost(), 0);
}

}  // namespace
}  // namespace tarnwell
