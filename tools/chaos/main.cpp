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
#include <climits>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include "chaos_daemon.h"
#include "copies.h"
#include "host_loop.h"
#include "options.h"
#include "oracle.h"
#include "run_figures.h"
#include "stats.h"
#include "tools_common/options.h"
#include "tools_common/program.h"
#include "tree.h"

namespace tarnwell::chaos {
namespace {

void printUsage(std::ostream& out) {
    out << "usage: tarnwell-chaos [--minutes M] [--seed S] [--plugin PATH] [--plugin-log FILE]\n"
           "                      [--files N] [--tree-parent DIR] [--window-ms W]\n"
           "                      [--lenient-drops] [--skip FAULT[,FAULT...]] [--copies N]\n"
           "\n"
           "Runs the plug-in against a daemon that injects faults at random from the seed,\n"
           "and checks every emblem shown against the daemon's truth. Uses the plug-in's\n"
           "fixed ports 127.0.0.1:19080 and 19081. --copies N (1 to 8, default 1) runs N\n"
           "copies of the plug-in, each in a process of its own when N is 2 or more, with\n"
           "their diagnostics in FILE.1 to FILE.N, and judges each copy's emblems. Exit\n"
           "status 0 without violations, 1 with any (or when a copy ended early), 2 for bad\n"
           "options, 3 when the run cannot start.\n"
           "\n"
           "faults: change racing-change closed-socket repeat ghost roots kill stall slow\n"
           "        cut reset garbage empty-datagram flood calm\n";
}

bool parseSkip(const std::string& list, DaemonOptions& daemon) {
    std::istringstream in(list);
    for (std::string name; std::getline(in, name, ',');) {
        Fault fault{};
        if (!faultByName(name, fault)) {
            std::cerr << "tarnwell-chaos: unknown fault: " << name << "\n";
            return false;
        }
        daemon.enabled[static_cast<std::size_t>(fault)] = false;
    }
    return true;
}

// An option whose value `take` reads; "bad option: NAME" when it cannot.
tarnwell::tools::Option valueOption(const std::string& name,
                                    std::function<bool(const std::string&)> take) {
    const std::string bad = "bad option: " + name;
    return {name, "", true, bad, [bad, take = std::move(take)](const std::string& value) {
                return take(value) ? std::string() : bad;
            }};
}

// A whole number from 0 to `max` into `number`.
std::function<bool(const std::string&)> whole(long long max, int& number) {
    return [max, &number](const std::string& value) {
        long long parsed = 0;
        const bool ok = tarnwell::tools::parseInteger(value, 0, max, parsed);
        number = static_cast<int>(parsed);
        return ok;
    };
}

std::function<bool(const std::string&)> text(std::string& field) {
    return [&field](const std::string& value) {
        field = value;
        return true;
    };
}

std::optional<Options> parseOptions(int argc, char** argv) {
    using tarnwell::tools::Option;
    Options o;
    o.daemon.enabled.fill(true);
    const Option table[] = {
        tarnwell::tools::flagOption("--help", "-h", o.help),
        tarnwell::tools::flagOption("--lenient-drops", "", o.bounds.lenientDrops),
        valueOption("--minutes",
                    [&](const std::string& value) {
                        return tarnwell::tools::parseDecimal(value, -1e9, 1e9, o.minutes);
                    }),
        valueOption("--seed",
                    [&](const std::string& value) {
                        long long seed = 0;
                        const bool ok =
                            tarnwell::tools::parseInteger(value, 0, LLONG_MAX, seed);
                        o.seed = static_cast<std::uint64_t>(seed);
                        return ok;
                    }),
        valueOption("--files", whole(1'000'000'000, o.files)),
        valueOption("--window-ms", whole(1'000'000'000, o.windowMs)),
        valueOption("--copies", whole(1'000'000'000, o.copies)),
        valueOption("--skip", [&](const std::string& value) { return parseSkip(value, o.daemon); }),
        valueOption("--plugin", text(o.pluginPath)),
        valueOption("--plugin-log", text(o.pluginLog)),
        valueOption("--tree-parent", text(o.treeParent)),
    };
    tarnwell::tools::OptionRules rules;
    rules.unknown = "bad option: ";
    const std::string refused = tarnwell::tools::parseCommandLine(argc, argv, table, rules);
    if (!refused.empty()) {
        std::cerr << "tarnwell-chaos: " << refused << "\n";
        printUsage(std::cerr);
        return std::nullopt;
    }
    o.bounds.window = Millis{o.windowMs};
    if (o.minutes <= 0 || o.files < 100 || o.windowMs <= 0) {
        std::cerr << "tarnwell-chaos: --minutes, --files (at least 100) and --window-ms must be "
                     "positive\n";
        return std::nullopt;
    }
    if (o.copies < 1 || o.copies > kMostCopies) {
        std::cerr << "tarnwell-chaos: --copies must be 1 to " << kMostCopies << "\n";
        return std::nullopt;
    }
    return o;
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
                      << oracle_.figures().draws << " emblems checked, "
                      << oracle_.violationCount() << " violations" << std::endl;
            nextProgress_ += kProgressInterval;
        }
    }

private:
    static constexpr std::chrono::seconds kProgressInterval{60};

    Oracle& oracle_;
    const TimePoint start_;
    TimePoint nextProgress_;
};

void judgeHost(const HostLoop& host, double seconds, Oracle& oracle) {
    for (const auto& breach :
         {judgeHostCalls(host.calls(), std::cout),
          judgeResources(host.samples(), seconds, kProcessMemoryBound, "the host process",
                         std::cout)}) {
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
        std::cout << "tarnwell-chaos: " << error << "\n";
        return 3;
    }
    const TimePoint start = Clock::now();
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
        std::cout << "tarnwell-chaos: " << error << "\n";
        removeTree(tree);
        return 3;
    }
    const auto length =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.minutes * 60));
    host.run(start + length);
    oracle.checkActions(Clock::now(), true);
    host.unload();
    daemon.stop();
    const double seconds = secondsBetween(start, Clock::now());
    printFaults(oracle.figures(), std::cout);
    printEmblems(oracle.figures(), o.bounds, std::cout);
    judgeHost(host, seconds, oracle);
    printViolations(oracle.figures(), std::cout);
    removeTree(tree);
    return oracle.violationCount() == 0 ? 0 : 1;
}

}  // namespace
}  // namespace tarnwell::chaos

int main(int argc, char** argv) {
    using namespace tarnwell::chaos;
    tarnwell::tools::openClosedStandardDescriptors();
    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        return 2;
    }
    if (options->help) {
        printUsage(std::cout);
        return 0;
    }
    const std::uint64_t seed = options->seed ? *options->seed : std::random_device{}();
    if (options->copies > 1) {
        return runCopies(*options, seed);
    }
    if (!redirectPluginLog(options->pluginLog)) {
        std::cerr << "tarnwell-chaos: cannot write " << options->pluginLog << "\n";
        return 3;
    }
    return runChaos(*options, seed);
}
