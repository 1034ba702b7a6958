// Every thread that enters the plug-in, at once, for a few seconds: several
// host threads asking for emblems, host threads building menus and picking
// entries, the worker talking to a daemon that is killed and restarted, and
// the listener handling "refresh_stat" and "refresh_tw_root" pushed in the
// middle. Built with -fsanitize=thread or address this is the race and
// use-after-free check of the whole plug-in; in every build it checks that
// no emblem shown is ever wrong.

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "core/tarnwell_core.h"
#include "support/plugin_harness.h"
#include "support/test_support.h"

namespace tarnwell {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::DaemonSim;
using test::LoadedPlugin;
using test::TempDir;
using test::waitUntil;

using test::iconFor;
using test::kDaemonPort;
using test::kNotifyPort;

TEST(Soak, HostWorkerAndListenerThreadsTogetherThroughRestartsAndRootChanges) {
    TempDir tmp;
    const std::string root = TarnwellCore::canonicalizePath(tmp.dir("Sync"));
    const std::string second = TarnwellCore::canonicalizePath(tmp.dir("Second"));
    const std::string outside = TarnwellCore::canonicalizePath(tmp.file("outside.txt"));
    std::map<std::string, int> truth;  // written before the threads start
    std::vector<std::string> files;
    std::vector<std::string> daemonArgs = {"--default-status", "1"};
    for (int i = 0; i < 16; ++i) {
        const std::string dir = i % 4 == 3 ? "Second" : "Sync";
        const std::string f =
            TarnwellCore::canonicalizePath(tmp.file(dir + "/f" + std::to_string(i)));
        files.push_back(f);
        truth[f] = i % 4;
        daemonArgs.push_back("--status");
        daemonArgs.push_back(f + "=" + std::to_string(i % 4));
    }
    // Paths the daemon has no entry for get its default, 1.
    auto trueIcon = [&](const std::string& path) {
        const auto it = truth.find(path);
        return iconFor(it == truth.end() ? 1 : it->second);
    };

    auto daemon = std::make_unique<DaemonSim>();
    ASSERT_TRUE(daemon->startOnPort(kDaemonPort, {root, second}, kNotifyPort, daemonArgs));
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.ok()) << plugin.error();
    plugin.initialize();
    ASSERT_TRUE(waitUntil([&] { return plugin.emblem(files[0]) == trueIcon(files[0]); }));

    std::atomic<bool> stop{false};
    std::atomic<long> emblemCalls{0}, emblemsShown{0}, menusBuilt{0}, actionsPicked{0};
    std::mutex wrongMutex;
    std::vector<std::string> wrong;  // guarded by wrongMutex

    auto emblemThread = [&](int id) {
        int fresh = 0;
        while (!stop) {
            for (const auto& f : files) {
                // The same file in the forms a host may use.
                const std::string asked = (fresh + id) % 3 == 0 ? "file://" + f : f;
                // -1 to 4: the host's own emblems; with 4 there is no room.
                const int hostEmblems = fresh % 6 - 1;
                const std::string seen = plugin.emblem(asked, hostEmblems);
                ++emblemCalls;
                if (seen.empty()) {
                    continue;
                }
                ++emblemsShown;
                if (seen != trueIcon(f) || hostEmblems > 3) {
                    std::lock_guard lock(wrongMutex);
                    wrong.push_back(asked + " -> " + seen);
                }
            }
            const std::string probe =
                root + "/t" + std::to_string(id) + "/n" + std::to_string(fresh++ % 200);
            const std::string seen = plugin.emblem(probe);
            if (!seen.empty() && seen != trueIcon(probe)) {
                std::lock_guard lock(wrongMutex);
                wrong.push_back(probe + " -> " + seen);
            }
            if (!plugin.emblem(outside).empty()) {
                std::lock_guard lock(wrongMutex);
                wrong.push_back(outside + " has an emblem");
            }
        }
    };
    // The menu provider lives on the host's UI thread: menus are built by
    // one thread at a time. Each thread has its own proxy.
    std::mutex uiThread;
    auto menuThread = [&](int id) {
        dfmext::DFMExtMenuProxy proxy;
        int round = 0;
        while (!stop) {
            {
                std::lock_guard lock(uiThread);
                const std::string& target = files[(round + id) % files.size()];
                if (round % 8 == 0) {
                    actionsPicked += plugin.pickFirstAction(proxy, target) ? 1 : 0;
                } else {
                    (void)plugin.buildMenu(proxy, target);
                }
                ++menusBuilt;
                proxy.clear();
            }
            ++round;
            std::this_thread::sleep_for(1ms);
        }
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back(emblemThread, i);
    }
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back(menuThread, i);
    }

    // The daemon side, from this thread.
    auto pause = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
    int restarts = 0;
    for (int round = 0; round < 3; ++round) {
        pause(300ms);
        EXPECT_TRUE(daemon->control("roots " + root));  // "refresh_tw_root"
        pause(200ms);
        EXPECT_TRUE(daemon->control("roots " + root + " " + second));
        for (int i = 0; i < 16; i += 3) {
            EXPECT_TRUE(daemon->control("set " + files[i] + " " + std::to_string(i % 4)));
        }
        pause(200ms);
        EXPECT_TRUE(daemon->control("notify refresh_tw_root"));
        pause(300ms);
        // Killed in the middle of whatever it was doing, and back.
        daemon->process().signal(SIGKILL);
        EXPECT_TRUE(daemon->process().wait());
        pause(100ms);
        daemon = std::make_unique<DaemonSim>();
        ASSERT_TRUE(daemon->startOnPort(kDaemonPort, {root, second}, kNotifyPort, daemonArgs));
        ++restarts;
    }
    // Back to normal: every file shows its emblem while the threads go on.
    for (const auto& f : files) {
        EXPECT_TRUE(waitUntil([&] { return plugin.emblem(f) == trueIcon(f); })) << f;
    }
    stop = true;
    for (auto& t : threads) {
        t.join();
    }

    std::cout << "[ figures ] soak: " << emblemCalls << " emblem calls (" << emblemsShown
              << " with an emblem), " << menusBuilt << " menus, " << actionsPicked
              << " actions picked, " << restarts << " daemon restarts\n";
    {
        std::lock_guard lock(wrongMutex);
        EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong emblems, first: " << wrong.front();
    }
    EXPECT_GT(emblemsShown.load(), 0);
    EXPECT_GT(actionsPicked.load(), 0);
    const int threadsBefore = test::threadCount();
    plugin.shutdown();
    EXPECT_TRUE(plugin.unload());
    EXPECT_EQ(test::threadCount(), threadsBefore - 2);  // the worker and the listener
}

}  // namespace
}  // namespace tarnwell
