// The command wire format against a socketpair peer: the bytes of a request,
// how answers are read, and what a misbehaving peer can and cannot do.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "base/posix_io.h"
#include "base/wire_format.h"
#include "channel/command_client.h"
#include "channel/exchange.h"
#include "support/test_support.h"

namespace tarnwell {
namespace {

// Everything readable on `fd` right now, without blocking.
std::string drain(int fd) {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

// Two connected stream sockets: `client` plays the plug-in's side, `peer` the
// daemon's. The client's receive time-out keeps a read that would block from
// hanging the test.
struct SocketPair {
    SocketPair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        client = fds[0];
        peer = fds[1];
        setReceiveTimeout(2000);
    }
    ~SocketPair() {
        closeFd(client);
        closeFd(peer);
    }
    void setReceiveTimeout(int milliseconds) const {
        timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    static void closeFd(int& fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    int client = -1;
    int peer = -1;
};

// The answer is queued before the request is written, so an exchange runs
// without a second thread; returns what the client wrote.
std::string exchangeWithCannedAnswer(const std::string& name, const ArgumentMap* args,
                                     const std::string& answer, bool* ok = nullptr,
                                     ArgumentMap* response = nullptr) {
    SocketPair pair;
    EXPECT_TRUE(writeAll(pair.peer, answer));
    ArgumentMap received;
    const bool result = CommandClient::sendToDaemon(pair.client, name, args, received);
    if (ok != nullptr) {
        *ok = result;
    }
    if (response != nullptr) {
        *response = received;
    }
    return drain(pair.peer);
}

// --- Request bytes ---

TEST(RequestBytes, EmptyArgumentsGiveOnlyNameAndTerminator) {
    EXPECT_EQ(exchangeWithCannedAnswer("get_tw_roots", nullptr, "rsp\ndone\n"),
              "get_tw_roots\ndone\n");
    // An empty map is written the same way as no map.
    ArgumentMap empty;
    EXPECT_EQ(exchangeWithCannedAnswer("get_tw_roots", &empty, "rsp\ndone\n"),
              "get_tw_roots\ndone\n");
}

TEST(RequestBytes, KeyWithoutValuesIsWrittenAloneAndValuesKeepTheirOrder) {
    ArgumentMap bare{{"flagged", {}}};
    EXPECT_EQ(exchangeWithCannedAnswer("cmd", &bare, "rsp\ndone\n"), "cmd\nflagged\ndone\n");

    ArgumentMap several{{"path", {"/b", "/a", ""}}};
    EXPECT_EQ(exchangeWithCannedAnswer("cmd", &several, "rsp\ndone\n"),
              "cmd\npath\t/b\t/a\t\ndone\n");
}

TEST(RequestBytes, SeparatorsInNameKeyAndValueAreEscaped) {
    ArgumentMap args{{"k\te\ny\\", {"v\ta\nl\\ue", "\r\x01\xff"}}};
    EXPECT_EQ(exchangeWithCannedAnswer("na\tme\n\\", &args, "rsp\ndone\n"),
              "na\\tme\\n\\\\\nk\\te\\ny\\\\\tv\\ta\\nl\\\\ue\t\r\x01\xff\ndone\n");
}

// --- Reading answers ---

TEST(ReadAnswer, RspThenDoneIsSuccessWithEmptyMap) {
    bool ok = false;
    ArgumentMap response{{"stale", {"x"}}};
    exchangeWithCannedAnswer("q", nullptr, "rsp\ndone\n", &ok, &response);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(response.empty());
}

TEST(ReadAnswer, StatusOtherThanRspFailsButLeavesStreamInStep) {
    SocketPair pair;
    // "rsp" with a CR is not "rsp"; a bare "done" status is not taken for the
    // terminator. Each answer is read through its own "done".
    ASSERT_TRUE(writeAll(pair.peer,
                         "rsp\r\nstat\t1\ndone\n"
                         "done\nstat\t1\ndone\n"
                         "rsp\nstat\t2\ndone\n"));
    ArgumentMap response;
    EXPECT_FALSE(CommandClient::sendToDaemon(pair.client, "a", nullptr, response));
    EXPECT_FALSE(CommandClient::sendToDaemon(pair.client, "b", nullptr, response));
    EXPECT_TRUE(response.empty());
    EXPECT_TRUE(CommandClient::sendToDaemon(pair.client, "c", nullptr, response));
    EXPECT_EQ(response["stat"], (std::vector<std::string>{"2"}));
}

TEST(ReadAnswer, LineLayoutRules) {
    bool ok = false;
    ArgumentMap response;
    exchangeWithCannedAnswer("q", nullptr,
                             "rsp\n"
                             "no tab here\n"
                             "stat\t1\n"
                             "empty\t\n"
                             "\tkeyless\n"
                             "multi\ta\t\tb\\t\\n\\\\\n"
                             "stat\t2\t3\n"
                             "trail\tends in \\\n"
                             "odd\t\\x\\\n"
                             "done\n",
                             &ok, &response);
    ASSERT_TRUE(ok);
    EXPECT_EQ(response.count("no tab here"), 0u);
    // The later line replaces the earlier one.
    EXPECT_EQ(response["stat"], (std::vector<std::string>{"2", "3"}));
    EXPECT_EQ(response["empty"], (std::vector<std::string>{""}));
    EXPECT_EQ(response[""], (std::vector<std::string>{"keyless"}));
    EXPECT_EQ(response["multi"], (std::vector<std::string>{"a", "", "b\t\n\\"}));
    EXPECT_EQ(response["trail"], (std::vector<std::string>{"ends in \\"}));
    EXPECT_EQ(response["odd"], (std::vector<std::string>{"\\x\\"}));
    EXPECT_EQ(response.size(), 6u);
}

TEST(ReadAnswer, AnswerCutShortFails) {
    SocketPair pair;
    ASSERT_TRUE(writeAll(pair.peer, "rsp\nstat\t1\n"));
    // Half-closed, not closed: the request must still go out, so that the
    // failure comes from reading the answer, not from the send.
    ASSERT_EQ(::shutdown(pair.peer, SHUT_WR), 0);
    ArgumentMap response;
    EXPECT_FALSE(CommandClient::sendToDaemon(pair.client, "a", nullptr, response));
}

std::atomic<int> signalsHandled{0};

// The doctor's fault: a signal handled while it waited for the daemon failed
// the check. Its exchange is the channel's, under a deadline; every wait in it
// must go on after an interruption. The handler is installed without
// SA_RESTART, and the answer comes only after the exchange took signals.
TEST(ReadAnswer, SignalsWhileWaitingForTheAnswerDoNotFailAnExchangeWithADeadline) {
    struct sigaction action {};
    action.sa_handler = [](int) { ++signalsHandled; };
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    SocketPair pair;
    const pthread_t exchanging = ::pthread_self();
    std::thread peer([&] {
        for (int i = 1; i <= 20; ++i) {
            ::pthread_kill(exchanging, SIGUSR1);
            if (!test::waitUntil([&] { return signalsHandled.load() >= i; })) {
                break;
            }
        }
        writeAll(pair.peer, "rsp\nstat\t1\ndone\n");
    });
    ArgumentMap response;
    std::string why;
    const ExchangeOutcome outcome =
        exchange(pair.client, "q", nullptr, response, LineReader::Mode::ReadAhead,
                 std::chrono::steady_clock::now() + std::chrono::seconds(30), &why);
    peer.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(outcome, ExchangeOutcome::Ok) << why;
    EXPECT_EQ(response["stat"], (std::vector<std::string>{"1"}));
}

TEST(ReadAnswer, WriteToClosedPeerFailsWithoutSigpipe) {
    // The default action of SIGPIPE would end this process.
    ASSERT_NE(::signal(SIGPIPE, SIG_DFL), SIG_ERR);
    SocketPair pair;
    SocketPair::closeFd(pair.peer);
    ArgumentMap response;
    EXPECT_FALSE(CommandClient::sendToDaemon(pair.client, "a", nullptr, response));
}

// --- readLine ---

TEST(ReadLine, TakesNothingPastTheLineFeed) {
    SocketPair pair;
    ASSERT_TRUE(writeAll(pair.peer, "one\ntwo\nrest"));
    std::string line;
    ASSERT_TRUE(readLine(pair.client, line));
    EXPECT_EQ(line, "one");
    EXPECT_EQ(drain(pair.client), "two\nrest");
}

TEST(ReadLine, LineArrivingInPiecesAndLongerThanOnePeek) {
    SocketPair pair;
    const std::string big(200 * 1024, 'p');
    std::thread writer([&] {
        writeAll(pair.peer, "a");
        writeAll(pair.peer, big);
        writeAll(pair.peer, "\r\nnext\n");
    });
    std::string line;
    EXPECT_TRUE(readLine(pair.client, line));
    writer.join();
    EXPECT_EQ(line, "a" + big + "\r");
    ASSERT_TRUE(readLine(pair.client, line));
    EXPECT_EQ(line, "next");
}

TEST(ReadLine, FailsOnReceiveTimeoutInsteadOfHanging) {
    SocketPair pair;
    pair.setReceiveTimeout(100);
    ASSERT_TRUE(writeAll(pair.peer, "no line feed yet"));
    std::string line;
    EXPECT_FALSE(readLine(pair.client, line));
}

TEST(ReadLine, OverlongLineFailsButTheLimitItselfIsAccepted) {
    SocketPair pair;
    std::thread writer([&] {
        writeAll(pair.peer, std::string(kMaxLineBytes, 'a') + "\n");
        writeAll(pair.peer, std::string(kMaxLineBytes + 1, 'b') + "\n");
    });
    std::string line;
    EXPECT_TRUE(readLine(pair.client, line));
    EXPECT_EQ(line.size(), kMaxLineBytes);
    EXPECT_FALSE(readLine(pair.client, line));
    EXPECT_LE(line.size(), kMaxLineBytes);
    SocketPair::closeFd(pair.client);
    writer.join();
}

TEST(ReadLine, AnswerWithTooManyLinesFails) {
    SocketPair pair;
    std::thread writer([&] {
        std::string lines;
        for (std::size_t i = 0; i <= kMaxResponseLines; ++i) {
            lines += "k\tv\n";
        }
        writeAll(pair.peer, lines + "done\n");
    });
    ArgumentMap response;
    EXPECT_FALSE(CommandClient::receiveArgs(pair.client, response));
    SocketPair::closeFd(pair.client);
    writer.join();
}

TEST(ReadLine, AnswerLargerThanTheTotalLimitFails) {
    SocketPair pair;
    // Each line is within the line limit; together they are not.
    const std::size_t lines = kMaxResponseBytes / (kMaxLineBytes / 2) + 1;
    std::thread writer([&] {
        for (std::size_t i = 0; i < lines; ++i) {
            if (!writeAll(pair.peer, "k" + std::to_string(i) + "\t" +
                                         std::string(kMaxLineBytes / 2, 'v') + "\n")) {
                return;
            }
        }
        writeAll(pair.peer, "done\n");
    });
    ArgumentMap response;
    EXPECT_FALSE(CommandClient::receiveArgs(pair.client, response));
    SocketPair::closeFd(pair.client);
    writer.join();
}

// --- Escaping ---

TEST(Escaping, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
    }
    const std::string escaped = escapeField(all + "\\n\\\\" + all);
    EXPECT_EQ(escaped.find('\n'), std::string::npos);
    EXPECT_EQ(escaped.find('\t'), std::string::npos);
    EXPECT_EQ(unescapeField(escaped), all + "\\n\\\\" + all);
}

}  // namespace
}  // namespace tarnwell
