// tarnwell-chaos: the real plug-in, loaded as the file manager loads it, run
// for minutes against a daemon that does everything a daemon may do, while an
// oracle checks every emblem the host was shown against what the daemon held
// (rules a to d, see oracle.h), the host's calls (e) and its resources (f).
// It uses the plug-in's fixed ports 19080 and 19081.
//
// Threads: main runs the host loop (and with it the plug-in's emblem and menu
// calls); the daemon has a thread of its own; the plug-in starts its worker
// and listener. With --copies N of 2 and more, each copy's host loop runs in a
// process of its own, and main reads their reports (copies.h).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <random>
#include <string>
#include <system_error>
#include <utility>

#include "base/posix_io.h"
#include "chaos_daemon.h"
#include "copies.h"
#include "host_loop.h"
#include "options.h"
#include "oracle.h"
#include "run_figures.h"
#include "stats.h"
#include "stop_signal.h"
#include "tools_common/options.h"
#include "tools_common/program.h"
#include "tools_common/utf8_text.h"
#include "plugin_fill.h"
#include "tree.h"

namespace tarnwell::chaos {
namespace {

constexpr const char* kUsage =
    "usage: tarnwell-chaos [--minutes M] [--seed S] [--plugin PATH] [--plugin-log FILE]\n"
    "                      [--files N] [--tree-parent DIR] [--window-ms W]\n"
    "                      [--lenient-drops] [--skip FAULT[,FAULT...]] [--copies N]\n"
    "       tarnwell-chaos --help | --version\n"
    "\n"
    "Runs the plug-in against a daemon that injects faults at random from the seed,\n"
    "and checks every emblem shown against the daemon's truth. Uses the plug-in's\n"
    "fixed ports 127.0.0.1:19080 and 19081. --minutes M (above 0, up to 10080),\n"
    "--seed S (0 to 2^64-1; drawn when not given). --copies N (1 to 8, default 1)\n"
    "runs N copies of the plug-in, each in a process of its own when N is 2 or more,\n"
    "with their diagnostics in FILE.1 to FILE.N, and judges each copy's emblems.\n"
    "SIGINT or SIGTERM ends the run early: it prints what it saw so far and removes\n"
    "its folder tree. Exit status 0 without violations, 1 with any (or when a copy\n"
    "ended early), 2 for bad options, 3 when the run cannot start, 130 or 143 when\n"
    "SIGINT or SIGTERM cut it short.\n"
    "\n"
    "faults: change racing-change closed-socket repeat ghost roots kill stall slow\n"
    "        cut reset garbage empty-datagram flood calm\n";

// A week: a longer run is a typing error, not a plan.
constexpr double kMostMinutes = 7 * 24 * 60;

std::string wants(const std::string& option, const std::string& what, const std::string& value) {
    return option + " wants " + what + ", got: '" + tarnwell::tools::escapeForLine(value) + "'";
}

std::string takeSkip(const std::string& list, DaemonOptions& daemon) {
    if (list.empty()) {
        return "--skip wants FAULT[,FAULT...], got an empty list";
    }
    for (std::size_t start = 0;;) {
        const std::size_t comma = list.find(',', start);
        const std::string name = list.substr(start, comma - start);
        Fault fault{};
        if (name.empty()) {
            return "--skip: an empty fault name in '" + tarnwell::tools::escapeForLine(list) + "'";
        }
        if (!faultByName(name, fault)) {
            return "--skip: unknown fault '" + tarnwell::tools::escapeForLine(name) + "'";
        }
        daemon.enabled[static_cast<std::size_t>(fault)] = false;
        if (comma == std::string::npos) {
            return {};
        }
        start = comma + 1;
    }
}

// An option with a value, which `take` reads: "" or what is wrong with it.
tarnwell::tools::Option valueOption(const std::string& name, tarnwell::tools::Option::Apply take) {
    return {name, "", true, "", std::move(take)};
}

// A whole number from `min` to `max` into `number`.
tarnwell::tools::Option wholeOption(const std::string& name, long long min, long long max,
                                    int& number) {
    return valueOption(name, [name, min, max, &number](const std::string& value) {
        long long parsed = 0;
        if (!tarnwell::tools::parseInteger(value, min, max, parsed)) {
            return wants(
                name, "a whole number from " + std::to_string(min) + " to " + std::to_string(max),
                value);
        }
        number = static_cast<int>(parsed);
        return std::string();
    });
}

tarnwell::tools::Option textOption(const std::string& name, std::string& field) {
    return valueOption(name, [&field](const std::string& value) {
        field = value;
        return std::string();
    });
}

// Fills `o` from the command line; -1 to run, else the exit status.
int parseOptions(int argc, char** argv, Options& o) {
    using tarnwell::tools::Option;
    o.daemon.enabled.fill(true);
    const char* shown = nullptr;
    const Option table[] = {
        tarnwell::tools::showOption("--help", "-h", shown, kUsage),
        tarnwell::tools::showOption("--version", "", shown,
                                    "tarnwell-chaos " TARNWELL_VERSION "\n"),
        tarnwell::tools::flagOption("--lenient-drops", "", o.bounds.lenientDrops),
        valueOption("--minutes",
                    [&o](const std::string& value) {
                        const bool ok =
                            tarnwell::tools::parseDecimal(value, 0, kMostMinutes, o.minutes) &&
                            o.minutes > 0;
                        return ok ? std::string()
                                  : wants("--minutes", "minutes above 0, up to 10080", value);
                    }),
        valueOption("--seed",
                    [&o](const std::string& value) {
                        std::uint64_t seed = 0;
                        const char* const last = value.data() + value.size();
                        const auto [end, error] = std::from_chars(value.data(), last, seed);
                        if (value.empty() || error != std::errc() || end != last) {
                            return wants("--seed", "a whole number from 0 to 18446744073709551615",
                                         value);
                        }
                        o.seed = seed;
                        return std::string();
                    }),
        wholeOption("--files", 100, 1'000'000'000, o.files),
        wholeOption("--window-ms", 1, 1'000'000'000, o.windowMs),
        wholeOption("--copies", 1, kMostCopies, o.copies),
        valueOption("--skip", [&o](const std::string& value) { return takeSkip(value, o.daemon); }),
        textOption("--plugin", o.pluginPath),
        textOption("--plugin-log", o.pluginLog),
        textOption("--tree-parent", o.treeParent),
    };
    // Read first: `shown` is set while the command line is read.
    const std::string refused = tarnwell::tools::parseCommandLine(argc, argv, table);
    o.bounds.window = Millis{o.windowMs};
    return tarnwell::tools::commandLineOutcome("tarnwell-chaos", refused, shown);
}

// The one copy's observer: its oracle, and a progress line a minute.
class OracleObserver final : public HostObserver {
public:
    OracleObserver(Oracle& oracle, TimePoint start)
        : oracle_(oracle), start_(start), nextProgress_(start + kProgressInterval) {}

    void drawn(int row, int shown, TimePoint t) override { oracle_.checkDraw(row, shown, t); }
    void picked(const std::string& command, const std::string& path, TimePoint t) override {
        oracle_.actionPicked(command, path, t);
    }
    void frameDone(TimePoint now) override {
        oracle_.checkActions(now, false);
        if (now >= nextProgress_) {
            std::cout << "chaos: " << static_cast<long>(secondsBetween(start_, now)) << " s, "
                      << oracle_.figures().draws << " emblems checked, " << oracle_.violationCount()
                      << " violations" << std::endl;
            nextProgress_ += kProgressInterval;
        }
    }

private:
    static constexpr std::chrono::seconds kProgressInterval{60};

    Oracle& oracle_;
    const TimePoint start_;
    TimePoint nextProgress_;
};

// After the daemon's and the plug-in's threads have ended (heldAnswersKiB
// counts the heap).
void judgeHost(const HostLoop& host, const Tree& tree, double seconds, Oracle& oracle) {
    for (const auto& breach :
         {judgeHostCalls(host.calls(), std::cout),
          judgeResources(host.samples(), seconds, kProcessMemoryBound, heldAnswersKiB(tree),
                         "the host process", std::cout)}) {
        if (breach) {
            oracle.ruleBroken(breach->rule, breach->detail);
        }
    }
}

// The one copy, in this process: the host loop on the main thread.
int runChaos(const Options& o, std::uint64_t seed) {
    Tree tree;
    std::string error;
    if (!buildTree(o.treeParent, o.files, tree, error)) {
        complain(error);
        return 3;
    }
    const TimePoint start = Clock::now();
    if (stopSignal() != 0) {
        removeTree(tree);
        return reportCutShort(start, start, o.minutes, std::cout);
    }
    std::cout << "chaos: seed " << seed << ", " << o.minutes << " minutes, " << tree.rowCount
              << " listed paths under " << tree.base << ", plug-in " << o.pluginPath << std::endl;
    Oracle oracle(tree, o.bounds, seed, start, std::cout);
    std::atomic<int> firstVisibleRow{0};
    DaemonOptions daemonOptions = o.daemon;
    daemonOptions.seed = seed;
    ChaosDaemon daemon(tree, Copies{{&oracle}, {&firstVisibleRow}, {}}, daemonOptions, start);
    OracleObserver observer(oracle, start);
    HostLoop host(tree, observer, seed, 0, firstVisibleRow, start);
    if (!daemon.start(error) || !host.load(o.pluginPath, error)) {
        complain(error);
        removeTree(tree);
        return 3;
    }
    const auto length =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.minutes * 60));
    host.run(start + length);
    oracle.checkActions(Clock::now(), true);
    host.unload();
    daemon.stop();
    const TimePoint end = Clock::now();
    const int cutShort = stopSignal() != 0 ? reportCutShort(start, end, o.minutes, std::cout) : 0;
    printFaults(oracle.figures(), std::cout);
    printEmblems(oracle.figures(), o.bounds, std::cout);
    judgeHost(host, tree, secondsBetween(start, end), oracle);
    printViolations(oracle.figures(), std::cout);
    removeTree(tree);
    if (cutShort != 0) {
        return cutShort;
    }
    return oracle.violationCount() == 0 ? 0 : 1;
}

}  // namespace
}  // namespace tarnwell::chaos

int main(int argc, char** argv) {
    using namespace tarnwell::chaos;
    tarnwell::tools::openClosedStandardDescriptors();
    Options options;
    if (const int status = parseOptions(argc, argv, options); status >= 0) {
        return status;
    }
    // Before any thread or copy exists, so that every one inherits it.
    blockStopSignals();
    const std::uint64_t seed = options.seed ? *options.seed : std::random_device{}();
    if (options.copies > 1) {
        return runCopies(options, seed);
    }
    if (!redirectPluginLog(options.pluginLog)) {
        complain("cannot write " + options.pluginLog + ": " + tarnwell::errnoText());
        return 3;
    }
    return runChaos(options, seed);
}
