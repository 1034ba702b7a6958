// The core against a scripted daemon over real loopback sockets, and its
// reply handlers fed directly where a socket adds nothing.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "base/posix_io.h"
#include "base/wire_format.h"
#include "core/tarnwell_core.h"
#include "core/wanted_queries.h"
#include "host_face/emblem.h"
#include "protocol/tables.h"
#include "support/test_support.h"

namespace tarnwell {
namespace {

using namespace std::chrono_literals;
using test::kDeadline;
using test::StderrCapture;
using test::TempDir;
using test::waitUntil;

// A daemon whose answers the test sets, and which can hold back the answers
// to chosen commands until released.
class FakeDaemon {
public:
    // With `roots` it lists them from its first connection on: a client that
    // reconnects at once may ask before a later setRoots.
    explicit FakeDaemon(std::uint16_t port = 0, std::vector<std::string> roots = {})
        : roots_(std::move(roots)), server_([this](int fd) { serve(fd); }, port) {}
    ~FakeDaemon() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        released_.notify_all();
    }

    std::uint16_t port() const { return server_.port(); }
    void setRoots(std::vector<std::string> roots) {
        std::lock_guard lock(mutex_);
        roots_ = std::move(roots);
    }
    // The raw "stat" text for a path; std::nullopt answers without "stat".
    void setStat(const std::string& path, std::optional<std::string> stat) {
        std::lock_guard lock(mutex_);
        stats_[path] = std::move(stat);
    }
    // Holds the answers to `name`'s requests from its `from`-th on (counted
    // from 1 since the daemon started); those before it go out.
    void hold(const std::string& name, std::size_t from = 1) {
        {
            std::lock_guard lock(mutex_);
            held_[name] = from;
        }
        released_.notify_all();
    }
    void release(const std::string& name) {
        {
            std::lock_guard lock(mutex_);
            held_.erase(name);
        }
        released_.notify_all();
    }
    std::vector<std::string> requests(const std::string& name) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& [n, path] : log_) {
            if (n == name) {
                out.push_back(path);
            }
        }
        return out;
    }
    std::size_t count(const std::string& name) const { return requests(name).size(); }
    // Every request as "name path", in the order they arrived.
    std::vector<std::string> order() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& [n, path] : log_) {
            out.push_back(n + " " + path);
        }
        return out;
    }
    // Drops every connection and refuses new ones, as a daemon that exits.
    void crash() { server_.shutdown(); }

private:
    void serve(int fd) {
        while (auto lines = test::readRequest(fd)) {
            if (lines->empty()) {
                return;
            }
            const std::string name = (*lines)[0];
            ArgumentMap args;
            for (std::size_t i = 1; i < lines->size(); ++i) {
                parseArgumentLine((*lines)[i], args);
            }
            const std::string path = args.count("path") ? args["path"].front() : std::string();
            std::string reply;
            {
                // The answer is read when the request arrives, as a daemon
                // looks it up; a held answer goes out later unchanged.
                std::unique_lock lock(mutex_);
                log_.emplace_back(name, path);
                const std::size_t number = static_cast<std::size_t>(std::count_if(
                    log_.begin(), log_.end(), [&](const auto& entry) { return entry.first == name; }));
                reply = answer(name, path);
                released_.wait(lock, [&] {
                    const auto held = held_.find(name);
                    return stopping_ || held == held_.end() || number < held->second;
                });
                if (stopping_) {
                    return;
                }
            }
            if (!writeAll(fd, reply)) {
                return;
            }
        }
    }

    // Called with mutex_ held.
    std::string answer(const std::string& name, const std::string& path) const {
        std::string reply = "rsp\n";
        if (name == "get_tw_roots" && !roots_.empty()) {
            reply += "path";
            for (const auto& r : roots_) {
                reply += "\t" + escapeField(r);
            }
            reply += "\n";
        } else if (name == "query_stat") {
            auto it = stats_.find(path);
            const std::optional<std::string> stat =
                it == stats_.end() ? std::optional<std::string>("0") : it->second;
            if (stat) {
                reply += "stat\t" + *stat + "\n";
            }
        }
        return reply + "done\n";
    }

    mutable std::mutex mutex_;
    std::condition_variable released_;                         // used with mutex_
    std::vector<std::string> roots_;                           // guarded by mutex_
    std::map<std::string, std::optional<std::string>> stats_;  // guarded by mutex_
    std::map<std::string, std::size_t> held_;                  // guarded by mutex_
    std::vector<std::pair<std::string, std::string>> log_;     // guarded by mutex_
    bool stopping_ = false;                                    // guarded by mutex_
    // Last member: destroyed first, so its connection threads end before the
    // state they use.
    test::LoopbackServer server_;
};

std::string notification(const std::string& name, const std::string& path = "") {
    std::string text = name + "\n";
    if (!path.empty()) {
        text += "path\t" + escapeField(path) + "\n";
    }
    return text + "done\n";
}

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = TarnwellCore::canonicalizePath(tmp_.dir("Sync"));
        daemon_ = std::make_unique<FakeDaemon>();
        daemon_->setRoots({root_});
        notifyPort_ = test::freeUdpPort();
        core_ = std::make_unique<TarnwellCore>(daemon_->port(), notifyPort_);
    }
    void TearDown() override { core_.reset(); }

    void startAndWaitForRoots() {
        core_->initialize();
        ASSERT_TRUE(waitUntil([&] { return !core_->syncRoots().empty(); }));
    }
    // A datagram sent before the listener has bound its port is lost.
    void notify(const std::string& text) {
        ASSERT_TRUE(core_->waitUntilListening(std::chrono::seconds(20)));
        ASSERT_TRUE(test::sendDatagram(notifyPort_, text));
    }

    StderrCapture log_;
    TempDir tmp_;
    std::string root_;
    std::unique_ptr<FakeDaemon> daemon_;
    std::uint16_t notifyPort_ = 0;
    std::unique_ptr<TarnwellCore> core_;
};

TEST_F(CoreTest, RootsArriveAfterConnectInCanonicalFormWithBadValuesDropped) {
    daemon_->setRoots({"", "relative/dir", root_ + "/", root_ + "/./sub/.."});
    std::atomic<int> callbacks{0};  // written on the worker thread
    core_->addRootsChangedCallback([&] { ++callbacks; });
    core_->addRootsChangedCallback(nullptr);  // ignored, never called
    startAndWaitForRoots();
    EXPECT_EQ(core_->syncRoots(), (std::vector<std::string>{root_, root_}));
    EXPECT_TRUE(waitUntil([&] { return log_.count("tarnwell: sync root: " + root_) == 2; }));
    // The callbacks run after the roots are in place.
    EXPECT_TRUE(waitUntil([&] { return callbacks == 1; }));
    EXPECT_TRUE(core_->isInSyncDir(root_ + "/a/b.txt"));
    EXPECT_TRUE(core_->isInSyncDir("file://" + root_));
    EXPECT_FALSE(core_->isInSyncDir(root_ + "2/a"));
}

TEST_F(CoreTest, RefreshTwRootEmptiesEverythingUntilTheNewRootsArrive) {
    startAndWaitForRoots();
    core_->setStatus(root_ + "/a", TarnwellCore::Syncing);
    daemon_->hold("get_tw_roots");
    notify(notification("refresh_tw_root"));
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("get_tw_roots") == 2; }));
    EXPECT_FALSE(core_->isInSyncDir(root_ + "/a"));
    EXPECT_EQ(core_->getStatus(root_ + "/a"), TarnwellCore::NotCached);
    daemon_->release("get_tw_roots");
    EXPECT_TRUE(waitUntil([&] { return core_->isInSyncDir(root_ + "/a"); }));
    EXPECT_TRUE(log_.waitForLine("tarnwell: received refresh_tw_root"));
}

TEST_F(CoreTest, OneQueryPerPathWhileInFlightAndANewOneAfterARemovingReply) {
    startAndWaitForRoots();
    const std::string file = root_ + "/a.txt";
    daemon_->setStat(file, "9");
    daemon_->hold("query_stat");
    for (int i = 0; i < 5; ++i) {
        core_->ensureStatusQueried(file);
        core_->ensureStatusQueried(file + "/");  // same canonical path
    }
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 1; }));
    EXPECT_EQ(core_->pendingQueryCount(), 1u);
    daemon_->release("query_stat");
    ASSERT_TRUE(waitUntil([&] { return core_->pendingQueryCount() == 0; }));
    EXPECT_EQ(core_->getStatus(file), TarnwellCore::NotCached);
    daemon_->setStat(file, "2");
    notify(notification("refresh_stat", file));
    ASSERT_TRUE(waitUntil([&] { return core_->getStatus(file) == TarnwellCore::Locked; }));
    EXPECT_EQ(daemon_->requests("query_stat"), (std::vector<std::string>{file, file}));
}

// A daemon has no status for ignored or temporary files. Asked again at
// every redraw, a folder of them became a loop against the daemon, 60
// queries a second per file for as long as the folder was open.
TEST_F(CoreTest, PathWithoutAStatusIsNotAskedAgainAtEveryRedraw) {
    startAndWaitForRoots();
    const std::string ignored = root_ + "/.~lock.tmp";
    daemon_->setStat(ignored, std::nullopt);
    daemon_->hold("query_stat");
    core_->ensureStatusQueried(ignored);
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 1; }));
    // The core starts the pause when it handles the answer, and the answer
    // leaves the daemon only after this moment: the pause cannot end sooner
    // than a pause from here, however late this thread sees the answer.
    const auto released = std::chrono::steady_clock::now();
    daemon_->release("query_stat");
    ASSERT_TRUE(waitUntil([&] { return core_->pendingQueryCount() == 0; }));
    // Redraws at 1 kHz until the pause is over and the next query goes out.
    ASSERT_TRUE(waitUntil([&] {
        core_->ensureStatusQueried(ignored);
        return daemon_->count("query_stat") == 2;
    }));
    EXPECT_GE(std::chrono::steady_clock::now() - released, WantedQueries::kUnansweredPause);
    EXPECT_EQ(core_->getStatus(ignored), TarnwellCore::NotCached);
}

TEST_F(CoreTest, ReplyEndsThePendingMarkEvenIfThePathResolvesElsewhereByThen) {
    startAndWaitForRoots();
    const std::string file = TarnwellCore::canonicalizePath(tmp_.file("Sync/d/f.txt"));
    daemon_->setStat(file, "1");
    daemon_->hold("query_stat");
    core_->ensureStatusQueried(file);
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 1; }));
    // While the query is out, the folder moves and a link takes its place:
    // the path asked about now resolves to another one.
    ASSERT_EQ(::rename((root_ + "/d").c_str(), (root_ + "/d2").c_str()), 0);
    ASSERT_EQ(::symlink((root_ + "/d2").c_str(), (root_ + "/d").c_str()), 0);
    daemon_->release("query_stat");
    ASSERT_TRUE(waitUntil([&] { return core_->pendingQueryCount() == 0; }));
    // The path can be asked about again: it is not stuck as "in flight".
    core_->ensureStatusQueried(root_ + "/d2/f.txt");
    EXPECT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 2; }));
}

TEST_F(CoreTest, RefreshStatKeepsTheOldStatusVisibleUntilTheReply) {
    startAndWaitForRoots();
    const std::string file = root_ + "/doc.txt";
    daemon_->setStat(file, "1");
    core_->ensureStatusQueried(file);
    ASSERT_TRUE(waitUntil([&] { return core_->getStatus(file) == TarnwellCore::Syncing; }));
    daemon_->setStat(file, "0");
    daemon_->hold("query_stat");
    notify(notification("refresh_stat", file));
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 2; }));
    EXPECT_EQ(core_->getStatus(file), TarnwellCore::Syncing);
    daemon_->release("query_stat");
    EXPECT_TRUE(waitUntil([&] { return core_->getStatus(file) == TarnwellCore::UpToDate; }));
}

// The daemon read the old status, then the file changed and the daemon said
// so while that answer was on its way: the old status must not stay.
TEST_F(CoreTest, ChangePushedWhileItsQueryIsOutIsAskedOnceMore) {
    startAndWaitForRoots();
    const std::string file = root_ + "/doc.txt";
    daemon_->setStat(file, "1");
    core_->ensureStatusQueried(file);
    ASSERT_TRUE(waitUntil([&] { return core_->getStatus(file) == TarnwellCore::Syncing; }));
    daemon_->hold("query_stat");
    notify(notification("refresh_stat", file));
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 2; }));
    // The daemon has read "1" for the second query; now the file changes.
    daemon_->setStat(file, "0");
    notify(notification("refresh_stat", file));
    // Handled in order: once the sentinel is pending, so is the change.
    notify(notification("refresh_stat", root_ + "/sentinel"));
    ASSERT_TRUE(waitUntil([&] { return core_->pendingQueryCount() == 2; }));
    daemon_->release("query_stat");
    EXPECT_TRUE(waitUntil([&] { return core_->getStatus(file) == TarnwellCore::UpToDate; }));
    // The file once more; the sentinel, a path nobody saw, once the changes
    // paused, before or after it.
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 4; }));
    const auto asked = daemon_->requests("query_stat");
    EXPECT_EQ(std::count(asked.begin(), asked.end(), file), 3);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), root_ + "/sentinel"), 1);
}

// A path nobody drew changed twice in a row: the answer to the first query
// may predate the second change, so the path is asked again. Meanwhile that
// answer is what the daemon last said: a redraw shows it, not a blank emblem,
// and asks the path as drawn, so that the answer to the second query is the
// one stored and shown.
TEST_F(CoreTest, UnseenPathsAnswerIsShownWhileItIsAskedAgainThenTheNewerOne) {
    startAndWaitForRoots();
    const std::string file = root_ + "/unseen.txt";
    const auto redraw = [&] {
        TarnwellCore::SyncStatus shown = TarnwellCore::NotCached;
        if (!core_->redrawPending(file, &shown)) {
            shown = core_->getStatus(file);
        }
        return shown;
    };
    daemon_->setStat(file, "1");
    daemon_->hold("query_stat");
    notify(notification("refresh_stat", file));
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 1; }));
    daemon_->setStat(file, "0");
    notify(notification("refresh_stat", file));
    notify(notification("refresh_stat", root_ + "/sentinel"));
    ASSERT_TRUE(waitUntil([&] { return core_->pendingQueryCount() == 2; }));
    daemon_->hold("query_stat", 2);  // the first answer ("1") goes out
    // Not drawn before the path is asked again: a draw while the first query
    // is out would make its answer go to the cache.
    ASSERT_TRUE(waitUntil([&] {
        const auto asked = daemon_->requests("query_stat");
        return std::count(asked.begin(), asked.end(), file) == 2;
    }));
    EXPECT_EQ(redraw(), TarnwellCore::Syncing);
    EXPECT_EQ(redraw(), TarnwellCore::Syncing);
    daemon_->release("query_stat");
    EXPECT_TRUE(waitUntil([&] { return redraw() == TarnwellCore::UpToDate; }));
}

// The host redraws a path whose query is out (it has no status yet) after the
// daemon said the path changed: the redraw must not take back the mark the
// change set, or the answer read before the change stays.
TEST_F(CoreTest, RedrawWhileAChangedPathsQueryIsOutStillAsksItOnceMore) {
    startAndWaitForRoots();
    const std::string file = root_ + "/doc.txt";
    daemon_->setStat(file, "1");
    daemon_->hold("query_stat");
    core_->ensureStatusQueried(file);
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 1; }));
    // The daemon has read "1"; now the file changes.
    daemon_->setStat(file, "0");
    notify(notification("refresh_stat", file));
    notify(notification("refresh_stat", root_ + "/sentinel"));
    ASSERT_TRUE(waitUntil([&] { return core_->pendingQueryCount() == 2; }));
    core_->ensureStatusQueried(file);  // the next frame
    daemon_->release("query_stat");
    EXPECT_TRUE(waitUntil([&] { return core_->getStatus(file) == TarnwellCore::UpToDate; }));
}

// A big sync announces every file; what the person sees must not wait behind
// it. Draws go first, then changes of what was drawn lately, then changes of
// known paths, and paths nobody has seen last.
TEST_F(CoreTest, DrawsGoFirstThenChangesOnScreenThenTheRestAndUnseenPathsLast) {
    startAndWaitForRoots();
    const auto path = [&](const std::string& name) { return root_ + "/" + name; };
    core_->setStatus(path("known"), TarnwellCore::Syncing);
    core_->setStatus(path("shown"), TarnwellCore::Syncing);
    EXPECT_EQ(core_->getStatus(path("shown")), TarnwellCore::Syncing);  // drawn
    daemon_->hold("query_stat");
    core_->ensureStatusQueried(path("w1"));  // fill the window
    core_->ensureStatusQueried(path("w2"));
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 1; }));
    for (const char* name : {"unseen", "known", "shown"}) {
        notify(notification("refresh_stat", path(name)));
    }
    ASSERT_TRUE(waitUntil([&] { return core_->pendingQueryCount() == 5; }));
    core_->ensureStatusQueried(path("drawn"));
    daemon_->release("query_stat");
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 6; }));
    EXPECT_EQ(daemon_->requests("query_stat"),
              (std::vector<std::string>{path("w1"), path("w2"), path("drawn"), path("shown"),
                                        path("known"), path("unseen")}));
    // Every file of a big sync is asked about, but the cache grows only by
    // what the host drew or knew; an answer nobody asked for waits aside
    // until the host draws its path.
    ASSERT_TRUE(waitUntil([&] { return core_->pendingQueryCount() == 0; }));
    EXPECT_EQ(core_->cachedStatusCount(), 5u);
    EXPECT_EQ(core_->getStatus(path("unseen")), TarnwellCore::UpToDate);
    EXPECT_EQ(core_->cachedStatusCount(), 6u);
    EXPECT_EQ(daemon_->count("query_stat"), 6u);
}

// Sends both datagrams to 127.0.0.1:port in one call, so that nothing can
// come between them on the sending side.
bool sendBoth(std::uint16_t port, const std::string& first, const std::string& second) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    std::array<iovec, 2> data{{{const_cast<char*>(first.data()), first.size()},
                               {const_cast<char*>(second.data()), second.size()}}};
    std::array<mmsghdr, 2> messages{};
    for (std::size_t i = 0; i < messages.size(); ++i) {
        messages[i].msg_hdr.msg_name = &to;
        messages[i].msg_hdr.msg_namelen = sizeof to;
        messages[i].msg_hdr.msg_iov = &data[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int sent = ::sendmmsg(fd, messages.data(), messages.size(), 0);
    ::close(fd);
    return sent == 2;
}

// While the daemon announces changes, a path nobody has seen waits until they
// pause, even with nothing else to ask: asked at once, a big sync's every
// file would cost the daemon a query while the listener needs the CPU to
// keep up. The unseen path's change comes first, the known path's right
// behind it, well within the pause: the known one must be asked first.
TEST_F(CoreTest, PathNobodySawIsAskedOnlyOnceTheChangesPause) {
    startAndWaitForRoots();
    const std::string unseen = root_ + "/unseen";
    const std::string known = root_ + "/known";
    core_->setStatus(known, TarnwellCore::Syncing);
    ASSERT_TRUE(core_->waitUntilListening(kDeadline));
    ASSERT_TRUE(sendBoth(notifyPort_, notification("refresh_stat", unseen),
                         notification("refresh_stat", known)));
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 2; }));
    EXPECT_EQ(daemon_->requests("query_stat"), (std::vector<std::string>{known, unseen}));
}

// A big folder's listing queues thousands of status queries; a menu action
// picked after it must reach the daemon behind a few of them, not all.
TEST_F(CoreTest, MenuActionOvertakesABacklogOfStatusQueries) {
    startAndWaitForRoots();
    daemon_->hold("query_stat");
    for (int i = 0; i < 3000; ++i) {
        core_->ensureStatusQueried(root_ + "/f" + std::to_string(i));
    }
    core_->sendMenuAction("get_share_link", root_ + "/f7");
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 1; }));
    daemon_->release("query_stat");
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("get_share_link") == 1; }));
    const auto order = daemon_->order();
    const auto action = std::find(order.begin(), order.end(), "get_share_link " + root_ + "/f7");
    // Behind the query on the wire and the window in the channel at most.
    EXPECT_LE(std::count_if(order.begin(), action,
                            [](const std::string& r) { return r.rfind("query_stat", 0) == 0; }),
              1 + static_cast<long>(WantedQueries::kWindow));
}

// What the host drew last is what a person looks at: its rows go first, top
// to bottom, and a row drawn again moves ahead with them. Each frame's asks
// carry one time here, so the redraws are marked rather than hoped for: a
// sleep between frames, and the hope that one frame's asks fall within the
// gap, made two frames of one under load.
TEST(WantedQueriesTest, LatestRedrawIsAskedFirstAndARedrawnPathMovesAhead) {
    WantedQueries wanted;
    std::vector<std::string> sent;
    std::vector<std::string> dropped;
    const auto firstFrame = WantedQueries::Clock::now();
    for (const char* path : {"a0", "a1", "a2", "a3", "a4"}) {
        wanted.ask(path, WantedQueries::Priority::Drawn, firstFrame, dropped);
        wanted.takeToSend(sent, WantedQueries::Clock::now());
    }
    const auto nextFrame = firstFrame + WantedQueries::kRedrawGap * 3;
    for (const char* path : {"b0", "a3", "b1"}) {
        wanted.ask(path, WantedQueries::Priority::Drawn, nextFrame, dropped);
    }
    // The replies come back one at a time, each making room for the next.
    for (std::size_t answered = 0; answered < sent.size(); ++answered) {
        wanted.finish(sent[answered], TarnwellCore::UpToDate, true, nextFrame);
        wanted.takeToSend(sent, WantedQueries::Clock::now());
    }
    // a0 and a1 were in the window before the redraw.
    EXPECT_EQ(sent, (std::vector<std::string>{"a0", "a1", "b0", "a3", "b1", "a2", "a4"}));
    EXPECT_TRUE(dropped.empty());
}

// While a big sync is announced, paths nobody sees cost the daemon and the
// listener nothing: they go out once the changes pause, or when the listener
// says they paused.
TEST(WantedQueriesTest, UnseenPathsWaitUntilTheChangesPause) {
    WantedQueries wanted;
    std::vector<std::string> sent;
    std::vector<std::string> dropped;
    const auto start = WantedQueries::Clock::now();
    const auto at = [&](int ms) { return start + std::chrono::milliseconds(ms); };
    wanted.ask("unseen", WantedQueries::Priority::Unseen, at(0), dropped);
    wanted.ask("known", WantedQueries::Priority::ChangedUndrawn, at(8), dropped);
    wanted.takeToSend(sent, at(9));
    EXPECT_EQ(sent, std::vector<std::string>{"known"});
    wanted.finish("known", TarnwellCore::UpToDate, true, at(12));
    wanted.takeToSend(sent, at(12));
    EXPECT_EQ(sent.size(), 1u);
    wanted.takeToSend(sent, at(8) + WantedQueries::kChangesPause);
    EXPECT_EQ(sent, (std::vector<std::string>{"known", "unseen"}));

    wanted.ask("unseen too", WantedQueries::Priority::Unseen, at(30), dropped);
    wanted.takeToSend(sent, at(31), /*paused=*/true);
    EXPECT_EQ(sent.back(), "unseen too");
}

// A change to a row on the screen keeps its old status shown until the row is
// asked again, and draws go first. After new roots emptied the cache, with the
// daemon answering every 200 to 300 ms, the rows still to fill and those
// scrolled in kept coming for over 5 s: the changed row was never asked, its
// wrong emblem stayed until its wait expired. It now waits a second at most.
// Four rows on the screen asked, then one answer every 250 ms with a row
// scrolled in before each, as a host fills its window from a slow daemon.
struct RowsFromASlowDaemon {
    WantedQueries wanted;
    std::vector<std::string> sent;
    std::vector<std::string> dropped;
    const WantedQueries::Clock::time_point start = WantedQueries::Clock::now();
    std::size_t answered = 0;

    RowsFromASlowDaemon() {
        for (const char* row : {"r0", "r1", "r2", "r3"}) {
            wanted.ask(row, WantedQueries::Priority::Drawn, at(0), dropped);
        }
        wanted.takeToSend(sent, at(0));
    }
    WantedQueries::Clock::time_point at(int ms) const {
        return start + std::chrono::milliseconds(ms);
    }
    // The next quarter second: `before` runs first, at its time.
    void answerUntil(int lastMs, const std::function<void(int ms)>& before = {}) {
        for (int ms = 250; ms <= lastMs; ms += 250) {
            if (before) {
                before(ms);
            }
            wanted.ask("new" + std::to_string(ms), WantedQueries::Priority::Drawn, at(ms), dropped);
            wanted.finish(sent[answered++], TarnwellCore::UpToDate, true, at(ms));
            wanted.takeToSend(sent, at(ms));
        }
    }
};

TEST(WantedQueriesTest, AChangedRowOnScreenWaitsBehindDrawsOnlySoLong) {
    RowsFromASlowDaemon rows;
    rows.wanted.ask("changed", WantedQueries::Priority::ChangedDrawn, rows.at(0), rows.dropped);
    rows.answerUntil(3000);
    const std::vector<std::string>& sent = rows.sent;
    const auto changed = std::find(sent.begin(), sent.end(), "changed");
    ASSERT_TRUE(changed != sent.end()) << "never asked again while rows kept coming";
    // Sent with the first answer a second after its ask, ahead of every row
    // still waiting.
    EXPECT_EQ(changed - sent.begin(), 2 + 1000 / 250 - 1);
    EXPECT_TRUE(rows.dropped.empty());
}

// A path that changed while nobody drew it keeps its old status, and the host
// draws it from the cache: from that draw on it is a change on the screen,
// not one that waits behind every draw until its ask expires.
TEST(WantedQueriesTest, AChangedPathDrawnWithItsOldStatusCountsAsOnTheScreen) {
    RowsFromASlowDaemon rows;
    rows.wanted.ask("changed", WantedQueries::Priority::ChangedUndrawn, rows.at(0), rows.dropped);
    rows.answerUntil(4500, [&](int ms) {
        if (ms == 500) {
            rows.wanted.drawnWithOldStatus("changed", rows.at(ms));
        }
    });
    const std::vector<std::string>& sent = rows.sent;
    const auto changed = std::find(sent.begin(), sent.end(), "changed");
    ASSERT_TRUE(changed != sent.end()) << "left behind the draws";
    // A second after the draw, with the first answer then.
    EXPECT_EQ(changed - sent.begin(), 2 + 1500 / 250 - 1);
}

// The descriptor of this process's UDP socket bound to `port`, or -1.
int udpSocketOn(std::uint16_t port) {
    for (int fd = 0; fd < 1024; ++fd) {
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

// A flood that overflowed the queue may have hidden any change. Emptying the
// whole state made every emblem on the screen blink for as long as a big
// sync lasted; what was drawn in the last moments stays while it is asked
// again, before anything else, and only the rest is forgotten.
TEST_F(CoreTest, LostNotificationsKeepWhatIsOnScreenVisibleAndAskItAgainFirst) {
    startAndWaitForRoots();
    const std::string shown = root_ + "/shown";
    const std::string hidden = root_ + "/hidden";
    core_->setStatus(shown, TarnwellCore::Syncing);
    core_->setStatus(hidden, TarnwellCore::Syncing);
    ASSERT_EQ(core_->getStatus(shown), TarnwellCore::Syncing);  // drawn
    daemon_->setStat(shown, "0");
    daemon_->hold("query_stat");
    ASSERT_TRUE(core_->waitUntilListening(kDeadline));
    // The smallest queue the kernel grants holds a few datagrams.
    const int listenerSocket = udpSocketOn(notifyPort_);
    ASSERT_GE(listenerSocket, 0);
    const int tiny = 1;
    ASSERT_EQ(::setsockopt(listenerSocket, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny), 0);
    const std::string elsewhere = notification("refresh_stat", "/elsewhere/f");
    ASSERT_TRUE(waitUntil([&] {
        for (int i = 0; i < 1000; ++i) {
            test::sendDatagram(notifyPort_, elsewhere);
        }
        return log_.waitForLineContaining("notifications were lost", 0ms);
    }));
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") >= 1; }));
    EXPECT_EQ(daemon_->requests("query_stat").front(), shown);
    EXPECT_EQ(core_->getStatus(shown), TarnwellCore::Syncing);
    EXPECT_TRUE(core_->isInSyncDir(shown));
    EXPECT_EQ(core_->cachedStatusCount(), 1u);  // hidden is forgotten
    EXPECT_TRUE(waitUntil([&] { return daemon_->count("get_tw_roots") >= 2; }));
    daemon_->release("query_stat");
    EXPECT_TRUE(waitUntil([&] { return core_->getStatus(shown) == TarnwellCore::UpToDate; }));
    EXPECT_EQ(core_->getStatus(hidden), TarnwellCore::NotCached);
}

TEST_F(CoreTest, IgnoredNotificationsSendNothing) {
    startAndWaitForRoots();
    const std::string outside = TarnwellCore::canonicalizePath(tmp_.dir("Other")) + "/x";
    notify(notification("refresh_stat", outside));
    notify("refresh_stat\npath\ndone\n");  // no TAB: no "path" argument
    notify(notification("refresh_stat"));
    notify(notification("unknown_notification", root_ + "/y"));
    // The listener handles datagrams in order: once this one is answered,
    // the ones before it have had their chance to send.
    notify(notification("refresh_stat", root_ + "/sentinel"));
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 1; }));
    EXPECT_EQ(daemon_->requests("query_stat"), (std::vector<std::string>{root_ + "/sentinel"}));
}

TEST_F(CoreTest, NothingIsQueriedWhileDisconnected) {
    auto lonely = std::make_unique<TarnwellCore>(test::freeTcpPort(), test::freeUdpPort());
    lonely->initialize();
    EXPECT_FALSE(lonely->isDaemonConnected());
    lonely->setStatus(root_ + "/a", TarnwellCore::Syncing);  // no roots, so still no emblem
    EXPECT_FALSE(lonely->isInSyncDir(root_ + "/a"));
    lonely->queryFileStatus(CanonicalPath(root_ + "/b"));
    lonely->ensureStatusQueried(root_ + "/b");
    EXPECT_EQ(lonely->pendingQueryCount(), 0u);
}

TEST_F(CoreTest, DaemonRestartClearsEverythingThenFetchesTheRootsAgain) {
    startAndWaitForRoots();
    const std::string file = root_ + "/a.txt";
    daemon_->setStat(file, "1");
    core_->ensureStatusQueried(file);
    ASSERT_TRUE(waitUntil([&] { return core_->getStatus(file) == TarnwellCore::Syncing; }));

    const std::uint16_t port = daemon_->port();
    daemon_->crash();
    ASSERT_TRUE(log_.waitForLine("tarnwell: daemon disconnected, clearing cache"));
    // The line comes just before the clearing.
    EXPECT_TRUE(waitUntil([&] {
        return !core_->isInSyncDir(file) && core_->getStatus(file) == TarnwellCore::NotCached;
    }));

    daemon_ = std::make_unique<FakeDaemon>(port, std::vector<std::string>{root_});
    daemon_->setStat(file, "3");
    ASSERT_TRUE(waitUntil([&] { return core_->isInSyncDir(file); }));
    core_->ensureStatusQueried(file);
    EXPECT_TRUE(waitUntil([&] { return core_->getStatus(file) == TarnwellCore::ReadOnly; }));
}

TEST_F(CoreTest, ShutdownWhileConnectedClearsOnTheWorkerBeforeCoreShutdown) {
    startAndWaitForRoots();
    core_->initialize();  // a second call does nothing
    core_->shutdown();
    EXPECT_TRUE(core_->syncRoots().empty());
    const auto lines = log_.lines();
    const auto disconnected =
        std::find(lines.begin(), lines.end(), "tarnwell: daemon disconnected, clearing cache");
    const auto shutdown = std::find(lines.begin(), lines.end(), "tarnwell: core shutdown");
    ASSERT_NE(disconnected, lines.end());
    ASSERT_NE(shutdown, lines.end());
    EXPECT_LT(disconnected, shutdown);
    EXPECT_EQ(log_.count("tarnwell: core initialized"), 1u);
    core_->shutdown();  // idle: nothing more
    EXPECT_EQ(log_.count("tarnwell: core shutdown"), 1u);
}

TEST_F(CoreTest, InitializeAfterShutdownConnectsOnceMore) {
    startAndWaitForRoots();
    core_->shutdown();
    core_->initialize();
    ASSERT_TRUE(waitUntil([&] { return !core_->syncRoots().empty(); }));
    // One connect hook per connection, however often the core was started.
    EXPECT_EQ(log_.count("tarnwell: daemon connected, fetching sync roots..."), 2u);
    EXPECT_EQ(daemon_->count("get_tw_roots"), 2u);
}

// --- Telling the host that an emblem may have changed ---

// What the core told a host, as a host records it on the core's threads.
class NoticeLog {
public:
    void record(const EmblemNotice& notice) {
        std::lock_guard lock(mutex_);
        everything_ += notice.everything ? 1 : 0;
        paths_.insert(paths_.end(), notice.paths.begin(), notice.paths.end());
    }
    std::size_t pathCount(const std::string& path) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(paths_.begin(), paths_.end(), path));
    }
    int everything() const {
        std::lock_guard lock(mutex_);
        return everything_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> paths_;  // guarded by mutex_
    int everything_ = 0;              // guarded by mutex_
};

TEST_F(CoreTest, ReplyAndPushThatChangeAStatusAreToldAndAConfirmingReplyIsNot) {
    // Shared with the callback, which the core may still run after the
    // test's body, until the fixture stops it.
    const auto log = std::make_shared<NoticeLog>();
    NoticeLog& notices = *log;
    core_->addEmblemNoticeCallback([log](const EmblemNotice& notice) { log->record(notice); });
    startAndWaitForRoots();
    const std::string file = root_ + "/doc.txt";
    daemon_->setStat(file, "1");
    core_->ensureStatusQueried(file);  // a draw's answer arrives
    ASSERT_TRUE(waitUntil([&] { return notices.pathCount(file) == 1; }));
    EXPECT_EQ(core_->getStatus(file), TarnwellCore::Syncing);

    notify(notification("refresh_stat", file));  // the same status again
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 2; }));
    daemon_->setStat(file, "0");
    notify(notification("refresh_stat", file));  // a pushed change
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 3; }));
    ASSERT_TRUE(waitUntil([&] { return core_->getStatus(file) == TarnwellCore::UpToDate; }));
    // Notices run in reply order on the worker: the confirming reply's would
    // have come before the change's.
    EXPECT_TRUE(waitUntil([&] { return notices.pathCount(file) == 2; }));
    EXPECT_EQ(notices.pathCount(file), 2u);
}

TEST_F(CoreTest, RootsChangeAndADaemonRestartAreToldAsEverything) {
    // Shared with the callback, which the core may still run after the
    // test's body, until the fixture stops it.
    const auto log = std::make_shared<NoticeLog>();
    NoticeLog& notices = *log;
    core_->addEmblemNoticeCallback([log](const EmblemNotice& notice) { log->record(notice); });
    startAndWaitForRoots();
    // Connected (told, as the old daemon's emblems may show), then the roots.
    ASSERT_TRUE(waitUntil([&] { return notices.everything() >= 2; }));

    notify(notification("refresh_tw_root"));  // emptied, then fetched again
    ASSERT_TRUE(waitUntil([&] { return notices.everything() >= 4; }));

    const std::uint16_t port = daemon_->port();
    daemon_->crash();
    ASSERT_TRUE(waitUntil([&] { return notices.everything() >= 5; }));  // gone
    daemon_ = std::make_unique<FakeDaemon>(port, std::vector<std::string>{root_});
    // Back: connected, then its roots.
    EXPECT_TRUE(waitUntil([&] { return notices.everything() >= 7; }));
}

// A file manager keeps each emblem it was told until told otherwise, so all
// it was told is on its screen. Forgetting every status after a flood made it
// ask about each file twice, which held its window for hundreds of
// milliseconds; each status is now kept and asked again, only the one that
// changed is told, and the same roots fetched again tell nothing.
TEST_F(CoreTest, LostNotificationsInAHostThatKeepsItsEmblemsKeepAllAndTellOnlyWhatChanged) {
    const auto log = std::make_shared<NoticeLog>();
    NoticeLog& notices = *log;
    core_->addEmblemNoticeCallback([log](const EmblemNotice& notice) { log->record(notice); });
    startAndWaitForRoots();
    ASSERT_TRUE(waitUntil([&] { return notices.everything() >= 2; }));  // connected, roots
    const std::string same = root_ + "/same";
    const std::string changed = root_ + "/changed";
    core_->setStatus(same, TarnwellCore::Syncing);
    core_->setStatus(changed, TarnwellCore::Syncing);
    daemon_->setStat(same, "1");
    daemon_->setStat(changed, "0");  // changed while its notification was lost
    daemon_->hold("query_stat");

    core_->handleNotificationsLost();
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") == 1; }));
    EXPECT_EQ(core_->getStatus(same), TarnwellCore::Syncing);  // kept while asked
    EXPECT_EQ(core_->getStatus(changed), TarnwellCore::Syncing);
    daemon_->release("query_stat");
    // The roots went out first, and their reply is handled before these.
    ASSERT_TRUE(waitUntil([&] { return core_->getStatus(changed) == TarnwellCore::UpToDate; }));
    EXPECT_TRUE(waitUntil([&] { return notices.pathCount(changed) == 1; }));
    EXPECT_EQ(core_->getStatus(same), TarnwellCore::Syncing);
    EXPECT_EQ(notices.pathCount(same), 0u);
    EXPECT_EQ(daemon_->count("query_stat"), 2u);
    EXPECT_EQ(daemon_->count("get_tw_roots"), 2u);
    EXPECT_EQ(notices.everything(), 2);
}

// A host's callback may call back into the core: a notice given under one of
// the core's locks would deadlock here.
TEST_F(CoreTest, NoticeRunsWithNoCoreLockHeldSoTheCallbackMayCallBackIn) {
    const std::string file = root_ + "/doc.txt";
    const auto calledBack = std::make_shared<std::atomic<int>>(0);
    TarnwellCore* const core = core_.get();  // outlives every call of the callback
    core_->addEmblemNoticeCallback([core, calledBack](const EmblemNotice& notice) {
        for (const std::string& path : notice.paths) {
            core->setStatus(path, core->getStatus(path));  // the status lock, exclusive
            core->ensureStatusQueried(path);                // the pending lock
            static_cast<void>(core->pendingQueryCount());
        }
        static_cast<void>(core->syncRoots());  // the roots' lock
        core->removeEmblemNoticeCallback(core->addEmblemNoticeCallback([](const EmblemNotice&) {}));
        ++*calledBack;
    });
    daemon_->setStat(file, "2");
    startAndWaitForRoots();
    core_->ensureStatusQueried(file);
    EXPECT_TRUE(waitUntil([&] { return core_->getStatus(file) == TarnwellCore::Locked; }));
    EXPECT_TRUE(waitUntil([&] { return *calledBack >= 3; }));  // connected, roots, reply
}

// --- Reply handlers fed directly ---

CommandPtr rootsReply(std::vector<std::string> roots) {
    auto command = CommandClient::createCommand(nullptr, nullptr, "get_tw_roots");
    command->response["path"] = std::move(roots);
    return command;
}

TEST(CoreHandlers, FirstListedRootWinsAndPrefixesNeedASlash) {
    TarnwellCore core(test::freeTcpPort(), test::freeUdpPort());
    core.handleGetTwRootsResponse(rootsReply({"/data", "/data/work"}).get());
    EXPECT_EQ(core.findParentSyncRoot("/data/work/f"), "/data");
    core.handleGetTwRootsResponse(rootsReply({"/data/work", "/data"}).get());
    EXPECT_EQ(core.findParentSyncRoot("/data/work/f"), "/data/work");
    EXPECT_EQ(core.findParentSyncRoot("/data"), "/data");
    EXPECT_EQ(core.findParentSyncRoot("/data2/x"), "");
    EXPECT_EQ(core.findParentSyncRoot("/dat"), "");
    core.handleGetTwRootsResponse(rootsReply({"/"}).get());
    EXPECT_TRUE(core.isInSyncDir("/"));
    EXPECT_FALSE(core.isInSyncDir("/data"));
}

TEST(CoreHandlers, RootsReplyWithoutPathsKeepsTheListAndRunsNoCallback) {
    StderrCapture log;
    TarnwellCore core(test::freeTcpPort(), test::freeUdpPort());
    int callbacks = 0;
    core.addRootsChangedCallback([&] { ++callbacks; });
    core.handleGetTwRootsResponse(rootsReply({"/data"}).get());
    core.handleGetTwRootsResponse(
        CommandClient::createCommand(nullptr, nullptr, "get_tw_roots").get());
    core.handleGetTwRootsResponse(rootsReply({}).get());
    EXPECT_EQ(core.syncRoots(), std::vector<std::string>{"/data"});
    EXPECT_EQ(callbacks, 1);
    EXPECT_EQ(log.count("tarnwell: no sync roots found"), 2u);
    core.handleGetTwRootsResponse(rootsReply({"", "rel"}).get());  // all dropped
    EXPECT_TRUE(core.syncRoots().empty());
    EXPECT_EQ(callbacks, 2);
}

TEST(CoreHandlers, StatValuesOutsideZeroToThreeAreNoStatus) {
    TarnwellCore core(test::freeTcpPort(), test::freeUdpPort());
    const std::string path = "/tarnwell-missing-9f3/f";
    const std::vector<std::pair<std::optional<std::string>, TarnwellCore::SyncStatus>> cases = {
        {"1", TarnwellCore::Syncing},
        {"3", TarnwellCore::ReadOnly},
        {"7", TarnwellCore::NotCached},
        {"-1", TarnwellCore::NotCached},
        {"2abc", TarnwellCore::Locked},
        {"", TarnwellCore::UpToDate},
        {" +2", TarnwellCore::Locked},
        {"4294967297", TarnwellCore::NotCached},  // would wrap to 1 in 32 bits
        {"-4294967295", TarnwellCore::NotCached},
        {"99999999999999999999999", TarnwellCore::NotCached},
        {std::nullopt, TarnwellCore::NotCached},
    };
    for (const auto& [stat, expected] : cases) {
        core.setStatus(path, TarnwellCore::UpToDate);
        ArgumentMap response;
        if (stat) {
            response["stat"] = {*stat};
        }
        core.applyQueryStatReply(path, response);
        EXPECT_EQ(core.getStatus(path), expected) << (stat ? *stat : "<none>");
    }
}

// The status is filed under the path the plug-in asked about: a daemon that
// names another path in its answer changes nothing there.
TEST_F(CoreTest, ReplyChangesOnlyThePathItWasAskedFor) {
    startAndWaitForRoots();
    const std::string asked = root_ + "/b";
    const std::string named = root_ + "/a";
    core_->setStatus(named, TarnwellCore::Syncing);
    // The raw "stat" text carries a second argument line: the answer names
    // another path after the status.
    daemon_->setStat(asked, "2\npath\t" + named);
    core_->ensureStatusQueried(asked);
    ASSERT_TRUE(waitUntil([&] { return core_->getStatus(asked) == TarnwellCore::Locked; }));
    EXPECT_EQ(core_->getStatus(named), TarnwellCore::Syncing);
}

// Host threads read while roots replies, status replies, root refreshes and
// reconnects change the state underneath. Run under ThreadSanitizer in CI.
TEST_F(CoreTest, HostLookupsRaceWithRepliesNotificationsAndReconnects) {
    startAndWaitForRoots();
    std::atomic<bool> stop{false};
    std::atomic<long> lookups{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 3; ++t) {
        hosts.emplace_back([&, t] {
            for (int i = 0; !stop; i = (i + 1) % 200) {
                const std::string path =
                    root_ + "/d" + std::to_string(t) + "/f" + std::to_string(i);
                if (core_->isInSyncDir(path) && core_->getStatus(path) == TarnwellCore::NotCached) {
                    core_->ensureStatusQueried(path);
                }
                core_->findParentSyncRoot(path);
                ++lookups;
            }
        });
    }
    for (int round = 0; round < 6; ++round) {
        notify(notification("refresh_tw_root"));
        notify(notification("refresh_stat", root_ + "/d0/f1"));
        core_->commandClient()->forceReconnect();
        const std::size_t seen = daemon_->count("get_tw_roots");
        ASSERT_TRUE(waitUntil([&] { return daemon_->count("get_tw_roots") > seen; }));
    }
    ASSERT_TRUE(waitUntil([&] { return daemon_->count("query_stat") > 10; }));
    stop = true;
    for (auto& h : hosts) {
        h.join();
    }
    EXPECT_GT(lookups.load(), 100);
    core_->shutdown();
    EXPECT_EQ(core_->pendingQueryCount(), 0u);
    EXPECT_TRUE(core_->syncRoots().empty());
}

// A flood of asks or "refresh_stat" must not grow without end, and a path
// dropped while its changed status waited to be asked again must not keep
// showing the status the daemon said is out of date.
TEST(WantedQueries, BoundedByCountAndAgeAndADroppedChangedPathLosesItsStatus) {
    using Clock = WantedQueries::Clock;
    constexpr auto Drawn = WantedQueries::Priority::Drawn;
    WantedQueries wanted;
    std::vector<std::string> dropped;
    std::vector<std::string> toSend;
    const Clock::time_point t0 = Clock::now();
    for (std::size_t i = 0; i <= WantedQueries::kCapacity; ++i) {
        wanted.ask("/p" + std::to_string(i), Drawn, t0, dropped);
    }
    EXPECT_EQ(wanted.waiting(), WantedQueries::kCapacity);
    EXPECT_EQ(dropped, std::vector<std::string>{"/p0"});  // the oldest
    wanted.clear();
    dropped.clear();
    wanted.ask("/old", Drawn, t0, dropped);
    wanted.ask("/young", Drawn, t0 + WantedQueries::kLifetime / 2, dropped);
    wanted.dropExpired(t0 + WantedQueries::kLifetime, dropped);
    wanted.takeToSend(toSend, WantedQueries::Clock::now());
    EXPECT_EQ(dropped, std::vector<std::string>{"/old"});
    EXPECT_EQ(toSend, std::vector<std::string>{"/young"});

    StatusCache cache;
    toSend.clear();
    cache.want("/w1", Drawn, toSend);  // the window fills
    cache.want("/w2", Drawn, toSend);
    cache.set("/changed", TarnwellCore::Syncing);
    cache.want("/changed", WantedQueries::Priority::ChangedUndrawn, toSend);
    for (std::size_t i = 0; i < WantedQueries::kCapacity; ++i) {
        cache.want("/q" + std::to_string(i), Drawn, toSend);
    }
    EXPECT_EQ(toSend, (std::vector<std::string>{"/w1", "/w2"}));
    EXPECT_EQ(cache.pendingCount(), WantedQueries::kCapacity + WantedQueries::kWindow);
    cache.applyReply("/w1", TarnwellCore::UpToDate, true, toSend);  // the worker's next pass
    EXPECT_EQ(cache.find("/changed"), std::nullopt);
}

// A file manager that keeps what it was told (the GTK ones draw a file's
// emblem once) showed "/changed" as syncing; the daemon said it changed, and
// its query was dropped in a flood. The status is forgotten as out of date:
// untold, the file manager would show it for as long as the folder is open.
TEST(WantedQueries, StatusForgottenForADroppedQueryIsToldAndNoOtherPath) {
    constexpr auto Drawn = WantedQueries::Priority::Drawn;
    std::vector<EmblemNotice> told;
    StatusCache cache([&told](const EmblemNotice& notice) { told.push_back(notice); });
    std::vector<std::string> toSend;
    cache.want("/w1", Drawn, toSend);  // the window fills
    cache.want("/w2", Drawn, toSend);
    cache.set("/changed", TarnwellCore::Syncing);
    cache.want("/changed", WantedQueries::Priority::ChangedUndrawn, toSend);
    cache.want("/dropped-without-status", WantedQueries::Priority::ChangedUndrawn, toSend);
    for (std::size_t i = 0; i < WantedQueries::kCapacity; ++i) {
        cache.want("/q" + std::to_string(i), Drawn, toSend);  // pushes both out
    }
    EXPECT_TRUE(told.empty());  // the host's asks forget nothing themselves
    cache.applyReply("/w1", TarnwellCore::UpToDate, true, toSend);
    ASSERT_EQ(told.size(), 1U);
    EXPECT_FALSE(told[0].everything);
    EXPECT_EQ(told[0].paths, std::vector<std::string>{"/changed"});
}

// The host's ask that pushes a changed path out of a full list must not wait
// for the statuses' lock to forget that path's status: a writer may hold it
// (a big store, a clear), and the host's thread would freeze meanwhile.
TEST(WantedQueries, HostAskThatPushesOutAChangedPathNeverWaitsForAWriter) {
    constexpr auto Drawn = WantedQueries::Priority::Drawn;
    StatusCache cache;
    std::vector<std::string> toSend;
    cache.want("/w1", Drawn, toSend);  // the window fills
    cache.want("/w2", Drawn, toSend);
    cache.set("/changed", TarnwellCore::Syncing);
    cache.want("/changed", WantedQueries::Priority::ChangedUndrawn, toSend);
    for (std::size_t i = 1; i < WantedQueries::kCapacity; ++i) {
        cache.want("/q" + std::to_string(i), Drawn, toSend);
    }
    std::atomic<bool> held{false};
    std::atomic<bool> asked{false};
    bool askedWhileHeld = false;
    std::thread writer([&] {
        cache.holdStatusLockForTest([&] {
            held = true;
            askedWhileHeld = waitUntil([&] { return asked.load(); });
        });
    });
    ASSERT_TRUE(waitUntil([&] { return held.load(); }));
    cache.want("/last", Drawn, toSend);  // pushes "/changed" out
    asked = true;
    writer.join();
    EXPECT_TRUE(askedWhileHeld);
    cache.applyReply("/w1", TarnwellCore::UpToDate, true, toSend);
    EXPECT_EQ(cache.find("/changed"), std::nullopt);
}

// A query goes out, new roots empty the cache, and the answer, made from the
// status before the change that came with them, arrives after: stored, it
// would show that old status with nothing left to ask again (found by the
// chaos run, seed 2503). It is dropped, and the next draw asks anew.
TEST(WantedQueries, ReplyToAQueryAskedBeforeAClearIsNotStored) {
    StatusCache cache;
    std::vector<std::string> toSend;
    const std::uint64_t askedIn = cache.clears();
    cache.want("/p", WantedQueries::Priority::Drawn, toSend);
    ASSERT_EQ(toSend, std::vector<std::string>{"/p"});
    cache.clear();
    toSend.clear();
    cache.applyReply("/p", TarnwellCore::Syncing, true, toSend, askedIn);
    EXPECT_EQ(cache.find("/p"), std::nullopt);
    cache.want("/p", WantedQueries::Priority::Drawn, toSend);
    EXPECT_EQ(toSend, std::vector<std::string>{"/p"});
    cache.applyReply("/p", TarnwellCore::UpToDate, true, toSend, cache.clears());
    EXPECT_EQ(cache.find("/p"), TarnwellCore::UpToDate);
}

// A file manager that keeps its answers asks about every file of a folder it
// opens, one at a time. Asked only when drawn, each file's answer came after
// its first ask, and the file manager had to be told and ask a second time:
// its whole work on the folder done twice. The folder is now asked ahead of
// its files' asks; each answer shows at the first one, and a change the
// daemon pushes before the draw is shown, not the answer held before it.
TEST_F(CoreTest, FolderOfAFileDrawnWithoutAStatusIsAskedAheadOncePerFile) {
    constexpr int kFiles = 200;
    std::vector<std::string> files;
    for (int i = 0; i < kFiles; ++i) {
        files.push_back(tmp_.file("Sync/big/f" + std::to_string(i)));
        daemon_->setStat(files.back(), std::to_string(i % 3));
    }
    const std::string sub = tmp_.dir("Sync/big/sub");
    // A link is asked under its target's path, as the host's draw would ask.
    ASSERT_EQ(symlink(files[0].c_str(), (root_ + "/big/link").c_str()), 0);
    startAndWaitForRoots();
    EXPECT_EQ(emblemIconFor(*core_, files[0], nullptr, /*lookAhead=*/true), nullptr);
    ASSERT_TRUE(waitUntil([&] {
        return daemon_->count("query_stat") == kFiles + 1 && core_->pendingQueryCount() == 0;
    }));
    daemon_->setStat(files[7], "3");
    notify(notification("refresh_stat", files[7]));
    ASSERT_TRUE(waitUntil([&] {
        return daemon_->count("query_stat") == kFiles + 2 && core_->pendingQueryCount() == 0;
    }));
    for (int i = 1; i < kFiles; ++i) {
        const auto status = static_cast<TarnwellCore::SyncStatus>(i == 7 ? 3 : i % 3);
        EXPECT_STREQ(emblemIconFor(*core_, files[i], nullptr, true),
                     protocol::emblemIconName(status)) << files[i];
    }
    EXPECT_STREQ(emblemIconFor(*core_, sub, nullptr, true),
                 protocol::emblemIconName(TarnwellCore::UpToDate));
    std::map<std::string, int> times;
    for (const std::string& path : daemon_->requests("query_stat")) {
        ++times[path];
    }
    EXPECT_EQ(times.size(), std::size_t{kFiles} + 1);  // the link never
    for (const auto& [path, count] : times) {
        EXPECT_EQ(count, path == files[7] ? 2 : 1) << path;
    }
}

// A listing's ask is the weakest reason to ask: it must neither ask again a
// path the daemon had no status for (a folder of them would be asked at each
// listing), nor pass for a change (paths nobody saw would wait for a pause).
TEST(WantedQueriesTest, ListedPathsGoBeforeUnseenOnesAndAskNothingForAKnownPath) {
    WantedQueries wanted;
    std::vector<std::string> sent;
    std::vector<std::string> dropped;
    const auto now = WantedQueries::Clock::now();
    wanted.ask("none", WantedQueries::Priority::Drawn, now, dropped);
    wanted.takeToSend(sent, now);
    wanted.finish("none", std::nullopt, true, now);
    wanted.ask("unseen", WantedQueries::Priority::Unseen, now - WantedQueries::kChangesPause,
               dropped);
    for (const char* path : {"none", "l0", "l1", "l2"}) {
        wanted.ask(path, WantedQueries::Priority::Listed, now, dropped);
    }
    wanted.takeToSend(sent, now);
    EXPECT_EQ(sent, (std::vector<std::string>{"none", "l0", "l1"}));
    EXPECT_FALSE(wanted.keepsReply("l0"));
    wanted.finish("l0", TarnwellCore::Syncing, false, now);
    wanted.finish("l1", TarnwellCore::Syncing, false, now);
    wanted.takeToSend(sent, now);
    EXPECT_EQ(sent, (std::vector<std::string>{"none", "l0", "l1", "l2", "unseen"}));
    EXPECT_EQ(wanted.heldAnswer("l0"), TarnwellCore::Syncing);
    EXPECT_EQ(wanted.unanswered(), 1u);
}

// A GTK file manager draws a file once and keeps its emblem. A held answer
// shown at that draw while a store held the lock stayed held: the path passed
// for one nobody drew, the answer to its next change was held as well and
// never told, and the old emblem stayed for as long as the folder was open.
TEST(WantedQueries, ADrawNeverLeavesAPathWithOnlyAHeldAnswer) {
    StatusCache cache;
    std::vector<std::string> toSend;
    cache.wantAhead({"/p"}, toSend);
    ASSERT_EQ(toSend, std::vector<std::string>{"/p"});
    toSend.clear();
    EXPECT_FALSE(cache.applyReply("/p", TarnwellCore::Syncing, true, toSend));
    std::optional<std::int32_t> shown;
    cache.holdStatusLockForTest(
        [&] { std::thread([&] { shown = cache.adoptHeldAnswer("/p"); }).join(); });
    if (!shown) {
        cache.want("/p", WantedQueries::Priority::Drawn, toSend);  // as a draw without a status
    }
    EXPECT_TRUE(cache.find("/p") || cache.isPending("/p"));
}

}  // namespace
}  // namespace tarnwell
