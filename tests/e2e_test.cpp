// End to end: dfmext-host loads the plug-in with dlopen exactly as the file
// manager does, against tarnwell-daemon-sim on the plug-in's fixed ports.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "core/tarnwell_core.h"
#include "support/test_support.h"
#include "support/ui_tables.h"

namespace tarnwell {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::DaemonSim;
using test::TempDir;
using test::waitUntil;

const std::string kUpToDateIcon = test::statusIcon(TarnwellCore::UpToDate);
const std::string kSyncingIcon = test::statusIcon(TarnwellCore::Syncing);
const std::string kLockedIcon = test::statusIcon(TarnwellCore::Locked);
const std::string kReadOnlyIcon = test::statusIcon(TarnwellCore::ReadOnly);

// The lines dfmext-host prints for the plug-in's menu with `contents` as its
// sub-menu.
std::vector<std::string> hostMenu(const test::MenuContents& contents) {
    std::vector<std::string> lines = {
        "menu true", "1. " + test::kMenuHead.text + " [" + test::kMenuHead.icon + "]"};
    for (std::size_t i = 0; i < contents.size(); ++i) {
        lines.push_back("  " + std::to_string(i + 1) + ". " + contents[i].text + " [" +
                        contents[i].icon + "]");
    }
    return lines;
}

constexpr std::uint16_t kDaemonPort = 19080;
constexpr std::uint16_t kNotifyPort = 19081;

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = TarnwellCore::canonicalizePath(tmp_.dir("Sync"));
        upToDate_ = tmp_.file("Sync/uptodate.txt");
        syncing_ = tmp_.file("Sync/syncing.txt");
        locked_ = tmp_.file("Sync/locked.txt");
        readOnly_ = tmp_.file("Sync/readonly.txt");
        folder_ = tmp_.dir("Sync/Photos");
        outside_ = tmp_.file("outside.txt");
        outsideDir_ = tmp_.dir("Elsewhere");
    }

    void startDaemon() {
        ASSERT_TRUE(daemon_.startOnPort(kDaemonPort, {root_}, kNotifyPort,
                                        {"--status", syncing_ + "=1", "--status", locked_ + "=2",
                                         "--status", readOnly_ + "=3", "--status", root_ + "=1"}));
    }
    void startHost() {
        ASSERT_TRUE(host_.start({DFMEXT_HOST_PATH, "--plugin", TARNWELL_PLUGIN_PATH}, true));
    }
    bool hostLogged(const std::string& line) {
        return waitUntil([&] {
            const auto lines = host_.stderrLines();
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        });
    }
    // The plug-in logs the roots before it puts them in place, and a menu
    // built in between is the one for a file outside every root: the menu
    // of a file inside is asked for until it is the one below a root.
    void waitUntilConnectedWithRoots() {
        ASSERT_TRUE(hostLogged("tarnwell: sync root: " + root_));
        const auto outside = hostMenu(test::kMenuOutsideFile);
        const auto below = hostMenu(test::kMenuBelowFile);
        ASSERT_TRUE(waitUntil([&] {
            auto menu = run("menu '" + upToDate_ + "'", outside.size());
            if (menu == outside) {
                return false;
            }
            const auto rest = readLines(below.size() - menu.size(), "menu");
            menu.insert(menu.end(), rest.begin(), rest.end());
            return menu == below;
        }));
    }

    // Sends one command and returns the `lines` lines it prints.
    std::vector<std::string> run(const std::string& command, std::size_t lines = 1) {
        EXPECT_TRUE(host_.writeStdin(command + "\n"));
        return readLines(lines, command);
    }
    // The next `lines` lines the host prints for `command`.
    std::vector<std::string> readLines(std::size_t lines, const std::string& command) {
        std::vector<std::string> out;
        while (out.size() < lines) {
            auto line = host_.readLine();
            if (!line) {
                ADD_FAILURE() << "no output for: " << command;
                break;
            }
            out.push_back(*line);
        }
        return out;
    }
    std::string emblem(const std::string& path, const std::string& extra = "") {
        const auto out = run("emblem '" + path + "'" + extra);
        const std::string prefix = "emblem " + path + " ";
        return out.empty() || out[0].rfind(prefix, 0) != 0 ? "<" + (out.empty() ? "" : out[0]) + ">"
                                                           : out[0].substr(prefix.size());
    }

    TempDir tmp_;
    std::string root_, upToDate_, syncing_, locked_, readOnly_, folder_, outside_, outsideDir_;
    DaemonSim daemon_;
    ChildProcess host_;
};

TEST_F(EndToEnd, EmblemsShowTheFourStatesTheRootAndNothingOutside) {
    startDaemon();
    startHost();
    waitUntilConnectedWithRoots();
    EXPECT_EQ(emblem(syncing_), "-");  // first sight: not cached, query queued
    EXPECT_EQ(emblem(syncing_, " --wait 10000"), kSyncingIcon);
    EXPECT_EQ(emblem(upToDate_, " --wait 10000"), kUpToDateIcon);
    EXPECT_EQ(emblem(locked_, " --wait 10000"), kLockedIcon);
    EXPECT_EQ(emblem(readOnly_, " --wait 10000"), kReadOnlyIcon);
    EXPECT_EQ(emblem(root_ + "/", " --wait 10000"), kSyncingIcon);
    EXPECT_EQ(emblem("file://" + syncing_), kSyncingIcon);
    EXPECT_EQ(emblem(locked_, " 4"), "-");
    EXPECT_EQ(emblem(locked_, " 3"), kLockedIcon);
    EXPECT_EQ(emblem(locked_, " -5"), kLockedIcon);
    EXPECT_EQ(emblem(outside_), "-");
    // Neither the integer 4 nor a path outside the root sends a query: the
    // next query the daemon sees is this one.
    EXPECT_EQ(emblem(folder_ + "/new.txt", " 4"), "-");
    EXPECT_EQ(emblem(folder_), "-");
    auto next = daemon_.process().waitForLine([&](const std::string& l) {
        return l.rfind("request query_stat", 0) == 0 && l.find(locked_) == std::string::npos &&
               l.find(syncing_) == std::string::npos && l.find(upToDate_) == std::string::npos &&
               l.find(readOnly_) == std::string::npos && l != "request query_stat path=" + root_;
    });
    ASSERT_TRUE(next);
    EXPECT_EQ(*next, "request query_stat path=" + folder_);
}

TEST_F(EndToEnd, EmblemChangesAfterTheDaemonPushesANewStatus) {
    startDaemon();
    startHost();
    waitUntilConnectedWithRoots();
    ASSERT_EQ(emblem(syncing_, " --wait 10000"), kSyncingIcon);
    // The push is a datagram: sent before the listener has bound, it is lost.
    ASSERT_TRUE(hostLogged("tarnwell: UDP input command server started"));
    ASSERT_TRUE(daemon_.control("set " + syncing_ + " 0"));
    EXPECT_TRUE(waitUntil([&] { return emblem(syncing_) == kUpToDateIcon; }));
}

TEST_F(EndToEnd, ListingShowsEveryEntryOnceTheRepliesArrive) {
    startDaemon();
    startHost();
    waitUntilConnectedWithRoots();
    EXPECT_EQ(
        run("ls '" + root_ + "' --wait 10000", 5),
        (std::vector<std::string>{kUpToDateIcon + " Photos", kLockedIcon + " locked.txt",
                                  kReadOnlyIcon + " readonly.txt", kSyncingIcon + " syncing.txt",
                                  kUpToDateIcon + " uptodate.txt"}));
}

TEST_F(EndToEnd, MenusDependOnPlaceAndKind) {
    startDaemon();
    startHost();
    waitUntilConnectedWithRoots();
    EXPECT_EQ(run("menu '" + upToDate_ + "'", 5), hostMenu(test::kMenuBelowFile));
    EXPECT_EQ(run("menu '" + folder_ + "'", 5), hostMenu(test::kMenuBelowDirectory));
    EXPECT_EQ(run("menu '" + root_ + "/'", 4), hostMenu(test::kMenuRoot));
    EXPECT_EQ(run("menu '" + outsideDir_ + "'", 5), hostMenu(test::kMenuOutsideDirectory));
    EXPECT_EQ(run("menu '" + outside_ + "'", 3), hostMenu(test::kMenuOutsideFile));
    EXPECT_EQ(run("menu '" + tmp_.path() + "/missing'", 3), hostMenu(test::kMenuOutsideFile));
    EXPECT_EQ(run("menu '" + upToDate_ + "' --selected 2"), std::vector<std::string>{"menu false"});
    EXPECT_EQ(run("empty-menu '" + root_ + "'"), std::vector<std::string>{"menu false"});
}

TEST_F(EndToEnd, NothingIsShownWhileTheDaemonIsDown) {
    startHost();
    ASSERT_TRUE(hostLogged("tarnwell: plugin initialized"));
    EXPECT_EQ(run("menu '" + upToDate_ + "'"), std::vector<std::string>{"menu false"});
    EXPECT_EQ(emblem(upToDate_), "-");
}

TEST_F(EndToEnd, ShareLinkReachesTheDaemonWithTheCanonicalPath) {
    startDaemon();
    startHost();
    waitUntilConnectedWithRoots();
    ASSERT_EQ(::symlink(root_.c_str(), (tmp_.path() + "/link").c_str()), 0);
    const std::string viaLink = tmp_.path() + "/link/./locked.txt";
    const auto menu = run("menu '" + viaLink + "'", 5);
    ASSERT_EQ(menu.size(), 5u);
    ASSERT_EQ(menu[3], hostMenu(test::kMenuBelowFile)[3]);
    EXPECT_EQ(run("trigger 1.2"), std::vector<std::string>{"triggered 1.2 Get Share Link"});
    auto request = daemon_.waitForRequest("request publish_obj");
    ASSERT_TRUE(request);
    EXPECT_EQ(*request, "request publish_obj path=" + locked_);
    EXPECT_TRUE(
        hostLogged("tarnwell: menu triggered: Get Share Link command=publish_obj path=" + locked_));
}

TEST_F(EndToEnd, ActionPickedWhileTheDaemonIsGoneIsSkippedAndWorksAfterItReturns) {
    startDaemon();
    startHost();
    waitUntilConnectedWithRoots();
    const auto menu = run("menu '" + upToDate_ + "'", 5);
    ASSERT_EQ(menu.size(), 5u);
    ASSERT_EQ(menu[0], "menu true");
    daemon_.process().signal(SIGKILL);
    ASSERT_TRUE(daemon_.process().wait());
    ASSERT_TRUE(hostLogged("tarnwell: daemon disconnected, clearing cache"));
    EXPECT_EQ(run("trigger 1.1"), std::vector<std::string>{"triggered 1.1 Send by Email"});
    EXPECT_TRUE(hostLogged("tarnwell: menu command skipped because daemon is disconnected"));

    DaemonSim restarted;
    ASSERT_TRUE(restarted.startOnPort(kDaemonPort, {root_}, kNotifyPort));
    ASSERT_TRUE(restarted.waitForRequest("request get_tw_roots"));
    // The menu built before the outage still carries its actions.
    EXPECT_EQ(run("trigger 1.1"), std::vector<std::string>{"triggered 1.1 Send by Email"});
    auto request = restarted.waitForRequest("request share_by_email");
    ASSERT_TRUE(request);
    EXPECT_EQ(*request, "request share_by_email path=" + upToDate_);
    // Nothing was queued while the daemon was gone.
    const auto seen = restarted.process().allStdout();
    EXPECT_EQ(std::count_if(
                  seen.begin(), seen.end(),
                  [](const std::string& l) { return l.rfind("request share_by_email", 0) == 0; }),
              1);
}

TEST_F(EndToEnd, ShutdownWhileConnectedLogsInOrder) {
    startDaemon();
    startHost();
    waitUntilConnectedWithRoots();
    ASSERT_TRUE(host_.writeStdin("quit\n"));
    ASSERT_EQ(host_.wait(), 0);
    const auto lines = host_.stderrLines();
    const std::vector<std::string> expected = {
        "tarnwell: plugin shutting down...", "tarnwell: daemon disconnected, clearing cache",
        "tarnwell: core shutdown", "tarnwell: plugin shut down"};
    auto at = lines.begin();
    for (const auto& line : expected) {
        at = std::find(at, lines.end(), line);
        EXPECT_NE(at, lines.end()) << "missing or out of order: " << line;
    }
}

}  // namespace
}  // namespace tarnwell
