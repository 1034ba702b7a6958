// tarnwell-daemon-sim run as a real process on a free port: the bytes it
// answers, the datagrams it pushes, its stdout events, and that no client can
// crash it or hold up another.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/posix_io.h"
#include "support/test_support.h"

namespace tarnwell::test {
namespace {

void setReceiveTimeout(int fd, std::chrono::milliseconds limit) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A bound UDP socket standing in for the plug-in's notification listener.
class NotificationSink {
public:
    NotificationSink() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopbackAddress(0);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        setReceiveTimeout(fd_, kDeadline);
    }
    ~NotificationSink() { ::close(fd_); }
    std::uint16_t port() const { return port_; }
    std::optional<std::string> receive() {
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0) {
            return std::nullopt;
        }
        return std::string(buf, static_cast<std::size_t>(n));
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// One TCP client of the daemon. Reads are bounded by a receive time-out.
class Client {
public:
    explicit Client(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopbackAddress(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        setReceiveTimeout(fd_, kDeadline);
    }
    ~Client() { ::close(fd_); }
    int fd() const { return fd_; }
    bool connected() const { return connected_; }
    bool send(const std::string& bytes) { return writeAll(fd_, bytes); }
    // Status line through "done", each line with its LF.
    std::optional<std::string> readResponse() {
        std::string text;
        for (;;) {
            auto line = readSocketLine(fd_);
            if (!line) {
                return std::nullopt;
            }
            text += *line + "\n";
            if (*line == "done") {
                return text;
            }
        }
    }
    std::string exchange(const std::string& request) {
        if (!send(request)) {
            return "<send failed>";
        }
        return readResponse().value_or("<no response>");
    }
    // True once the daemon has closed its end (end of stream or a reset).
    bool closedByDaemon() {
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) {
                return true;
            }
            if (n < 0) {
                return false;  // time-out: still open
            }
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

class Sim {
public:
    bool start(std::uint16_t notifyPort, std::vector<std::string> args, std::uint16_t port = 0) {
        std::vector<std::string> argv = {TARNWELL_DAEMON_SIM_PATH, "--port", std::to_string(port),
                                         "--notify-port", std::to_string(notifyPort)};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!process.start(argv, /*captureStderr=*/true)) {
            return false;
        }
        auto line = process.readLine();
        if (!line || line->rfind("listening port=", 0) != 0) {
            return false;
        }
        port_ = static_cast<std::uint16_t>(std::stoi(line->substr(15)));
        return *line == "listening port=" + std::to_string(port_) +
                            " notify-port=" + std::to_string(notifyPort);
    }
    std::uint16_t port() const { return port_; }
    bool control(const std::string& line) { return process.writeStdin(line + "\n"); }
    bool stderrHas(const std::string& needle) {
        return waitUntil([&] {
            for (const auto& l : process.stderrLines()) {
                if (l.find(needle) != std::string::npos) {
                    return true;
                }
            }
            return false;
        });
    }
    std::optional<std::string> nextLineStartingWith(const std::string& prefix) {
        return process.waitForLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

    ChildProcess process;

private:
    std::uint16_t port_ = 0;
};

class DaemonSimTest : public ::testing::Test {
protected:
    bool start(std::vector<std::string> args) { return sim.start(sink.port(), std::move(args)); }
    // The daemon still answers a newcomer.
    void expectStillServing() {
        Client probe(sim.port());
        ASSERT_TRUE(probe.connected());
        EXPECT_EQ(probe.exchange("invite_friends\npath\t/srv/Sync\ndone\n"), "rsp\ndone\n");
    }

    NotificationSink sink;
    Sim sim;
};

TEST_F(DaemonSimTest, AnswersEveryCommandKindWithExactBytes) {
    ASSERT_TRUE(start({"--root", "/srv/Sync", "--root", "/srv/two\tparts/", "--status",
                       "/srv/Sync/locked=2", "--status", "/srv/Sync/dir/=3"}));
    Client c(sim.port());
    ASSERT_TRUE(c.connected());

    // Roots come back as given, in order, escaped.
    EXPECT_EQ(c.exchange("get_tw_roots\ndone\n"),
              "rsp\npath\t/srv/Sync\t/srv/two\\tparts/\ndone\n");

    EXPECT_EQ(c.exchange("query_stat\npath\t/srv/Sync/locked\ndone\n"), "rsp\nstat\t2\ndone\n");
    EXPECT_EQ(c.exchange("query_stat\npath\t/srv/Sync/other\ndone\n"), "rsp\nstat\t0\ndone\n");
    EXPECT_EQ(c.exchange("query_stat\npath\t/srv/Sync\ndone\n"), "rsp\nstat\t0\ndone\n");
    // A trailing slash on either side names the same path.
    EXPECT_EQ(c.exchange("query_stat\npath\t/srv/Sync/dir\ndone\n"), "rsp\nstat\t3\ndone\n");
    EXPECT_EQ(c.exchange("query_stat\npath\t/srv/Sync/dir/\ndone\n"), "rsp\nstat\t3\ndone\n");
    // The escaped TAB in the root must match a path holding a real TAB.
    EXPECT_EQ(c.exchange("query_stat\npath\t/srv/two\\tparts/f\ndone\n"), "rsp\nstat\t0\ndone\n");

    // Outside every root: a sibling sharing the prefix, a parent, no path at all.
    EXPECT_EQ(c.exchange("query_stat\npath\t/srv/Sync2/x\ndone\n"), "rsp\ndone\n");
    EXPECT_EQ(c.exchange("query_stat\npath\t/srv\ndone\n"), "rsp\ndone\n");
    EXPECT_EQ(c.exchange("query_stat\ndone\n"), "rsp\ndone\n");

    for (const char* menu :
         {"create_sync_folder", "invite_friends", "upload_files", "share_by_email", "publish_obj",
          "browse_file_history", "show_sync_folder_properties"}) {
        EXPECT_EQ(c.exchange(std::string(menu) + "\npath\t/srv/Sync/a\ndone\n"), "rsp\ndone\n")
            << menu;
    }
    EXPECT_EQ(c.exchange("no_such_command\npath\t/srv/Sync\ndone\n"), "err\ndone\n");
    // Names are compared exactly: no case folding, CR is part of the name.
    EXPECT_EQ(c.exchange("GET_TW_ROOTS\ndone\n"), "err\ndone\n");
    EXPECT_EQ(c.exchange("get_tw_roots\r\ndone\n"), "err\ndone\n");
}

TEST_F(DaemonSimTest, DefaultStatusAndEmptyRootList) {
    ASSERT_TRUE(start({"--default-status", "1", "--root", "/r"}));
    Client c(sim.port());
    EXPECT_EQ(c.exchange("query_stat\npath\t/r/x\ndone\n"), "rsp\nstat\t1\ndone\n");

    NotificationSink otherSink;
    Sim bare;
    ASSERT_TRUE(bare.start(otherSink.port(), {}));
    Client b(bare.port());
    EXPECT_EQ(b.exchange("get_tw_roots\ndone\n"), "rsp\ndone\n");
    EXPECT_EQ(b.exchange("query_stat\npath\t/r/x\ndone\n"), "rsp\ndone\n");

    // The file-system root holds every absolute path, not only "/" itself.
    NotificationSink slashSink;
    Sim slash;
    ASSERT_TRUE(slash.start(slashSink.port(), {"--root", "/", "--status", "/deep/file=2"}));
    Client s(slash.port());
    EXPECT_EQ(s.exchange("query_stat\npath\t/deep/file\ndone\n"), "rsp\nstat\t2\ndone\n");
    EXPECT_EQ(s.exchange("query_stat\npath\t/\ndone\n"), "rsp\nstat\t0\ndone\n");
    EXPECT_EQ(s.exchange("query_stat\npath\trelative\ndone\n"), "rsp\ndone\n");
}

TEST_F(DaemonSimTest, StdoutShowsEachRequestWithSortedUnescapedThenEscapedFields) {
    ASSERT_TRUE(start({"--root", "/srv/Sync"}));
    {
        Client c(sim.port());
        ASSERT_TRUE(sim.nextLineStartingWith("connected"));
        // Keys out of order, a repeated value, an escaped TAB, a key without
        // values and a path with a space.
        ASSERT_EQ(c.exchange("upload_files\nz\tlast\npath\t/srv/Sync/a b\tsecond\n"
                             "flag\nk\tx\\ty\ndone\n"),
                  "rsp\ndone\n");
        auto line = sim.nextLineStartingWith("request ");
        ASSERT_TRUE(line);
        EXPECT_EQ(*line, "request upload_files flag k=x\\ty path=/srv/Sync/a b path=second z=last");

        // A later line with the same key replaces the earlier one.
        ASSERT_EQ(c.exchange("query_stat\npath\t/elsewhere\npath\t/srv/Sync/f\ndone\n"),
                  "rsp\nstat\t0\ndone\n");
        line = sim.nextLineStartingWith("request ");
        ASSERT_TRUE(line);
        EXPECT_EQ(*line, "request query_stat path=/srv/Sync/f");
    }
    EXPECT_TRUE(sim.nextLineStartingWith("disconnected"));
}

TEST_F(DaemonSimTest, PipelinedAndFragmentedRequestsAreAnsweredInOrder) {
    ASSERT_TRUE(start({"--root", "/srv/Sync", "--status", "/srv/Sync/a=1"}));
    Client c(sim.port());
    std::string batch;
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        batch += "query_stat\npath\t/srv/Sync/a\ndone\nget_tw_roots\ndone\nx\ndone\n";
        expected += "rsp\nstat\t1\ndone\nrsp\npath\t/srv/Sync\ndone\nerr\ndone\n";
    }
    ASSERT_TRUE(c.send(batch));
    std::string got;
    while (got.size() < expected.size()) {
        auto r = c.readResponse();
        ASSERT_TRUE(r);
        got += *r;
    }
    EXPECT_EQ(got, expected);

    // One byte per write: the request is assembled across many reads.
    for (char byte : std::string("query_stat\npath\t/srv/Sync/a\ndone\n")) {
        ASSERT_TRUE(c.send(std::string(1, byte)));
    }
    EXPECT_EQ(c.readResponse(), "rsp\nstat\t1\ndone\n");
}

TEST_F(DaemonSimTest, HalfClosedClientStillGetsItsAnswers) {
    ASSERT_TRUE(start({"--root", "/srv/Sync"}));
    Client c(sim.port());
    ASSERT_TRUE(c.send("get_tw_roots\ndone\nquery_stat\npath\t/srv/Sync\ndone\n"));
    ::shutdown(c.fd(), SHUT_WR);
    EXPECT_EQ(c.readResponse(), "rsp\npath\t/srv/Sync\ndone\n");
    EXPECT_EQ(c.readResponse(), "rsp\nstat\t0\ndone\n");
    EXPECT_TRUE(c.closedByDaemon());
}

TEST_F(DaemonSimTest, StalledClientsDoNotHoldUpOthers) {
    ASSERT_TRUE(start({"--root", "/srv/Sync"}));
    // One client stops in the middle of a request.
    Client partial(sim.port());
    ASSERT_TRUE(partial.send("query_stat\npath\t/srv/Sy"));

    // Another floods requests and never reads the answers, until its socket
    // buffers are full (bounded by byte count).
    Client flooder(sim.port());
    ::fcntl(flooder.fd(), F_SETFL, ::fcntl(flooder.fd(), F_GETFL) | O_NONBLOCK);
    const std::string request = "get_tw_roots\ndone\n";
    std::string chunk;
    for (int i = 0; i < 4096; ++i) {
        chunk += request;
    }
    std::size_t sent = 0;
    int refusals = 0;
    while (sent < (std::size_t{64} << 20) && refusals < 200) {
        ssize_t n = ::send(flooder.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            refusals = 0;
        } else {
            // Full: give the daemon a moment to read, then try again.
            pollfd writable{flooder.fd(), POLLOUT, 0};
            if (::poll(&writable, 1, 5) == 0) {
                ++refusals;
            }
        }
    }

    // Many more clients at once still get prompt answers.
    std::vector<std::unique_ptr<Client>> others;
    for (int i = 0; i < 50; ++i) {
        others.push_back(std::make_unique<Client>(sim.port()));
        ASSERT_TRUE(
            others.back()->send("query_stat\npath\t/srv/Sync/" + std::to_string(i) + "\ndone\n"));
    }
    for (auto& other : others) {
        EXPECT_EQ(other->readResponse(), "rsp\nstat\t0\ndone\n");
    }

    // The stalled request completes whenever its sender goes on.
    ASSERT_TRUE(partial.send("nc/x\ndone\n"));
    EXPECT_EQ(partial.readResponse(), "rsp\nstat\t0\ndone\n");
    EXPECT_TRUE(sim.process.running());
}

TEST_F(DaemonSimTest, GarbageNeitherCrashesNorBlocksTheNextClient) {
    ASSERT_TRUE(start({"--root", "/srv/Sync"}));
    const std::vector<std::string> garbage = {
        std::string("\0\0\0\n\0done\n", 11),
        "done\n",  // a bare terminator is the name line of the next request
        "\n\n\n\t\t\t\n\\\\\\\n",
        std::string("\xff\xfe\x80\x01\x7f\n\xc3\x28\tvalue\n", 12),
        "query_stat\npath\t/srv/Sync\t\t\\\n",
    };
    for (const auto& bytes : garbage) {
        {
            Client c(sim.port());
            ASSERT_TRUE(c.send(bytes));
        }
        expectStillServing();
    }
    // A bare "done" first is taken as a request's name, answered as unknown.
    Client c(sim.port());
    EXPECT_EQ(c.exchange("done\ndone\n"), "err\ndone\n");
    EXPECT_TRUE(sim.process.running());
}

TEST_F(DaemonSimTest, OverlongLineClosesOnlyThatConnection) {
    ASSERT_TRUE(start({"--root", "/srv/Sync"}));
    Client bystander(sim.port());
    Client endless(sim.port());
    const std::string block(256 * 1024, 'a');
    for (int i = 0; i < 6; ++i) {
        if (!endless.send(block)) {
            break;  // already dropped
        }
    }
    EXPECT_TRUE(endless.closedByDaemon());
    EXPECT_TRUE(sim.stderrHas("tarnwell-daemon-sim: "));
    EXPECT_TRUE(sim.stderrHas("line longer than"));
    EXPECT_EQ(bystander.exchange("get_tw_roots\ndone\n"), "rsp\npath\t/srv/Sync\ndone\n");
    expectStillServing();
}

TEST_F(DaemonSimTest, RequestWithTooManyLinesClosesOnlyThatConnection) {
    ASSERT_TRUE(start({"--root", "/srv/Sync"}));
    Client many(sim.port());
    std::string request = "upload_files\n";
    for (int i = 0; i < 70000; ++i) {
        request += "k\tv\n";
    }
    many.send(request);  // may fail part-way once the daemon hangs up
    EXPECT_TRUE(many.closedByDaemon());
    EXPECT_TRUE(sim.stderrHas("argument lines"));
    expectStillServing();
}

TEST_F(DaemonSimTest, SetRootsAndNotifyPushDatagramsAndStdoutLines) {
    ASSERT_TRUE(start({"--root", "/srv/Sync"}));
    Client c(sim.port());

    // The status is the last word; the path keeps its spaces.
    ASSERT_TRUE(sim.control("set /srv/Sync/my file.txt 1"));
    EXPECT_EQ(sink.receive(), "refresh_stat\npath\t/srv/Sync/my file.txt\ndone\n");
    EXPECT_EQ(sim.nextLineStartingWith("notify "),
              "notify refresh_stat path=/srv/Sync/my file.txt");
    EXPECT_EQ(c.exchange("query_stat\npath\t/srv/Sync/my file.txt\ndone\n"),
              "rsp\nstat\t1\ndone\n");

    ASSERT_TRUE(sim.control("roots /new/one /new/two"));
    EXPECT_EQ(sink.receive(), "refresh_tw_root\ndone\n");
    EXPECT_EQ(sim.nextLineStartingWith("notify "), "notify refresh_tw_root");
    EXPECT_EQ(c.exchange("get_tw_roots\ndone\n"), "rsp\npath\t/new/one\t/new/two\ndone\n");
    // The old root no longer holds anything.
    EXPECT_EQ(c.exchange("query_stat\npath\t/srv/Sync/my file.txt\ndone\n"), "rsp\ndone\n");

    // A repeated key collects its values on one line; a field with a
    // backslash or TAB (TAB-separated control line) is escaped.
    ASSERT_TRUE(sim.control("notify hello k v k w"));
    EXPECT_EQ(sink.receive(), "hello\nk\tv\tw\ndone\n");
    EXPECT_EQ(sim.nextLineStartingWith("notify "), "notify hello k=v k=w");
    ASSERT_TRUE(sim.control("notify\trefresh_stat\tpath\t/a b\\c"));
    EXPECT_EQ(sink.receive(), "refresh_stat\npath\t/a b\\\\c\ndone\n");
    EXPECT_EQ(sim.nextLineStartingWith("notify "), "notify refresh_stat path=/a b\\\\c");

    ASSERT_TRUE(sim.control("roots"));
    EXPECT_EQ(sink.receive(), "refresh_tw_root\ndone\n");
    EXPECT_EQ(c.exchange("get_tw_roots\ndone\n"), "rsp\ndone\n");
}

TEST_F(DaemonSimTest, BadControlCommandsAreReportedAndIgnored) {
    ASSERT_TRUE(start({"--root", "/srv/Sync"}));
    ASSERT_TRUE(sim.control("frobnicate now"));
    EXPECT_TRUE(sim.stderrHas("tarnwell-daemon-sim: unknown control command: frobnicate now"));
    ASSERT_TRUE(sim.control("set /srv/Sync/a notanumber"));
    ASSERT_TRUE(sim.control("set 2"));
    ASSERT_TRUE(sim.control("notify name dangling"));
    EXPECT_TRUE(sim.stderrHas("notify NAME"));
    // None of them sent anything: the next datagram is this one.
    ASSERT_TRUE(sim.control("notify marker"));
    EXPECT_EQ(sink.receive(), "marker\ndone\n");
    Client c(sim.port());
    EXPECT_EQ(c.exchange("query_stat\npath\t/srv/Sync/a\ndone\n"), "rsp\nstat\t0\ndone\n");
}

TEST_F(DaemonSimTest, EndsWithStatusZeroOnQuitEndOfInputAndSignals) {
    ASSERT_TRUE(start({}));
    ASSERT_TRUE(sim.control("quit"));
    EXPECT_EQ(sim.process.wait(), 0);

    for (int way = 0; way < 3; ++way) {
        Sim other;
        ASSERT_TRUE(other.start(sink.port(), {"--root", "/r"}));
        Client c(other.port());  // a connected client does not keep it alive
        ASSERT_TRUE(c.connected());
        if (way == 0) {
            other.process.closeStdin();
        } else {
            other.process.signal(way == 1 ? SIGTERM : SIGINT);
        }
        EXPECT_EQ(other.process.wait(), 0) << "way " << way;
    }
}

TEST_F(DaemonSimTest, NoStdinKeepsRunningAfterEndOfInput) {
    ASSERT_TRUE(start({"--no-stdin", "--root", "/srv/Sync"}));
    sim.process.closeStdin();
    // Still alive and answering after its stdin is gone.
    EXPECT_FALSE(sim.process.wait(std::chrono::milliseconds(300)));
    Client c(sim.port());
    EXPECT_EQ(c.exchange("get_tw_roots\ndone\n"), "rsp\npath\t/srv/Sync\ndone\n");
    sim.process.signal(SIGTERM);
    EXPECT_EQ(sim.process.wait(), 0);
}

TEST_F(DaemonSimTest, PortInUseExitsWithStatusOne) {
    ASSERT_TRUE(start({}));
    ChildProcess second;
    ASSERT_TRUE(second.start({TARNWELL_DAEMON_SIM_PATH, "--port", std::to_string(sim.port()),
                              "--notify-port", std::to_string(sink.port())},
                             /*captureStderr=*/true));
    EXPECT_EQ(second.wait(), 1);
    ASSERT_TRUE(waitUntil([&] { return !second.stderrLines().empty(); }));
    EXPECT_EQ(second.stderrLines().front().rfind("tarnwell-daemon-sim: cannot listen", 0), 0u);
    EXPECT_TRUE(second.allStdout().empty());
}

TEST_F(DaemonSimTest, BadArgumentsExitWithStatusTwoAndHelpWithZero) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},        {"--port"},           {"--port", "70000"},      {"--port", "12x"},
        {"--status", "/a"}, {"--status", "/a=x"}, {"--default-status", ""}, {"--notify-port", "0"},
        {"--port", " 5"},   {"--port", "+19080"}, {"--port", "019080"},     {"--root", "rel"},
        {"--root", ""},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv = {TARNWELL_DAEMON_SIM_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess p;
        ASSERT_TRUE(p.start(argv, /*captureStderr=*/true));
        EXPECT_EQ(p.wait(), 2) << args.back();
        // One line that names the problem, not the whole usage.
        EXPECT_TRUE(waitUntil([&] {
            const auto lines = p.stderrLines();
            return lines.size() == 1 && lines[0].find("; see --help") != std::string::npos;
        })) << args.back();
    }
    ChildProcess help;
    ASSERT_TRUE(help.start({TARNWELL_DAEMON_SIM_PATH, "--help"}));
    EXPECT_EQ(help.wait(), 0);
    ASSERT_FALSE(help.allStdout().empty());
}

// Each delayed answer was slept through in turn: with five queued it ended
// 15 s after SIGTERM.
TEST_F(DaemonSimTest, StopSignalEndsItPromptlyWithDelayedAnswersQueued) {
    ASSERT_TRUE(start({"--root", "/r", "--answer-delay-us", "3000000"}));
    Client c(sim.port());
    std::string queries;
    for (int i = 0; i < 5; ++i) {
        queries += "query_stat\npath\t/r/" + std::to_string(i) + "\ndone\n";
    }
    ASSERT_TRUE(c.send(queries));
    ASSERT_TRUE(sim.nextLineStartingWith("request query_stat"));
    sim.process.signal(SIGTERM);
    EXPECT_EQ(sim.process.wait(kPromptLimit), 0);
}

// stdin took what the command line refuses (a relative root), and quit with
// words after it; a long bad line came back whole on stderr.
TEST_F(DaemonSimTest, ControlInputIsCheckedLikeTheCommandLine) {
    ASSERT_TRUE(start({"--root", "/srv/Sync"}));
    ASSERT_TRUE(sim.control("roots /new relative ''"));
    EXPECT_TRUE(sim.stderrHas("the root relative is not an absolute path"));
    ASSERT_TRUE(sim.control("quit now"));
    EXPECT_TRUE(sim.stderrHas("bad control command (want: quit): quit now"));
    const std::string longLine = "set /srv/Sync/x " + std::string(4 << 20, 'y');
    ASSERT_TRUE(sim.control(longLine));
    EXPECT_TRUE(sim.stderrHas("... (" + std::to_string(longLine.size()) + " bytes)"));
    for (const std::string& line : sim.process.stderrLines()) {
        EXPECT_LT(line.size(), 400u);
    }
    Client c(sim.port());
    EXPECT_EQ(c.exchange("get_tw_roots\ndone\n"), "rsp\npath\t/srv/Sync\ndone\n");

    ASSERT_TRUE(sim.control("roots /nonexistent/root"));
    EXPECT_TRUE(sim.stderrHas("warning: the root /nonexistent/root does not exist"));
    EXPECT_EQ(c.exchange("get_tw_roots\ndone\n"), "rsp\npath\t/nonexistent/root\ndone\n");
    ASSERT_TRUE(sim.control("quit"));
    EXPECT_EQ(sim.process.wait(), 0);
}

// The plug-in asks about the canonical path; a root given through a link (or
// as //tmp/x) held none of them, so no file in it had a status.
TEST_F(DaemonSimTest, RootGivenThroughALinkHoldsTheCanonicalPaths) {
    TempDir temp;
    const std::string real = temp.dir("real");
    const std::string link = temp.path() + "/link";
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    ASSERT_TRUE(
        start({"--root", link, "--root", "/" + temp.path() + "/other", "--status", link + "/f=2"}));
    Client c(sim.port());
    EXPECT_EQ(c.exchange("get_tw_roots\ndone\n"),
              "rsp\npath\t" + link + "\t/" + temp.path() + "/other\ndone\n");
    EXPECT_EQ(c.exchange("query_stat\npath\t" + real + "/f\ndone\n"), "rsp\nstat\t2\ndone\n");
    EXPECT_EQ(c.exchange("query_stat\npath\t" + link + "/f\ndone\n"), "rsp\nstat\t2\ndone\n");
    EXPECT_EQ(c.exchange("query_stat\npath\t" + real + "/g\ndone\n"), "rsp\nstat\t0\ndone\n");
    EXPECT_EQ(c.exchange("query_stat\npath\t" + temp.path() + "/other/h\ndone\n"),
              "rsp\nstat\t0\ndone\n");
}

// tarnwell-send waited 5 s on a port nobody listens on, sent "-V" as a
// command, took NAME's line feed to stderr raw, and refused --port after NAME
// only by sending it as a key.
TEST_F(DaemonSimTest, SendFailsAtOnceAndReadsOptionsAsOptions) {
    ChildProcess refused;
    ASSERT_TRUE(refused.start(
        {TARNWELL_SEND_PATH, "--port", std::to_string(freeTcpPort()), "get_tw_roots"}, true));
    EXPECT_EQ(refused.wait(kPromptLimit), 1);
    ASSERT_TRUE(waitUntil([&] { return refused.stderrLines().size() == 1; }));
    EXPECT_NE(refused.stderrLines()[0].find("nothing listens"), std::string::npos);

    ASSERT_TRUE(start({"--root", "/srv/Sync"}));
    const std::string port = std::to_string(sim.port());
    ChildProcess late;
    ASSERT_TRUE(late.start({TARNWELL_SEND_PATH, "get_tw_roots", "--port", port}));
    EXPECT_EQ(late.wait(), 0);
    EXPECT_EQ(late.allStdout(),
              (std::vector<std::string>{"sent get_tw_roots", "response path=/srv/Sync"}));
    ChildProcess dashed;
    ASSERT_TRUE(dashed.start({TARNWELL_SEND_PATH, "--port", port, "--", "-V"}, true));
    EXPECT_EQ(dashed.wait(), 1);  // sent, and refused by the daemon
    EXPECT_TRUE(sim.process.waitForLineContaining("request -V"));

    ChildProcess broken;
    ASSERT_TRUE(broken.start({TARNWELL_SEND_PATH, "--port", port, "a\nb"}, true));
    EXPECT_EQ(broken.wait(), 1);
    ASSERT_TRUE(waitUntil([&] { return !broken.stderrLines().empty(); }));
    EXPECT_EQ(broken.stderrLines(),
              std::vector<std::string>{
                  "tarnwell-send: the daemon refused a\\nb: it answered with an error"});

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-V"}, {"--port", "0", "get_tw_roots"}}) {
        std::vector<std::string> argv = {TARNWELL_SEND_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess odd;
        ASSERT_TRUE(odd.start(argv, true));
        EXPECT_EQ(odd.wait(), 2) << args.front();
    }
}

// tarnwell-send against the simulator: both ends of the demo's tooling.
TEST_F(DaemonSimTest, SendPrintsRequestAndResponseAndReportsNoDaemon) {
    ASSERT_TRUE(start({"--root", "/srv/Sync", "--status", "/srv/Sync/a b=2"}));
    ChildProcess send;
    ASSERT_TRUE(send.start({TARNWELL_SEND_PATH, "--port", std::to_string(sim.port()), "query_stat",
                            "path", "/srv/Sync/a b"}));
    EXPECT_EQ(send.readLine(), "sent query_stat path=/srv/Sync/a b");
    EXPECT_EQ(send.readLine(), "response stat=2");
    EXPECT_EQ(send.wait(), 0);
    EXPECT_EQ(sim.nextLineStartingWith("request "), "request query_stat path=/srv/Sync/a b");

    // An "err" answer is a failure, and said to be one.
    ChildProcess unknown;
    ASSERT_TRUE(
        unknown.start({TARNWELL_SEND_PATH, "--port", std::to_string(sim.port()), "nope"}, true));
    EXPECT_EQ(unknown.wait(), 1);
    EXPECT_EQ(unknown.allStdout(), std::vector<std::string>{"sent nope"});
    EXPECT_TRUE(waitUntil([&] {
        const auto lines = unknown.stderrLines();
        return lines.size() == 1 && lines[0].find("answered with an error") != std::string::npos;
    }));

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"query_stat", "path"}, {""}, {"--port", "+19080", "x"}}) {
        std::vector<std::string> argv = {TARNWELL_SEND_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess odd;
        ASSERT_TRUE(odd.start(argv, true));
        EXPECT_EQ(odd.wait(), 2);
    }

    // A daemon that hangs up instead of answering leaves no "response" line.
    LoopbackServer hangsUp([](int fd) {
        readRequest(fd);
        ::shutdown(fd, SHUT_RDWR);
    });
    ChildProcess unanswered;
    ASSERT_TRUE(unanswered.start(
        {TARNWELL_SEND_PATH, "--port", std::to_string(hangsUp.port()), "get_tw_roots"}, true));
    EXPECT_EQ(unanswered.wait(), 1);
    EXPECT_EQ(unanswered.allStdout(), std::vector<std::string>{"sent get_tw_roots"});

    // Nobody listens on a port the daemon just gave up.
    const std::uint16_t port = sim.port();
    sim.process.signal(SIGTERM);
    ASSERT_EQ(sim.process.wait(), 0);
    ChildProcess orphan;
    ASSERT_TRUE(
        orphan.start({TARNWELL_SEND_PATH, "--port", std::to_string(port), "get_tw_roots"}, true));
    EXPECT_EQ(orphan.wait(), 1);
    EXPECT_TRUE(orphan.allStdout().empty());
}

}  // namespace
}  // namespace tarnwell::test
