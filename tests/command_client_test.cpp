// CommandClient against a real loopback peer: ordering, completion, reset,
// and how it follows a daemon that closes, restarts, stalls or misbehaves.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/posix_io.h"
#include "channel/command_client.h"
#include "support/test_support.h"

namespace tarnwell {
namespace {

using namespace std::chrono_literals;
using test::LoopbackServer;
using test::waitUntil;

using Clock = std::chrono::steady_clock;

// What the fake daemon saw and what the client reported, shared between the
// test, the server's scripts and the client's worker.
struct Journal {
    void request(const std::vector<std::string>& lines) {
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(lines.empty() ? std::string() : lines.front());
    }
    void completed(const TarnwellCommand* command) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = command->response.find("stat");
        completions.push_back(command->name + "=" +
                              (it == command->response.end() || it->second.empty()
                                   ? std::string("-")
                                   : it->second.front()));
    }
    std::vector<std::string> requestsSeen() const {
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }
    std::vector<std::string> completionsSeen() const {
        std::lock_guard<std::mutex> lock(mutex);
        return completions;
    }
    std::size_t completionCount() const {
        std::lock_guard<std::mutex> lock(mutex);
        return completions.size();
    }

    mutable std::mutex mutex;
    std::vector<std::string> requests;     // guarded by mutex: request names
    std::vector<std::string> completions;  // guarded by mutex: "name=stat" or "name=-"
};

// Answers every request with "stat" set to `stat`, until the client closes.
// With a gate, the answer to a request named "held" waits for it.
void serveAll(int fd, Journal& journal, const std::string& stat = "0",
              const std::shared_future<void>* gate = nullptr) {
    while (auto lines = test::readRequest(fd)) {
        journal.request(*lines);
        if (gate != nullptr && lines->front() == "held") {
            gate->wait();
        }
        if (!writeAll(fd, "rsp\nstat\t" + stat + "\ndone\n")) {
            return;
        }
    }
}

CommandPtr recorded(Journal& journal, const std::string& name) {
    return CommandClient::createCommand([&journal](TarnwellCommand* c) { journal.completed(c); },
                                        nullptr, name, {{"path", "/p/" + name}});
}

// Connect and disconnect hook counters.
struct HookCounts {
    void attach(CommandClient& client) {
        client.addOnConnectHook([this] { ++connects; });
        client.addOnDisconnectHook([this] { ++disconnects; });
    }
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
};

std::chrono::milliseconds elapsedSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// --- Order and completion ---

TEST(CommandClientOrder, RecordsQueuedBeforeConnectGoAheadOfThoseTheConnectHooksQueue) {
    test::StderrCapture capture;
    Journal journal;
    LoopbackServer server([&](int fd) { serveAll(fd, journal); });
    CommandClient client("127.0.0.1", server.port());
    client.addOnConnectHook([&] { client.sendCommand(recorded(journal, "from_hook")); });

    client.sendCommand(recorded(journal, "first"));
    client.sendCommand(nullptr);  // dropped without effect
    client.sendCommand(recorded(journal, "second"));
    client.start();

    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == 3; }));
    EXPECT_EQ(journal.requestsSeen(), (std::vector<std::string>{"first", "second", "from_hook"}));
    EXPECT_EQ(journal.completionsSeen(),
              (std::vector<std::string>{"first=0", "second=0", "from_hook=0"}));
    EXPECT_TRUE(client.isConnected());
    EXPECT_TRUE(capture.waitForLine("tarnwell: command client connected"));
    EXPECT_TRUE(capture.waitForLine("tarnwell: sending command: from_hook"));
    EXPECT_TRUE(capture.waitForLine("tarnwell: command finished: from_hook ok=1"));
}

TEST(CommandClientOrder, RefusedAnswerKeepsTheConnection) {
    Journal journal;
    LoopbackServer server([&](int fd) {
        bool refuse = true;
        while (auto lines = test::readRequest(fd)) {
            journal.request(*lines);
            writeAll(fd, refuse ? "err\nstat\t9\ndone\n" : "rsp\nstat\t1\ndone\n");
            refuse = false;
        }
    });
    HookCounts hooks;
    CommandClient client("127.0.0.1", server.port());
    hooks.attach(client);
    client.start();
    client.sendCommand(recorded(journal, "a"));
    client.sendCommand(recorded(journal, "b"));
    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == 2; }));
    EXPECT_EQ(journal.completionsSeen(), (std::vector<std::string>{"a=-", "b=1"}));
    EXPECT_EQ(server.acceptedCount(), 1);
    EXPECT_EQ(hooks.disconnects.load(), 0);
}

TEST(CommandClientOrder, BackToBackExchangesDoNotStallOnDelayedAcks) {
    // A request written in several small pieces waits for the daemon's
    // delayed ACK, about 40 ms per exchange; written in one piece it goes out
    // at once.
    Journal journal;
    LoopbackServer server([&](int fd) { serveAll(fd, journal); });
    CommandClient client("127.0.0.1", server.port());
    client.start();
    constexpr std::size_t kExchanges = 100;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < kExchanges; ++i) {
        client.sendCommand(CommandClient::createCommand(
            [&journal](TarnwellCommand* c) { journal.completed(c); }, nullptr, "query_stat",
            {{"path", "/a"}, {"path", "/b"}, {"other", "x"}}));
    }
    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == kExchanges; }));
    EXPECT_LT(elapsedSince(start), 2s);
}

// --- Reset and drain ---

TEST(CommandClientReset, ResetDrainsLaterRecordsAndReconnects) {
    test::StderrCapture capture;
    Journal journal;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    LoopbackServer server([&](int fd) { serveAll(fd, journal, "1", &released); });
    HookCounts hooks;
    CommandClient client("127.0.0.1", server.port());
    hooks.attach(client);
    client.start();

    // The worker is busy with "held" while the reset and "late" are queued
    // behind it.
    client.sendCommand(recorded(journal, "held"));
    ASSERT_TRUE(waitUntil([&] { return journal.requestsSeen().size() == 1; }));
    client.forceReconnect();
    client.sendCommand(recorded(journal, "late"));
    release.set_value();

    ASSERT_TRUE(waitUntil([&] { return hooks.connects == 2; }));
    EXPECT_EQ(hooks.disconnects.load(), 1);
    EXPECT_EQ(journal.completionsSeen(), (std::vector<std::string>{"held=1", "late=-"}));
    // Neither the reset nor the drained record reached the daemon.
    EXPECT_EQ(journal.requestsSeen(), (std::vector<std::string>{"held"}));
    EXPECT_EQ(capture.count("tarnwell: got reset request"), 1u);
    // The client may be connected before the server's accept loop counts it.
    EXPECT_TRUE(waitUntil([&] { return server.acceptedCount() == 2; }));
    EXPECT_TRUE(client.isConnected());
}

TEST(CommandClientReset, StopWhileConnectedCompletesEveryRecordOnce) {
    Journal journal;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    LoopbackServer server([&](int fd) { serveAll(fd, journal, "1", &released); });
    HookCounts hooks;
    CommandClient client("127.0.0.1", server.port());
    hooks.attach(client);
    client.start();
    client.sendCommand(recorded(journal, "held"));
    ASSERT_TRUE(waitUntil([&] { return journal.requestsSeen().size() == 1; }));
    client.sendCommand(recorded(journal, "front"));
    client.sendCommand(recorded(journal, "rest"));

    // The stop may land while "held" is in flight or just after; either way
    // every record is completed exactly once, sent or drained, before stop
    // returns, and the disconnect hooks have run.
    std::thread stopper([&] { client.stop(); });
    release.set_value();
    stopper.join();

    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(hooks.disconnects.load(), 1);
    const auto completions = journal.completionsSeen();
    ASSERT_EQ(completions.size(), 3u);
    EXPECT_EQ(completions[0], "held=1");
    EXPECT_EQ(completions[1].substr(0, 6), "front=");
    EXPECT_EQ(completions[2].substr(0, 5), "rest=");
}

// A user picks actions and quits at once: every action queued behind the
// record in flight still reaches the daemon, in order, and the stop stays
// prompt; the status query among them is completed empty without going out.
TEST(CommandClientReset, StopWhileConnectedStillSendsEveryQueuedAction) {
    Journal journal;
    LoopbackServer server([&](int fd) { serveAll(fd, journal, "1"); });
    CommandClient client("127.0.0.1", server.port());
    client.start();
    ASSERT_TRUE(waitUntil([&] { return client.isConnected(); }));
    // The first record's callback holds the worker until the stop has been
    // called, so the rest are still queued when the worker sees it.
    std::atomic<bool> stopCalled{false};
    client.sendCommand(CommandClient::createCommand(
        [&](TarnwellCommand* c) {
            journal.completed(c);
            waitUntil([&] { return stopCalled.load(); });
        },
        nullptr, "held"));
    for (const char* name : {"publish_obj", "query_stat", "share_by_email", "upload_files"}) {
        client.sendCommand(recorded(journal, name));
    }
    std::thread stopper([&] {
        stopCalled = true;
        client.stop();
    });
    const auto start = Clock::now();
    stopper.join();
    EXPECT_LT(elapsedSince(start), test::kPromptLimit);

    std::vector<std::string> actions;
    for (const std::string& name : journal.requestsSeen()) {
        if (name != "query_stat") {
            actions.push_back(name);
        }
    }
    EXPECT_EQ(actions,
              (std::vector<std::string>{"held", "publish_obj", "share_by_email", "upload_files"}));
    const auto completions = journal.completionsSeen();
    ASSERT_EQ(completions.size(), 5u);
    EXPECT_EQ(completions[1], "publish_obj=1");
    EXPECT_EQ(completions[4], "upload_files=1");
}

// An action that the daemon can no longer take at the stop is reported, not
// lost without a word.
TEST(CommandClientReset, ActionThatCannotBeSentAtStopIsLoggedAsDropped) {
    test::StderrCapture capture;
    Journal journal;
    // Answers the first request and hangs up at the second.
    LoopbackServer server([&](int fd) {
        if (test::readRequest(fd) && writeAll(fd, "rsp\ndone\n")) {
            test::readRequest(fd);
        }
    });
    CommandClient client("127.0.0.1", server.port());
    client.start();
    ASSERT_TRUE(waitUntil([&] { return client.isConnected(); }));
    std::atomic<bool> stopCalled{false};
    client.sendCommand(CommandClient::createCommand(
        [&](TarnwellCommand*) { waitUntil([&] { return stopCalled.load(); }); }, nullptr,
        "held"));
    client.sendCommand(recorded(journal, "publish_obj"));
    client.sendCommand(recorded(journal, "share_by_email"));
    std::thread stopper([&] {
        stopCalled = true;
        client.stop();
    });
    stopper.join();

    EXPECT_EQ(capture.count("tarnwell: command dropped at shut-down: share_by_email"), 1u);
    EXPECT_EQ(journal.completionsSeen(),
              (std::vector<std::string>{"publish_obj=-", "share_by_email=-"}));
}

TEST(CommandClientReset, DrainedCallbacksAndDisconnectHooksMayQueueRecords) {
    // Both run on the worker while a connection ends; a lock held there made
    // the worker wait for itself.
    Journal journal;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    LoopbackServer server([&](int fd) { serveAll(fd, journal, "1", &released); });
    CommandClient client("127.0.0.1", server.port());
    std::atomic<int> disconnects{0};
    client.addOnDisconnectHook([&] {
        if (++disconnects == 1) {
            client.sendCommand(recorded(journal, "from_hook"));
        }
    });
    client.start();
    client.sendCommand(recorded(journal, "held"));
    ASSERT_TRUE(waitUntil([&] { return journal.requestsSeen().size() == 1; }));
    client.forceReconnect();
    client.sendCommand(CommandClient::createCommand(
        [&](TarnwellCommand* c) {
            journal.completed(c);
            client.sendCommand(recorded(journal, "from_drain"));
        },
        nullptr, "drained"));
    release.set_value();

    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == 4; }));
    EXPECT_EQ(journal.completionsSeen(),
              (std::vector<std::string>{"held=1", "drained=-", "from_drain=1", "from_hook=1"}));
    EXPECT_EQ(journal.requestsSeen(),
              (std::vector<std::string>{"held", "from_drain", "from_hook"}));
}

// --- A daemon that goes away or falls out of step ---

TEST(CommandClientRecovery, PeerClosingMidExchangeIsFollowedByANewConnection) {
    Journal journal;
    std::atomic<int> connection{0};
    LoopbackServer server([&](int fd) {
        if (++connection == 1) {
            if (auto lines = test::readRequest(fd)) {
                journal.request(*lines);
            }
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
        serveAll(fd, journal, "2");
    });
    HookCounts hooks;
    CommandClient client("127.0.0.1", server.port());
    hooks.attach(client);
    client.start();
    ASSERT_TRUE(waitUntil([&] { return hooks.connects == 1; }));
    const auto sentAt = Clock::now();
    client.sendCommand(recorded(journal, "lost"));

    // At once, not only at the next idle check five seconds later.
    ASSERT_TRUE(waitUntil([&] { return hooks.connects == 2; }));
    EXPECT_LT(elapsedSince(sentAt), 2s);
    EXPECT_EQ(hooks.disconnects.load(), 1);
    client.sendCommand(recorded(journal, "after"));
    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == 2; }));
    EXPECT_EQ(journal.completionsSeen(), (std::vector<std::string>{"lost=-", "after=2"}));
}

TEST(CommandClientRecovery, DaemonRestartOnTheSamePortIsFollowed) {
    Journal journal;
    HookCounts hooks;
    auto first = std::make_unique<LoopbackServer>([&](int fd) { serveAll(fd, journal, "1"); });
    const std::uint16_t port = first->port();
    CommandClient client("127.0.0.1", port);
    hooks.attach(client);
    client.start();
    client.sendCommand(recorded(journal, "before"));
    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == 1; }));

    first.reset();
    LoopbackServer second([&](int fd) { serveAll(fd, journal, "2"); }, port);
    ASSERT_EQ(second.port(), port);
    // The worker follows to the new daemon at once, whether its idle wait saw
    // the old connection end or the next record found it dead. (It may also
    // have reached the old daemon's port once more while that was closing.)
    const auto sentAt = Clock::now();
    client.sendCommand(recorded(journal, "during"));
    ASSERT_TRUE(waitUntil([&] { return second.acceptedCount() == 1 && client.isConnected(); }));
    EXPECT_LT(elapsedSince(sentAt), 2s);
    client.sendCommand(recorded(journal, "after"));
    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == 3; }));
    // "during" fails on a dead connection, or goes out on the new one.
    const auto completions = journal.completionsSeen();
    ASSERT_EQ(completions.size(), 3u);
    EXPECT_EQ(completions[0], "before=1");
    EXPECT_TRUE(completions[1] == "during=-" || completions[1] == "during=2") << completions[1];
    EXPECT_EQ(completions[2], "after=2");
    EXPECT_EQ(second.acceptedCount(), 1);
}

TEST(CommandClientRecovery, DaemonBackAfterAShortDownTimeIsReconnectedWithoutTheLongPause) {
    HookCounts hooks;
    auto first = std::make_unique<LoopbackServer>([](int fd) {
        Journal unused;
        serveAll(fd, unused);
    });
    const std::uint16_t port = first->port();
    CommandClient client("127.0.0.1", port);
    std::atomic<int> failures{0};
    client.addConnectionAttemptHook([&](unsigned int) { ++failures; });
    hooks.attach(client);
    client.start();
    ASSERT_TRUE(waitUntil([&] { return hooks.connects == 1; }));
    first.reset();
    // A failed attempt has just begun its pause when the daemon is back.
    ASSERT_TRUE(waitUntil([&] { return failures >= 1; }));
    LoopbackServer second(
        [](int fd) {
            Journal unused;
            serveAll(fd, unused);
        },
        port);
    ASSERT_EQ(second.port(), port);
    const auto listeningAt = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return second.acceptedCount() == 1; }));
    EXPECT_LT(elapsedSince(listeningAt), 1s);
}

TEST(CommandClientRecovery, LateAnswerAfterTimeoutIsNeverTakenForTheNextAnswer) {
    Journal journal;
    std::atomic<bool> lateWritten{false};
    std::atomic<int> connection{0};
    LoopbackServer server([&](int fd) {
        if (++connection == 1) {
            auto lines = test::readRequest(fd);
            if (!lines) {
                return;
            }
            journal.request(*lines);
            // Answer only after the client has given up on this exchange.
            waitUntil([&] { return journal.completionCount() == 1; });
            writeAll(fd, "rsp\nstat\t1\ndone\n");
            lateWritten = true;
        }
        serveAll(fd, journal, "2");
    });
    HookCounts hooks;
    CommandClient client("127.0.0.1", server.port());
    hooks.attach(client);
    client.start();
    const auto start = Clock::now();
    client.sendCommand(recorded(journal, "stalled"));
    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == 1; }));
    const auto failedAt = Clock::now();
    EXPECT_GE(failedAt - start, 2500ms);
    ASSERT_TRUE(waitUntil([&] { return lateWritten.load(); }));

    // The failed exchange itself ends the connection.
    ASSERT_TRUE(waitUntil([&] { return hooks.connects == 2; }));
    EXPECT_LT(elapsedSince(failedAt), 2s);
    client.sendCommand(recorded(journal, "next"));
    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == 2; }));
    EXPECT_EQ(journal.completionsSeen(), (std::vector<std::string>{"stalled=-", "next=2"}));
}

// The first connection goes bad while the client is idle; the worker must
// notice it by itself and connect again, at once rather than at its 5-second
// idle wake-up.
void expectIdleFaultNoticed(const std::function<void(int fd)>& spoil) {
    std::atomic<int> connection{0};
    Journal journal;
    LoopbackServer server([&](int fd) {
        if (++connection == 1) {
            spoil(fd);
        }
        serveAll(fd, journal, "0");
    });
    HookCounts hooks;
    CommandClient client("127.0.0.1", server.port());
    hooks.attach(client);
    const auto startedAt = Clock::now();
    client.start();
    ASSERT_TRUE(waitUntil([&] { return hooks.connects == 2; }));
    EXPECT_LT(elapsedSince(startedAt), 2s);
    EXPECT_EQ(hooks.disconnects.load(), 1);
    client.sendCommand(recorded(journal, "q"));
    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == 1; }));
    EXPECT_EQ(journal.completionsSeen().front(), "q=0");
}

TEST(CommandClientRecovery, IdlePeerThatClosesIsNoticed) {
    expectIdleFaultNoticed([](int fd) { ::shutdown(fd, SHUT_RDWR); });
}

TEST(CommandClientRecovery, UnaskedBytesWhileIdleAreNeverTakenForAnAnswer) {
    expectIdleFaultNoticed([](int fd) { writeAll(fd, "rsp\nstat\t3\ndone\n"); });
}

// A record is queued behind another, so the worker goes from one exchange
// straight to the next without an idle wait that would see the socket. The
// unasked status arrives after the first answer was read (with whatever came
// behind it) and before the second request goes out: it must not become the
// second record's answer, which the daemon would only give much later.
TEST(CommandClientRecovery, UnaskedBytesBetweenBackToBackExchangesAreNeverTakenForAnAnswer) {
    Journal journal;
    std::atomic<bool> unaskedWritten{false};
    std::atomic<int> connection{0};
    LoopbackServer server([&](int fd) {
        if (++connection > 1) {
            serveAll(fd, journal, "2");
            return;
        }
        auto lines = test::readRequest(fd);
        if (!lines) {
            return;
        }
        journal.request(*lines);
        writeAll(fd, "rsp\nstat\t0\ndone\n");
        // Once the client has read the answer (and whatever came behind it).
        waitUntil([&] { return journal.completionCount() == 1; });
        writeAll(fd, "rsp\nstat\t3\ndone\n");
        unaskedWritten = true;
        // Later requests on this connection are answered late, after the
        // client has completed them one way or another.
        while (auto later = test::readRequest(fd)) {
            journal.request(*later);
            waitUntil([&] { return journal.completionCount() >= 2; }, 2s);
            writeAll(fd, "rsp\nstat\t2\ndone\n");
        }
    });
    CommandClient client("127.0.0.1", server.port());
    // The first record's completion returns only once the unasked bytes are
    // on the socket, as a slow completion handler would.
    client.sendCommand(CommandClient::createCommand(
        [&](TarnwellCommand* c) {
            journal.completed(c);
            waitUntil([&] { return unaskedWritten.load(); });
        },
        nullptr, "first"));
    client.sendCommand(recorded(journal, "second"));
    client.start();
    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == 2; }));
    EXPECT_EQ(journal.completionsSeen(), (std::vector<std::string>{"first=0", "second=-"}));
    client.stop();
}

// --- Stop ---

TEST(CommandClientStop, StopIsPromptWhileIdleAndConnected) {
    LoopbackServer server([](int fd) {
        Journal unused;
        serveAll(fd, unused);
    });
    HookCounts hooks;
    CommandClient client("127.0.0.1", server.port());
    hooks.attach(client);
    for (int round = 1; round <= 5; ++round) {
        client.start();
        ASSERT_TRUE(waitUntil([&] { return hooks.connects == round; }));
        const auto start = Clock::now();
        client.stop();
        EXPECT_LT(elapsedSince(start), test::kPromptLimit);
        EXPECT_FALSE(client.isConnected());
        EXPECT_EQ(hooks.disconnects.load(), round);
    }
}

TEST(CommandClientStop, StopIsPromptDuringBackOff) {
    // Nothing listens on this port.
    CommandClient client("127.0.0.1", test::freeTcpPort());
    std::atomic<unsigned int> lastAttempt{0};
    std::atomic<int> failures{0};
    client.addConnectionAttemptHook([&](unsigned int attempt) {
        lastAttempt = attempt;
        ++failures;
    });
    HookCounts hooks;
    hooks.attach(client);
    client.start();
    ASSERT_TRUE(waitUntil([&] { return failures >= 1; }));
    EXPECT_EQ(lastAttempt.load(), 1u);
    const auto start = Clock::now();
    client.stop();
    EXPECT_LT(elapsedSince(start), test::kPromptLimit);
    EXPECT_EQ(hooks.connects.load(), 0);
    EXPECT_EQ(hooks.disconnects.load(), 0);
}

// --- Who is at the other end ---

// While the user's daemon is down, anyone may listen on its port and would
// learn every path the user looks at. Such a listener must get no byte and be
// reported once however often the worker retries; the user's own daemon on
// the same port is then taken as before, with the record that waited.
TEST(CommandClientOwner, DaemonPortHeldByAnotherUserGetsNoByteAndIsReportedOnce) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as another user";
    }
    test::StderrCapture capture;
    Journal journal;
    auto squatter = std::make_unique<test::ForeignSocket>();
    // With SO_REUSEADDR: killed while it holds a connection the worker has
    // not closed yet, it leaves that connection in TIME_WAIT, which without
    // the option would keep the user's own daemon from binding the port.
    ASSERT_TRUE(squatter->start("tcp-listen", 0, {"reuseaddr"}) && squatter->bound());
    const std::uint16_t port = squatter->port();
    CommandClient client("127.0.0.1", port);
    HookCounts hooks;
    hooks.attach(client);
    std::atomic<int> failures{0};
    client.addConnectionAttemptHook([&](unsigned int) { ++failures; });
    client.sendCommand(recorded(journal, "query_stat"));
    client.start();

    ASSERT_TRUE(waitUntil([&] { return failures >= 2; }));
    EXPECT_EQ(squatter->bytesReceived(), std::optional<unsigned long>(0));
    const std::string refusal =
        "tarnwell: daemon on port " + std::to_string(port) + " belongs to uid 65534, refused";
    EXPECT_EQ(capture.count(refusal), 1U);
    EXPECT_EQ(hooks.connects.load(), 0);
    EXPECT_EQ(journal.completionCount(), 0U);

    squatter.reset();
    LoopbackServer own([&](int fd) { serveAll(fd, journal, "2"); }, port);
    ASSERT_EQ(own.port(), port);
    ASSERT_TRUE(waitUntil([&] { return journal.completionCount() == 1; }));
    EXPECT_EQ(journal.completionsSeen(), std::vector<std::string>{"query_stat=2"});
    EXPECT_EQ(hooks.connects.load(), 1);
    client.stop();
}

// A sync client may run its daemon as a system service: root can read the
// user's files anyway, so a daemon of root's is served like the user's own.
// The client runs in a child that dropped to another user; the daemon is this
// test, run as root.
TEST(CommandClientOwner, DaemonRunByRootIsServedToAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the client as another user";
    }
    const std::uint16_t port = test::freeTcpPort();
    int go[2];
    int result[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(result), 0);
    // Forked before the daemon's thread exists, so that the child starts from
    // a process with one thread.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte = 0;
        if (::read(go[0], &byte, 1) != 1 || ::setgid(test::ForeignSocket::kUid) != 0 ||
            ::setuid(test::ForeignSocket::kUid) != 0) {
            ::_exit(1);
        }
        std::promise<std::string> answer;
        CommandClient client("127.0.0.1", port);
        client.sendCommand(CommandClient::createCommand(
            [&](TarnwellCommand* c) {
                const auto it = c->response.find("stat");
                answer.set_value(
                    it == c->response.end() || it->second.empty() ? "-" : it->second.front());
            },
            nullptr, "query_stat", {{"path", "/p"}}));
        client.start();
        auto future = answer.get_future();
        byte =
            future.wait_for(test::kDeadline) == std::future_status::ready ? future.get()[0] : '?';
        client.stop();
        ::_exit(::write(result[1], &byte, 1) == 1 ? 0 : 1);
    }
    ::close(result[1]);
    Journal journal;
    LoopbackServer daemon([&](int fd) { serveAll(fd, journal, "2"); }, port);
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    char answered = 0;
    EXPECT_EQ(::read(result[0], &answered, 1), 1);
    EXPECT_EQ(answered, '2') << "the client refused or never reached root's daemon";
    ::close(go[0]);
    ::close(go[1]);
    ::close(result[0]);
    ::waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace tarnwell
