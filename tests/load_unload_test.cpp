// Loading and unloading the plug-in again and again in one process, as a file
// manager does when the user turns the extension off and on, and a host that
// exits without shutting the plug-in down. Nothing of the plug-in may stay
// behind: no thread, no descriptor, no memory, and the shared object itself
// must be unmapped (a thread left running in unmapped code would crash the
// host).

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "core/tarnwell_core.h"
#include "support/plugin_harness.h"
#include "support/test_support.h"

namespace tarnwell {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::ChildProcess;
using test::DaemonSim;
using test::LoadedPlugin;
using test::LoopbackServer;
using test::TempDir;
using test::waitUntil;

using test::kDaemonPort;
using test::kNotifyPort;
constexpr int kCycles = 50;

class LoadUnload : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = TarnwellCore::canonicalizePath(tmp_.dir("Sync"));
        locked_ = TarnwellCore::canonicalizePath(tmp_.file("Sync/locked.txt"));
    }
    bool startDaemon() {
        return daemon_.startOnPort(kDaemonPort, {root_}, kNotifyPort,
                                   {"--status", locked_ + "=2", "--no-stdin"});
    }

    // One life of the plug-in: load, initialize, use, shut down, unload.
    // `settle`: wait for the daemon's answers before shutting down; without
    // it the shut-down meets the worker while it connects or exchanges.
    void cycle(bool daemonUp, bool settle) {
        LoadedPlugin plugin;
        ASSERT_TRUE(plugin.ok()) << plugin.error();
        ASSERT_EQ(plugin.emblemPlugin(), nullptr);
        plugin.initialize();
        ASSERT_NE(plugin.emblemPlugin(), nullptr);
        {
            dfmext::DFMExtMenuProxy proxy;
            if (daemonUp && settle) {
                ASSERT_TRUE(
                    waitUntil([&] { return plugin.emblem(locked_) == "emblem-tarnwell-locked"; }));
                EXPECT_TRUE(plugin.pickFirstAction(proxy, locked_));
            } else {
                const std::string seen = plugin.emblem(locked_);
                EXPECT_TRUE(seen.empty() || seen == "emblem-tarnwell-locked") << seen;
                (void)plugin.buildMenu(proxy, locked_);
            }
            // The proxy's actions hold callables in the plug-in's code: they
            // go before the code does.
        }
        // A host may still hold a menu it built before the shut-down, and the
        // user may pick from it afterwards: nothing may touch the freed
        // menu object, and no command goes out.
        dfmext::DFMExtMenuProxy heldMenu;
        dfmext::DFMExtMenu* held = plugin.buildMenu(heldMenu, locked_);
        plugin.shutdown();
        EXPECT_EQ(plugin.emblemPlugin(), nullptr);
        EXPECT_EQ(plugin.menuPlugin(), nullptr);
        if (held != nullptr && !held->actions().empty()) {
            EXPECT_TRUE(held->actions()[0]->menu()->actions()[0]->trigger());
        }
        heldMenu.clear();
        EXPECT_TRUE(plugin.unload()) << "the shared object stays mapped after dlclose";
    }

    void cycles(bool daemonUp) {
        // The first life may set up one-time state of the process (the C++
        // runtime, the dynamic loader); count from the end of it.
        cycle(daemonUp, true);
        const int threads = test::threadCount();
        const int descriptors = test::descriptorCount();
        const auto start = Clock::now();
        for (int i = 1; i < kCycles; ++i) {
            SCOPED_TRACE("cycle " + std::to_string(i));
            cycle(daemonUp, i % 2 == 0);
            // shutdown joins both threads and closes both sockets before it
            // returns, so the counts are back at once, not eventually.
            ASSERT_EQ(test::threadCount(), threads);
            ASSERT_EQ(test::descriptorCount(), descriptors);
        }
        std::cout
            << "[ figures ] " << kCycles << " load cycles (daemon " << (daemonUp ? "up" : "down")
            << ") in "
            << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()
            << " ms; threads " << threads << " -> " << test::threadCount() << ", descriptors "
            << descriptors << " -> " << test::descriptorCount() << "\n";
    }

    TempDir tmp_;
    std::string root_, locked_;
    DaemonSim daemon_;
};

TEST_F(LoadUnload, FiftyLivesWithTheDaemonUpLeaveNoThreadOrDescriptor) {
    ASSERT_TRUE(startDaemon());
    cycles(true);
}

TEST_F(LoadUnload, FiftyLivesWithTheDaemonDownLeaveNoThreadOrDescriptor) {
    cycles(false);
}

// The host turns the extension off and on without unloading it: each life
// connects once and fetches the roots once, not once per earlier life.
TEST_F(LoadUnload, InitializeAfterShutdownInOneLoadConnectsOnceEachTime) {
    ASSERT_TRUE(startDaemon());
    test::StderrCapture log;
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.ok()) << plugin.error();
    const int threads = test::threadCount();
    for (int life = 1; life <= 3; ++life) {
        SCOPED_TRACE("life " + std::to_string(life));
        plugin.initialize();
        ASSERT_TRUE(waitUntil([&] { return plugin.emblem(locked_) == "emblem-tarnwell-locked"; }));
        plugin.shutdown();
        EXPECT_EQ(log.count("tarnwell: daemon connected, fetching sync roots..."),
                  static_cast<std::size_t>(life));
        EXPECT_EQ(log.count("tarnwell: sync root: " + root_), static_cast<std::size_t>(life));
        EXPECT_EQ(test::threadCount(), threads);
    }
    EXPECT_TRUE(plugin.unload());
}

// --- A host that returns from main without shutting the plug-in down ---

struct ExitRun {
    std::optional<int> status;
    std::chrono::milliseconds took{};
    std::vector<std::string> out, err;
};

ExitRun runExitHelper(const std::string& path, int waitMs) {
    ExitRun run;
    ChildProcess child;
    if (!child.start({PLUGIN_EXIT_HELPER_PATH, TARNWELL_PLUGIN_PATH, path, std::to_string(waitMs)},
                     true)) {
        return run;
    }
    child.waitForLineContaining("returning");
    const auto returned = Clock::now();
    run.status = child.wait(15s);
    run.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - returned);
    run.out = child.allStdout();
    run.err = child.stderrLines();
    return run;
}

::testing::AssertionResult exitedCleanly(const ExitRun& run) {
    if (!run.status) {
        return ::testing::AssertionFailure() << "still running after its main returned";
    }
    for (const auto& line : run.err) {
        if (line.find("Sanitizer") != std::string::npos ||
            line.find("terminate called") != std::string::npos) {
            return ::testing::AssertionFailure() << line;
        }
    }
    if (*run.status != 0) {
        return ::testing::AssertionFailure() << "exit status " << *run.status;
    }
    // The core's clean-up at exit stopped both threads.
    if (std::count(run.err.begin(), run.err.end(), "tarnwell: core shutdown") != 1) {
        return ::testing::AssertionFailure() << "no \"tarnwell: core shutdown\" at exit";
    }
    return ::testing::AssertionSuccess();
}

TEST_F(LoadUnload, ReturnFromMainWithoutShutdownExitsPromptlyAndCleanly) {
    {
        SCOPED_TRACE("daemon up, connected and idle");
        ASSERT_TRUE(startDaemon());
        const ExitRun run = runExitHelper(locked_, 10000);
        EXPECT_TRUE(exitedCleanly(run));
        EXPECT_NE(std::find(run.out.begin(), run.out.end(), "emblem emblem-tarnwell-locked"),
                  run.out.end());
        std::cout << "[ figures ] exit without shutdown, daemon up: " << run.took.count()
                  << " ms\n";
        EXPECT_LT(run.took, 2s);
        daemon_.stop();
    }
    {
        SCOPED_TRACE("daemon down");
        const ExitRun run = runExitHelper(locked_, 0);
        EXPECT_TRUE(exitedCleanly(run));
        std::cout << "[ figures ] exit without shutdown, daemon down: " << run.took.count()
                  << " ms\n";
        EXPECT_LT(run.took, 2s);
    }
    {
        SCOPED_TRACE("an exchange in flight that the daemon never answers");
        std::atomic<int> requests{0};
        LoopbackServer silent(
            [&](int fd) {
                ++requests;
                char sink[256];
                while (::read(fd, sink, sizeof sink) > 0) {
                }
            },
            kDaemonPort);
        ASSERT_EQ(silent.port(), kDaemonPort);
        // Asks for a while (no emblem can come), so that the roots request
        // is out when main returns.
        const ExitRun run = runExitHelper(locked_, 500);
        EXPECT_EQ(requests.load(), 1);
        EXPECT_TRUE(exitedCleanly(run));
        std::cout << "[ figures ] exit without shutdown, exchange stalled: " << run.took.count()
                  << " ms\n";
        // The exchange's 3-second time-out, and no more.
        EXPECT_LT(run.took, 4500ms);
    }
}

}  // namespace
}  // namespace tarnwell
