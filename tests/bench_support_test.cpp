// The benchmarks' yardsticks must measure what they claim: the floor client
// must read its answers right even when they arrive split or several at once,
// the /proc parsers must pick the right fields, and the simulator's request
// count must follow what the daemon really saw.
#include "bench_support.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

namespace tarnwell::bench {
namespace {

using namespace std::chrono_literals;

// A floor client on one end of a socketpair, the test playing the daemon on
// the other.
class FloorClientPeer : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client_.adopt(fds[0]);
        peer_ = fds[1];
    }
    void TearDown() override { ::close(peer_); }
    void peerWrites(const std::string& bytes) {
        ASSERT_EQ(::write(peer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string peerReads() {
        char buf[4096];
        const ssize_t n = ::read(peer_, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }

    FloorClient client_;
    int peer_ = -1;
};

TEST_F(FloorClientPeer, TwoAnswersInOneReadEachGoToTheirOwnQuery) {
    // Both answers are already waiting: the buffered reader must keep the
    // second for the second query instead of dropping it with the first read.
    peerWrites("rsp\nstat\t1\ndone\nrsp\nstat\t3\ndone\n");
    EXPECT_EQ(client_.queryStat("/s/a"), "1");
    EXPECT_EQ(client_.queryStat("/s/b"), "3");
    EXPECT_EQ(peerReads(), "query_stat\npath\t/s/a\ndone\nquery_stat\npath\t/s/b\ndone\n");
}

TEST_F(FloorClientPeer, ByteWiseReadingTakesNothingPastTheAnswer) {
    // The byte-wise floor stands for a reader that leaves the next answer in
    // the socket; one that buffered ahead would measure the wrong thing.
    client_.setByteWise(true);
    const std::string second = "rsp\nstat\t3\ndone\n";
    peerWrites("rsp\nstat\t1\ndone\n" + second);
    EXPECT_EQ(client_.queryStat("/s/a"), "1");
    char left[64];
    const ssize_t n = ::recv(client_.fd(), left, sizeof left, MSG_PEEK | MSG_DONTWAIT);
    EXPECT_EQ(std::string(left, n > 0 ? static_cast<std::size_t>(n) : 0), second);
    EXPECT_EQ(client_.queryStat("/s/b"), "3");
}

TEST_F(FloorClientPeer, AnswerSplitMidLineIsJoined) {
    std::thread daemon([this] {
        peerReads();
        peerWrites("rsp\nst");
        std::this_thread::sleep_for(20ms);
        peerWrites("at\t2\ndo");
        std::this_thread::sleep_for(20ms);
        peerWrites("ne\n");
    });
    EXPECT_EQ(client_.queryStat("/s/a"), "2");
    daemon.join();
}

TEST_F(FloorClientPeer, RefusalOrLostConnectionIsNoAnswer) {
    peerWrites("err\ndone\nrsp\ndone\n");
    EXPECT_EQ(client_.queryStat("/s/a"), std::nullopt);  // not "rsp"
    EXPECT_EQ(client_.queryStat("/s/a"), std::nullopt);  // "rsp" without "stat"
    ::shutdown(peer_, SHUT_WR);
    EXPECT_EQ(client_.queryStat("/s/a"), std::nullopt);
}

TEST_F(FloorClientPeer, PathIsSentEscaped) {
    peerWrites("rsp\nstat\t0\ndone\n");
    EXPECT_EQ(client_.queryStat("/s/a\tb\nc"), "0");
    EXPECT_EQ(peerReads(), "query_stat\npath\t/s/a\\tb\\nc\ndone\n");
}

TEST(ProcParsers, CpuTicksCountedFromTheLastParenthesis) {
    // A thread name may hold spaces and ")": fields are counted after the
    // last one. utime 17 and stime 5 are the 14th and 15th fields.
    const std::string line =
        "4242 (odd) name (x)) S 1 4242 4242 0 -1 4194560 100 0 0 0 17 5 0 0 20 0 1 0 99";
    EXPECT_EQ(parseStatCpuTicks(line), 22u);
    EXPECT_EQ(parseStatCpuTicks("4242 S 1 2 3"), std::nullopt);
    EXPECT_EQ(parseStatCpuTicks("4242 (x) S 1 2"), std::nullopt);
}

TEST(ProcParsers, VoluntarySwitchesAreNotTheInvoluntaryOnes) {
    const std::string status =
        "Name:\tworker\nnonvoluntary_ctxt_switches:\t9\nvoluntary_ctxt_switches:\t4\n";
    EXPECT_EQ(parseVoluntarySwitches(status), 4u);
    EXPECT_EQ(parseVoluntarySwitches("voluntary_ctxt_switches:\t7\n"), 7u);
    EXPECT_EQ(parseVoluntarySwitches("nonvoluntary_ctxt_switches:\t9\n"), std::nullopt);
}

TEST(ProcParsers, ThisProcessesThreadsAreFoundAndRead) {
    std::atomic<bool> done{false};
    std::atomic<pid_t> tid{0};
    std::thread other([&] {
        tid = ::gettid();
        while (!done) {
            std::this_thread::sleep_for(1ms);
        }
    });
    while (tid.load() == 0) {
        std::this_thread::yield();
    }
    const auto ids = threadIds();
    EXPECT_NE(std::find(ids.begin(), ids.end(), tid.load()), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), ::gettid()), ids.end());
    const auto figures = readThreadFigures(tid.load());
    ASSERT_TRUE(figures.has_value());
    EXPECT_GT(figures->voluntarySwitches, 0u);  // it has slept
    done = true;
    other.join();
    EXPECT_EQ(readThreadFigures(tid.load()), std::nullopt);
}

TEST(RealisticPaths, FoldersHoldTenToHundredFilesAndPathsAreDistinct) {
    const auto paths = realisticRelativePaths(20000, 3);
    ASSERT_EQ(paths.size(), 20000u);
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size());
    std::map<std::string, int> perFolder;
    for (const auto& path : paths) {
        ++perFolder[path.substr(0, path.rfind('/'))];
    }
    const std::string lastFolder = paths.back().substr(0, paths.back().rfind('/'));
    for (const auto& [folder, files] : perFolder) {
        if (folder != lastFolder) {  // the last one may be cut short
            EXPECT_GE(files, 10) << folder;
            EXPECT_LE(files, 100) << folder;
        }
    }
    EXPECT_GT(perFolder.size(), 20000u / 100);
    EXPECT_EQ(realisticRelativePaths(50, 3),
              std::vector<std::string>(paths.begin(), paths.begin() + 50));
}

TEST(TempTree, FilesGetTheirFoldersAndEverythingGoesAtTheEnd) {
    std::string root;
    {
        TempTree tree;
        root = tree.root();
        ASSERT_FALSE(root.empty());
        const std::string file = tree.file("a/b/c/d.txt");
        EXPECT_EQ(file, root + "/a/b/c/d.txt");
        EXPECT_TRUE(std::filesystem::is_regular_file(file));
    }
    // A benchmark run makes 10,000 files: none may stay behind in /tmp.
    EXPECT_FALSE(std::filesystem::exists(root));
}

TEST(DaemonSim, QueryStatRequestsFollowWhatTheDaemonSaw) {
    TempTree tree;
    const std::string file = tree.file("Sync/a.txt");
    DaemonSimProcess sim;
    ASSERT_TRUE(sim.start(0, freeUdpPort(), {tree.root() + "/Sync"}));
    ASSERT_NE(sim.port(), 0);
    FloorClient client;
    ASSERT_TRUE(client.connect(sim.port()));
    EXPECT_EQ(sim.queryStatRequests(), 0u);
    EXPECT_EQ(client.queryStat(file), "0");
    EXPECT_EQ(client.queryStat("/outside"), std::nullopt);
    EXPECT_TRUE(waitUntil([&] { return sim.queryStatRequests() == 2; }, 20s));
}

TEST(DaemonSim, PortInUseIsAFailedStart) {
    DaemonSimProcess first;
    ASSERT_TRUE(first.start(0, freeUdpPort(), {}));
    DaemonSimProcess second;
    EXPECT_FALSE(second.start(first.port(), freeUdpPort(), {}));
}

TEST(DaemonSim, StopEndsTheProcessAndFreesItsPort) {
    DaemonSimProcess sim;
    ASSERT_TRUE(sim.start(0, freeUdpPort(), {}));
    const std::uint16_t port = sim.port();
    sim.stop();
    // The next benchmark on a fixed port needs it back at once.
    EXPECT_TRUE(tcpPortFree(port));
    FloorClient client;
    EXPECT_FALSE(client.connect(port));
}

}  // namespace
}  // namespace tarnwell::bench
