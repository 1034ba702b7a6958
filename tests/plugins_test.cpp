// The emblem and context-menu providers as a host sees them: through the
// callables they register with the dfmext stand-in, against a core of their
// own. Roots and statuses are fed to the core directly where a daemon adds
// nothing; a real tarnwell-daemon-sim serves whatever needs a connection
// (menus are only built while connected, queries only sent then).

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/tarnwell_core.h"
#include "dfmext/emblem.h"
#include "dfmext/menu.h"
#include "plugins/tarnwell_emblem_plugin.h"
#include "plugins/tarnwell_menu_plugin.h"
#include "support/test_support.h"
#include "support/ui_tables.h"

namespace tarnwell {
namespace {

using namespace std::chrono_literals;
using test::DaemonSim;
using test::StderrCapture;
using test::TempDir;
using test::waitUntil;

using Layout = dfmext::DFMExtEmblemIconLayout;

// The roots reply as the worker thread would hand it over.
void deliverRoots(TarnwellCore& core, const std::vector<std::string>& roots) {
    TarnwellCommand reply;
    reply.name = "get_tw_roots";
    reply.response["path"] = roots;
    core.handleGetTwRootsResponse(&reply);
}

// "icon@location+x+y" for every layout, so one comparison checks them all.
std::vector<std::string> describe(const dfmext::DFMExtEmblem& emblem) {
    std::vector<std::string> out;
    for (const Layout& layout : emblem.emblems()) {
        out.push_back(layout.iconPath() + "@" +
                      std::to_string(static_cast<int>(layout.locationType())) + "+" +
                      std::to_string(layout.x()) + "+" + std::to_string(layout.y()));
    }
    return out;
}

std::vector<std::string> bottomLeft(const std::string& icon) {
    return {icon + "@" + std::to_string(static_cast<int>(Layout::LocationType::BottomLeft)) +
            "+0+0"};
}

// A sub-menu line per action: "TEXT|ICON".
std::vector<std::string> describe(const dfmext::DFMExtMenu& menu) {
    std::vector<std::string> out;
    for (const dfmext::DFMExtAction* action : menu.actions()) {
        out.push_back(action->text() + "|" + action->icon());
    }
    return out;
}

// ---------------------------------------------------------------------------
// Emblems from a core fed by hand (not connected: no query is ever sent).

class EmblemTest : public ::testing::Test {
protected:
    EmblemTest() : core_(test::freeTcpPort(), test::freeUdpPort()), plugin_(&core_) {
        root_ = TarnwellCore::canonicalizePath(temp_.dir("Sync"));
        file_ = temp_.file("Sync/docs/a.txt");
        deliverRoots(core_, {root_});
    }

    dfmext::DFMExtEmblem ask(const std::string& path, int count = 0) const {
        const dfmext::DFMExtEmblemIconPlugin& host = plugin_;
        return host.requestEmblem(path, count);
    }

    TempDir temp_;
    TarnwellCore core_;
    TarnwellEmblemPlugin plugin_;
    std::string root_;
    std::string file_;
};

TEST_F(EmblemTest, EachStatusShowsItsOwnIconAtBottomLeftWithoutOffset) {
    for (const auto& [status, icon] : test::kStatusIcons) {
        core_.setStatus(file_, static_cast<TarnwellCore::SyncStatus>(status));
        EXPECT_EQ(describe(ask(file_)), bottomLeft(icon)) << icon;
    }
}

TEST_F(EmblemTest, StatusOutsideTheTableShowsNothing) {
    core_.setStatus(file_, static_cast<TarnwellCore::SyncStatus>(4));
    EXPECT_TRUE(ask(file_).emblems().empty());
    core_.setStatus(file_, static_cast<TarnwellCore::SyncStatus>(-7));
    EXPECT_TRUE(ask(file_).emblems().empty());
}

TEST_F(EmblemTest, IntegerAboveThreeShowsNothingEvenWithACachedStatus) {
    core_.setStatus(file_, TarnwellCore::Locked);
    EXPECT_TRUE(ask(file_, 4).emblems().empty());
    EXPECT_TRUE(ask(file_, 1 << 30).emblems().empty());
    for (int count : {3, 0, -5}) {
        EXPECT_EQ(describe(ask(file_, count)), bottomLeft(test::statusIcon(TarnwellCore::Locked)))
            << count;
    }
}

TEST_F(EmblemTest, SyncRootItselfShowsItsOwnStatusNotAChildsStatus) {
    core_.setStatus(file_, TarnwellCore::Locked);
    EXPECT_TRUE(ask(root_).emblems().empty());
    core_.setStatus(root_, TarnwellCore::Syncing);
    EXPECT_EQ(describe(ask(root_)), bottomLeft(test::statusIcon(TarnwellCore::Syncing)));
}

TEST_F(EmblemTest, PathOutsideEveryRootShowsNothingEvenWithACachedStatus) {
    const std::string sibling = TarnwellCore::canonicalizePath(temp_.file("Sync2/b.txt"));
    core_.setStatus(sibling, TarnwellCore::UpToDate);
    EXPECT_TRUE(ask(sibling).emblems().empty());
    EXPECT_TRUE(ask("/").emblems().empty());
}

TEST_F(EmblemTest, OtherFormsOfOnePathShowTheSameEmblem) {
    core_.setStatus(file_, TarnwellCore::ReadOnly);
    for (const std::string& form :
         {"file://" + file_, root_ + "/docs/./../docs//a.txt", root_ + "/docs/a.txt"}) {
        EXPECT_EQ(describe(ask(form)), bottomLeft(test::statusIcon(TarnwellCore::ReadOnly)))
            << form;
    }
    // Through a symbolic link into the root as well.
    const std::string link = temp_.path() + "/link";
    ASSERT_EQ(::symlink((root_ + "/docs").c_str(), link.c_str()), 0);
    EXPECT_EQ(describe(ask(link + "/a.txt")), bottomLeft(test::statusIcon(TarnwellCore::ReadOnly)));
}

// ---------------------------------------------------------------------------
// Emblems and menus against a connected daemon.

class ConnectedTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = TarnwellCore::canonicalizePath(temp_.dir("Sync"));
        temp_.file("Sync/docs/a.txt");
        temp_.dir("Sync/docs/sub");
        temp_.file("outside/f.txt");
        temp_.dir("outside/dir");
        notifyPort_ = test::freeUdpPort();
        ASSERT_TRUE(daemon_.start({root_}, notifyPort_, simArgs_));
        core_ = std::make_unique<TarnwellCore>(daemon_.port(), notifyPort_);
        core_->initialize();
        ASSERT_TRUE(waitUntil([&] { return core_->isInSyncDir(root_); }));
    }
    void TearDown() override {
        if (core_) {
            core_->shutdown();
        }
        daemon_.stop();
    }

    std::string at(const std::string& relative) const {
        return TarnwellCore::canonicalizePath(temp_.path() + "/" + relative);
    }

    TempDir temp_;
    std::string root_;
    std::uint16_t notifyPort_ = 0;
    std::vector<std::string> simArgs_;
    DaemonSim daemon_;
    std::unique_ptr<TarnwellCore> core_;
};

TEST_F(ConnectedTest, UnknownStatusIsQueriedOnceAndShownOnALaterRequest) {
    TarnwellEmblemPlugin plugin(core_.get());
    // The daemon's default status: a `set` would also push "refresh_stat",
    // whose own query could come after this one's reply.
    const std::string file = at("Sync/docs/a.txt");

    EXPECT_TRUE(plugin.requestEmblem(file, 0).emblems().empty());
    ASSERT_TRUE(daemon_.waitForRequest("request query_stat path=" + file));
    ASSERT_TRUE(waitUntil([&] { return !plugin.requestEmblem(file, 0).emblems().empty(); }));
    EXPECT_EQ(describe(plugin.requestEmblem(file, 0)),
              bottomLeft(test::statusIcon(TarnwellCore::UpToDate)));

    int queries = 0;
    for (const std::string& line : daemon_.process().allStdout()) {
        queries += line == "request query_stat path=" + file ? 1 : 0;
    }
    EXPECT_EQ(queries, 1);
}

// A redraw of a path whose query is out skips the path walk; one that shows
// a status while its change is asked about must still show it until the new
// status is in.
class SlowDaemonTest : public ConnectedTest {
protected:
    SlowDaemonTest() { simArgs_ = {"--answer-delay-us", "1000000"}; }
};

TEST_F(SlowDaemonTest, ChangedPathKeepsItsEmblemWhileItsQueryIsOut) {
    TarnwellEmblemPlugin plugin(core_.get());
    const std::string file = at("Sync/docs/a.txt");
    const auto shows = [&](int status) {
        return describe(plugin.requestEmblem(file, 0)) == bottomLeft(test::statusIcon(status));
    };
    EXPECT_TRUE(plugin.requestEmblem(file, 0).emblems().empty());
    ASSERT_TRUE(daemon_.waitForRequest("request query_stat path=" + file));
    ASSERT_TRUE(waitUntil([&] { return shows(TarnwellCore::UpToDate); }));

    ASSERT_TRUE(daemon_.control("set " + file + " " + std::to_string(TarnwellCore::ReadOnly)));
    ASSERT_TRUE(daemon_.waitForRequest("request query_stat path=" + file));
    // The answer is a second away.
    EXPECT_TRUE(shows(TarnwellCore::UpToDate));
    EXPECT_TRUE(waitUntil([&] { return shows(TarnwellCore::ReadOnly); }));
}

TEST_F(ConnectedTest, IntegerAboveThreeStartsNoQuery) {
    TarnwellEmblemPlugin plugin(core_.get());
    const std::string skipped = at("Sync/docs/a.txt");
    const std::string asked = at("Sync/docs/sub");
    EXPECT_TRUE(plugin.requestEmblem(skipped, 4).emblems().empty());
    EXPECT_TRUE(plugin.requestEmblem(asked, 3).emblems().empty());
    // The channel keeps order: had the first been queued, it would come first.
    ASSERT_TRUE(daemon_.waitForRequest("request query_stat path=" + asked));
    for (const std::string& line : daemon_.process().allStdout()) {
        EXPECT_NE(line, "request query_stat path=" + skipped);
    }
}

TEST_F(ConnectedTest, PathOutsideEveryRootStartsNoQuery) {
    TarnwellEmblemPlugin plugin(core_.get());
    EXPECT_TRUE(plugin.requestEmblem(at("outside/f.txt"), 0).emblems().empty());
    EXPECT_EQ(core_->pendingQueryCount(), 0u);
    const std::string inside = at("Sync/docs/a.txt");
    EXPECT_TRUE(plugin.requestEmblem(inside, 0).emblems().empty());
    ASSERT_TRUE(daemon_.waitForRequest("request query_stat path=" + inside));
    for (const std::string& line : daemon_.process().allStdout()) {
        EXPECT_EQ(line.find("outside"), std::string::npos) << line;
    }
}

class MenuTest : public ConnectedTest {
protected:
    void SetUp() override {
        ConnectedTest::SetUp();
        plugin_ = std::make_unique<TarnwellMenuPlugin>(core_.get());
        host().callInitialize(&proxy_);
    }

    const dfmext::DFMExtMenuPlugin& host() const { return *plugin_; }

    // Builds the menu of one item as the host does; the sub-menu's actions,
    // or {"<none>"} when nothing was added.
    std::vector<std::string> subMenuOf(const std::string& path, std::size_t selected = 1) {
        main_ = proxy_.createMenu();
        const std::list<std::string> paths(selected, path);
        if (!host().callBuildNormalMenu(main_, "/", path, paths, false)) {
            EXPECT_TRUE(main_->actions().empty());
            return {"<none>"};
        }
        EXPECT_EQ(main_->actions().size(), 1u);
        const dfmext::DFMExtAction* entry = main_->actions().front();
        EXPECT_EQ(entry->text(), "Tarnwell");
        EXPECT_EQ(entry->icon(), "tarnwell-small");
        EXPECT_FALSE(entry->hasTriggered());
        if (entry->menu() == nullptr) {
            ADD_FAILURE() << "entry without sub-menu";
            return {};
        }
        return describe(*entry->menu());
    }

    dfmext::DFMExtAction* subAction(std::size_t index) const {
        return main_->actions().front()->menu()->actions().at(index);
    }

    dfmext::DFMExtMenuProxy proxy_;
    std::unique_ptr<TarnwellMenuPlugin> plugin_;
    dfmext::DFMExtMenu* main_ = nullptr;
};

// Sub-menu entries as subMenuOf lists them.
std::vector<std::string> listed(const test::MenuContents& contents) {
    std::vector<std::string> lines;
    for (const auto& entry : contents) {
        lines.push_back(entry.text + "|" + entry.icon);
    }
    return lines;
}

const std::vector<std::string> kOutsideDirectory = listed(test::kMenuOutsideDirectory);
const std::vector<std::string> kOutsideFile = listed(test::kMenuOutsideFile);
const std::vector<std::string> kBelowFile = listed(test::kMenuBelowFile);
const std::vector<std::string> kBelowDirectory = listed(test::kMenuBelowDirectory);
const std::vector<std::string> kRoot = listed(test::kMenuRoot);

TEST_F(MenuTest, ContentsFollowPlaceAndKindInOrder) {
    EXPECT_EQ(subMenuOf(at("outside/dir")), kOutsideDirectory);
    EXPECT_EQ(subMenuOf(at("outside/f.txt")), kOutsideFile);
    EXPECT_EQ(subMenuOf(at("outside/missing")), kOutsideFile);
    EXPECT_EQ(subMenuOf(at("Sync/docs/a.txt")), kBelowFile);
    EXPECT_EQ(subMenuOf(at("Sync/docs/sub")), kBelowDirectory);
    EXPECT_EQ(subMenuOf(root_), kRoot);
    EXPECT_EQ(subMenuOf(root_ + "/"), kRoot);
    EXPECT_EQ(subMenuOf("file://" + root_ + "/docs"), kBelowDirectory);
}

TEST_F(MenuTest, SymbolicLinkToADirectoryCountsAsADirectory) {
    const std::string link = temp_.path() + "/outside/link";
    ASSERT_EQ(::symlink(at("outside/dir").c_str(), link.c_str()), 0);
    EXPECT_EQ(subMenuOf(link), kOutsideDirectory);
    // A dangling link cannot be examined: a file.
    const std::string dangling = temp_.path() + "/outside/dangling";
    ASSERT_EQ(::symlink("/nonexistent/target", dangling.c_str()), 0);
    EXPECT_EQ(subMenuOf(dangling), kOutsideFile);
}

TEST_F(MenuTest, OnlyExactlyOneSelectedItemGetsAnEntry) {
    EXPECT_EQ(subMenuOf(at("Sync/docs/a.txt"), 2), std::vector<std::string>{"<none>"});
    EXPECT_EQ(subMenuOf(at("Sync/docs/a.txt"), 0), std::vector<std::string>{"<none>"});
    EXPECT_EQ(subMenuOf(at("Sync/docs/a.txt"), 1), kBelowFile);
}

TEST_F(MenuTest, EmptyAreaNeverGetsAnEntry) {
    dfmext::DFMExtMenu* menu = proxy_.createMenu();
    EXPECT_FALSE(host().callBuildEmptyAreaMenu(menu, root_, false));
    EXPECT_FALSE(host().callBuildEmptyAreaMenu(menu, root_, true));
    EXPECT_TRUE(menu->actions().empty());
}

TEST_F(MenuTest, BuildBeforeTheProxyArrivedAddsNothingAndDoesNotCrash) {
    TarnwellMenuPlugin fresh(core_.get());
    dfmext::DFMExtMenu* menu = proxy_.createMenu();
    const std::size_t actionsBefore = proxy_.actionCount();
    EXPECT_FALSE(fresh.buildNormalMenu(menu, "/", root_, {root_}, false));
    EXPECT_TRUE(menu->actions().empty());
    EXPECT_EQ(proxy_.actionCount(), actionsBefore);
    EXPECT_EQ(fresh.createMenuAction("t", "i", "c", root_), nullptr);
}

TEST_F(MenuTest, NullHostMenuAddsNothingAndDoesNotCrash) {
    EXPECT_FALSE(host().callBuildNormalMenu(nullptr, "/", root_, {root_}, false));
}

TEST_F(MenuTest, PickingAnActionSendsItsCommandWithTheCanonicalPath) {
    const std::string file = at("Sync/docs/a.txt");
    ASSERT_EQ(subMenuOf(root_ + "/docs/../docs/./a.txt"), kBelowFile);
    StderrCapture captured;
    ASSERT_TRUE(subAction(1)->trigger());
    EXPECT_TRUE(daemon_.waitForRequest("request publish_obj path=" + file));
    EXPECT_EQ(
        captured.count("tarnwell: menu triggered: Get Share Link command=publish_obj path=" + file),
        1u);
}

TEST_F(MenuTest, EveryActionSendsTheCommandOfItsRow) {
    const std::pair<std::string, std::vector<std::string>> menus[] = {
        {at("outside/dir"), {"create_sync_folder", "invite_friends", "upload_files"}},
        {at("Sync/docs/a.txt"), {"share_by_email", "publish_obj", "browse_file_history"}},
        {root_, {"show_sync_folder_properties", "invite_friends"}},
    };
    for (const auto& [path, commands] : menus) {
        subMenuOf(path);
        for (std::size_t i = 0; i < commands.size(); ++i) {
            ASSERT_TRUE(subAction(i)->trigger());
            EXPECT_TRUE(daemon_.waitForRequest("request " + commands[i] + " path=" + path))
                << commands[i];
        }
    }
}

TEST_F(MenuTest, ActionPickedWhileDisconnectedIsSkippedAndWorksAgainAfterReconnect) {
    const std::string file = at("Sync/docs/a.txt");
    ASSERT_EQ(subMenuOf(file), kBelowFile);
    dfmext::DFMExtAction* email = subAction(0);

    StderrCapture captured;
    core_->shutdown();
    ASSERT_FALSE(core_->isDaemonConnected());
    ASSERT_TRUE(email->trigger());
    const std::string triggered =
        "tarnwell: menu triggered: Send by Email command=share_by_email path=" + file;
    EXPECT_EQ(captured.count(triggered), 1u);
    EXPECT_EQ(captured.count("tarnwell: menu command skipped because daemon is disconnected"), 1u);

    core_->initialize();
    ASSERT_TRUE(waitUntil([&] { return core_->isDaemonConnected(); }));
    ASSERT_TRUE(email->trigger());
    ASSERT_TRUE(daemon_.waitForRequest("request share_by_email path=" + file));
    // Nothing was kept from the skipped pick.
    int sent = 0;
    for (const std::string& line : daemon_.process().allStdout()) {
        sent += line == "request share_by_email path=" + file ? 1 : 0;
    }
    EXPECT_EQ(sent, 1);
}

TEST_F(MenuTest, DisconnectedDaemonAddsNothing) {
    core_->shutdown();
    EXPECT_EQ(subMenuOf(at("Sync/docs/a.txt")), std::vector<std::string>{"<none>"});
}

// ---------------------------------------------------------------------------
// Without a daemon.

TEST(MenuWithoutDaemonTest, ConnectedBeforeTheRootsArrivedEverythingIsOutside) {
    TempDir temp;
    const std::string root = TarnwellCore::canonicalizePath(temp.dir("Sync"));
    const std::string file = TarnwellCore::canonicalizePath(temp.file("Sync/a.txt"));
    // Takes the requests and never answers them.
    test::LoopbackServer silent([](int fd) {
        while (test::readRequest(fd)) {
        }
    });
    TarnwellCore core(silent.port(), test::freeUdpPort());
    core.initialize();
    ASSERT_TRUE(waitUntil([&] { return core.isDaemonConnected(); }));

    TarnwellMenuPlugin plugin(&core);
    dfmext::DFMExtMenuProxy proxy;
    const dfmext::DFMExtMenuPlugin& host = plugin;
    host.callInitialize(&proxy);
    for (const auto& [path, expected] :
         {std::pair{root, kOutsideDirectory}, std::pair{file, kOutsideFile}}) {
        dfmext::DFMExtMenu* menu = proxy.createMenu();
        ASSERT_TRUE(host.callBuildNormalMenu(menu, "/", path, {path}, false));
        ASSERT_EQ(menu->actions().size(), 1u);
        EXPECT_EQ(describe(*menu->actions().front()->menu()), expected) << path;
    }
    silent.shutdown();
    core.shutdown();
}

TEST(MenuWithoutDaemonTest, ActionOutlivesThePluginObject) {
    TarnwellCore core(test::freeTcpPort(), test::freeUdpPort());
    dfmext::DFMExtMenuProxy proxy;
    dfmext::DFMExtAction* action = nullptr;
    {
        TarnwellMenuPlugin plugin(&core);
        plugin.initialize(&proxy);
        action = plugin.createMenuAction("Get Share Link", "tarnwell-link", "publish_obj",
                                         "/home/u/Sync/a");
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->text(), "Get Share Link");
        EXPECT_EQ(action->icon(), "tarnwell-link");
    }
    StderrCapture captured;
    ASSERT_TRUE(action->trigger());
    EXPECT_EQ(captured.lines(),
              (std::vector<std::string>{
                  "tarnwell: menu triggered: Get Share Link command=publish_obj "
                  "path=/home/u/Sync/a",
                  "tarnwell: menu command skipped because daemon is disconnected"}));
}

}  // namespace
}  // namespace tarnwell
