// The chaos run's oracle against hand-written histories: an oracle that lets a
// wrong emblem pass hides the faults the run exists to find, and one that
// flags a right one makes every run fail.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/posix_io.h"
#include "copy_owner.h"
#include "oracle.h"
#include "support/test_support.h"

namespace tarnwell::chaos {
namespace {

using namespace std::chrono_literals;

class ChaosOracle : public ::testing::Test {
protected:
    ChaosOracle() {
        tree_.base = "/r";
        tree_.rootCandidates = {"/r/Documents", "/r/Photos", "/r/Team"};
        add("/r/Documents/a.txt", 0);
        add("/r/Elsewhere/b.txt", kOutside);
        tree_.rowCount = tree_.paths.size();
        oracle_ = std::make_unique<Oracle>(tree_, Bounds{}, 7, start_, out_);
        oracle_->rootsChanged(0b111, at(0ms));
        oracle_->connectionOpened(at(0ms));
        oracle_->statusChanged(kFile, 1, at(0ms));
    }

    void add(const std::string& path, int root) {
        tree_.indexOf[path] = static_cast<int>(tree_.paths.size());
        tree_.paths.push_back(path);
        tree_.rootOf.push_back(root);
        tree_.isFolder.push_back(false);
    }
    TimePoint at(Millis offset) const { return start_ + 1s + offset; }
    std::uint64_t broken(Rule rule) const {
        return oracle_->figures().violations[static_cast<std::size_t>(rule)];
    }

    static constexpr int kFile = 0;
    static constexpr int kOutsideFile = 1;
    const TimePoint start_ = Clock::now();
    Tree tree_;
    std::ostringstream out_;
    std::unique_ptr<Oracle> oracle_;
};

TEST_F(ChaosOracle, OldStatusIsAllowedWithinTheWindowAndAViolationPastIt) {
    oracle_->statusChanged(kFile, 2, at(1000ms));
    oracle_->checkDraw(kFile, 1, at(5900ms));
    EXPECT_EQ(broken(Rule::Stale), 0U);
    oracle_->checkDraw(kFile, 1, at(6100ms));
    EXPECT_EQ(broken(Rule::Stale), 1U);
    EXPECT_NE(out_.str().find("seed 7, path /r/Documents/a.txt"), std::string::npos) << out_.str();
    oracle_->checkDraw(kFile, 3, at(6200ms));
    EXPECT_EQ(broken(Rule::NeverHeld), 1U);
}

TEST_F(ChaosOracle, AnswerNotShownSoonAfterItWasWrittenIsAViolation) {
    oracle_->queryAnswered(kFile, 1, at(1000ms));
    oracle_->checkDraw(kFile, kNoStatus, at(1050ms));
    EXPECT_EQ(broken(Rule::AnswerNotShown), 0U);
    oracle_->checkDraw(kFile, kNoStatus, at(1150ms));
    EXPECT_EQ(broken(Rule::AnswerNotShown), 1U);
}

TEST_F(ChaosOracle, MissingEmblemCountsOnlyFromWhenThePathCameIntoView) {
    // First drawn long after its last change: the plug-in had no reason to
    // ask for it before, so only a missing emblem that stays a whole window
    // in view is a violation.
    for (auto t = 20000ms; t <= 25200ms; t += 100ms) {
        oracle_->checkDraw(kFile, kNoStatus, at(t));
        EXPECT_EQ(broken(Rule::NeverBack), t > 25000ms ? 1U : 0U) << t.count();
    }
}

TEST_F(ChaosOracle, EmblemWhileDisconnectedOrOutsideTheRootsIsAViolation) {
    oracle_->checkDraw(kOutsideFile, 0, at(200ms));
    EXPECT_EQ(broken(Rule::OutsideRoots), 1U);
    oracle_->rootsChanged(0b110, at(1000ms));
    oracle_->checkDraw(kFile, 1, at(1050ms));
    EXPECT_EQ(broken(Rule::OutsideRoots), 1U);
    oracle_->checkDraw(kFile, 1, at(1150ms));
    EXPECT_EQ(broken(Rule::OutsideRoots), 2U);
    oracle_->connectionClosed(at(2000ms));
    oracle_->checkDraw(kFile, 1, at(2040ms));
    oracle_->checkDraw(kFile, 1, at(2060ms));
    EXPECT_EQ(broken(Rule::Disconnected), 1U);
}

TEST_F(ChaosOracle, ActionReceivedTwiceOrLostWhileCalmIsAViolation) {
    const std::string path = tree_.paths[kFile];
    oracle_->actionPicked("publish_obj", path, at(1000ms));
    oracle_->actionReceived("publish_obj", path, at(1010ms));
    oracle_->actionReceived("publish_obj", path, at(1020ms));
    oracle_->checkActions(at(1600ms), false);
    EXPECT_EQ(broken(Rule::ActionTwice), 1U);
    oracle_->actionPicked("share_by_email", path, at(2000ms));
    oracle_->checkActions(at(2900ms), false);
    EXPECT_EQ(broken(Rule::ActionLost), 0U);
    oracle_->checkActions(at(3100ms), false);
    EXPECT_EQ(broken(Rule::ActionLost), 1U);
    // A pick the daemon was disturbed after is not held to exactly once.
    oracle_->actionPicked("share_by_email", path, at(4000ms));
    oracle_->disturbed(at(4500ms), at(5000ms));
    oracle_->checkActions(at(6000ms), false);
    EXPECT_EQ(broken(Rule::ActionLost), 1U);
    // The next calm pick of the same action is held to its own reception.
    oracle_->actionPicked("share_by_email", path, at(7000ms));
    oracle_->actionReceived("share_by_email", path, at(7010ms));
    oracle_->checkActions(at(8100ms), false);
    EXPECT_EQ(broken(Rule::ActionLost), 1U);
    // A copy in a process of its own reports its pick through a pipe: the
    // action may reach the daemon before the pick reaches the oracle.
    oracle_->actionReceived("upload_files", path, at(9010ms));
    oracle_->actionPicked("upload_files", path, at(9000ms));
    oracle_->checkActions(at(10100ms), true);
    EXPECT_EQ(broken(Rule::ActionTwice), 1U);
    EXPECT_EQ(broken(Rule::ActionLost), 1U);
}

// With several copies, each copy's oracle hears only of its own connections:
// a connection credited to the wrong copy would excuse one copy's emblems and
// blame another's.
TEST(ChaosCopyOwner, ConnectionBelongsToTheCopyWhoseProcessHoldsItsOtherEnd) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopbackAddress(0);
    socklen_t length = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    const auto connectTo = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ? fd : -1;
    };
    int hold[2];
    ASSERT_EQ(::pipe(hold), 0);
    // A copy: connects, then keeps its end until the test lets go.
    const auto startCopy = [&] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(hold[1]);
            char byte = 0;
            ::_exit(connectTo() >= 0 && ::read(hold[0], &byte, 1) >= 0 ? 0 : 1);
        }
        return pid;
    };
    const pid_t firstCopy = startCopy();
    const int first = ::accept(listener, nullptr, nullptr);
    const std::vector<pid_t> both = {firstCopy, startCopy()};
    const int second = ::accept(listener, nullptr, nullptr);
    const int mine = connectTo();
    const int ofNoCopy = ::accept(listener, nullptr, nullptr);
    EXPECT_EQ(copyHoldingPeer(first, both), 0);
    EXPECT_EQ(copyHoldingPeer(second, both), 1);
    EXPECT_EQ(copyHoldingPeer(ofNoCopy, both), -1);
    ::close(hold[1]);
    for (const pid_t pid : both) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (const int fd : {listener, hold[0], first, second, mine, ofNoCopy}) {
        ::close(fd);
    }
}

// A seed too large for 64 bits used to be read as the largest one, silently:
// the run printed a seed other than the one asked for, and nobody could
// repeat the run that was meant.
TEST(ChaosCommandLine, SeedTooLargeIsRefusedNotClamped) {
    test::ChildProcess chaos;
    ASSERT_TRUE(chaos.start({TARNWELL_CHAOS_PATH, "--seed", "18446744073709551616"}, true));
    EXPECT_EQ(chaos.wait(), 2);
    const std::vector<std::string> errors = chaos.stderrLines();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front(),
              "tarnwell-chaos: --seed wants a whole number from 0 to 18446744073709551615, got: "
              "'18446744073709551616'; see --help");
}

// "nan" minutes ended the run at once with status 0, an empty --skip skipped
// nothing, and a bad value was called a bad option, followed by the whole
// usage.
TEST(ChaosCommandLine, BadValuesAreRefusedInOneLineOnStderr) {
    // clang-format off
    const std::vector<std::vector<std::string>> bad = {
        {"--minutes", "nan"}, {"--minutes", "inf"}, {"--minutes", "1e300"},
        {"--minutes", "0"}, {"--minutes", "20000"},
        {"--seed", " 7"}, {"--seed", "+7"}, {"--seed", "-1"},
        {"--skip", ""}, {"--skip", "change,,kill"}, {"--skip", "bogus"},
        {"--copies", "9"}, {"--bogus"}};
    // clang-format on
    for (const std::vector<std::string>& args : bad) {
        std::vector<std::string> argv = {TARNWELL_CHAOS_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        test::ChildProcess chaos;
        ASSERT_TRUE(chaos.start(argv, true));
        EXPECT_EQ(chaos.wait(), 2) << args.back();
        EXPECT_TRUE(chaos.allStdout().empty()) << args.back();
        EXPECT_TRUE(test::waitUntil([&] {
            const std::vector<std::string> errors = chaos.stderrLines();
            return errors.size() == 1 && errors[0].find(args.front()) != std::string::npos &&
                   errors[0].find("; see --help") != std::string::npos;
        })) << args.back();
    }
    test::ChildProcess version;
    ASSERT_TRUE(version.start({TARNWELL_CHAOS_PATH, "--version"}));
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.allStdout(), std::vector<std::string>{"tarnwell-chaos " TARNWELL_VERSION});
}

}  // namespace
}  // namespace tarnwell::chaos
