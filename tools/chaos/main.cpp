// tarnwell-chaos: the real plug-in, loaded as the file manager loads it, run
// for minutes against a daemon that does everything a daemon may do, while an
// oracle checks every emblem the host was shown against what the daemon held
// (rules a to d, see oracle.h), the host's calls (e) and its resources (f).
// It uses the plug-in's fixed ports 19080 and 19081.
//
// Threads: main runs the host loop (and with it the plug-in's emblem and menu
// calls); the daemon has a thread of its own; the plug-in starts its worker
// and listener.
#include <fcntl.h>
#include <unistd.h>

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
#include "host_loop.h"
#include "oracle.h"
#include "stats.h"
#include "tools_common/options.h"
#include "tools_common/program.h"
#include "tree.h"

namespace tarnwell::chaos {
namespace {

// Rule f: the most each figure may grow per minute over the run, after the
// first minutes in which caches fill.
constexpr double kMemorySlopeBoundKiB = 256;
constexpr double kDescriptorSlopeBound = 0.5;
constexpr double kThreadSlopeBound = 0.1;
// Rule e.
constexpr Micros kHostCallBound{1000};

struct Options {
    double minutes = 3;
    std::optional<std::uint64_t> seed;
    std::string pluginPath = TARNWELL_CHAOS_PLUGIN_PATH;
    std::string pluginLog = "/dev/null";
    std::string treeParent;
    int files = 2000;
    int windowMs = 5000;
    bool help = false;
    Bounds bounds;
    DaemonOptions daemon;
};

void printUsage(std::ostream& out) {
    out << "usage: tarnwell-chaos [--minutes M] [--seed S] [--plugin PATH] [--plugin-log FILE]\n"
           "                      [--files N] [--tree-parent DIR] [--window-ms W]\n"
           "                      [--lenient-drops] [--skip FAULT[,FAULT...]]\n"
           "\n"
           "Runs the plug-in against a daemon that injects faults at random from the seed,\n"
           "and checks every emblem shown against the daemon's truth. Uses the plug-in's\n"
           "fixed ports 127.0.0.1:19080 and 19081. Exit status 0 without violations, 1 with\n"
           "any, 2 for bad options, 3 when the run cannot start.\n"
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
    return o;
}

// The plug-in writes a line per command to stderr: to its own file, so that
// ours stays readable.
bool redirectPluginLog(const std::string& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    return true;
}

}  // namespace
}  // namespace tarnwell::chaos

namespace tarnwell::chaos {
namespace {

void printFaults(const OracleFigures& f) {
    std::cout << "faults injected:";
    for (std::size_t i = 0; i < f.faults.size(); ++i) {
        std::cout << (i == 0 ? " " : ", ") << faultName(static_cast<Fault>(i)) << " "
                  << f.faults[i];
    }
    std::cout << "; the kernel dropped " << f.kernelDrops << " datagrams\n";
}

void printEmblems(const OracleFigures& f, const Bounds& bounds) {
    std::cout << "emblems checked: " << f.draws << " draws, " << f.emblems << " with an emblem, "
              << f.staleEmblems << " showing a status the daemon no longer held\n"
              << "lag of those (since the daemon stopped holding it; window "
              << formatDuration(bounds.window) << "): " << f.lag.summary() << "\n"
              << "  " << f.excusedEmblems << " stale past the window excused by kernel drops, "
              << f.uncheckedEmblems << " not judged (history too short); " << f.answers
              << " status answers\n"
              << "actions: " << f.actionsPicked << " picked, " << f.actionsReceived << " received, "
              << f.actionsHeldToOnce
              << " picked while the daemon stayed calm for a second (held to exactly once)\n";
}

void judgeHostCalls(const Histogram& calls, Oracle& oracle) {
    std::cout << "host calls: " << calls.count() << ", " << calls.summary()
              << " (bound: p99.9 <= " << formatDuration(kHostCallBound) << ")\n";
    if (calls.percentile(0.999) > kHostCallBound) {
        oracle.ruleBroken(Rule::HostCalls, "p99.9 of the host's calls is " +
                                               formatDuration(calls.percentile(0.999)));
    }
}

// One resource figure over the run after the warm-up: start, end, slope.
bool judgeResource(const std::vector<ResourceSample>& samples, const char* name,
                   double (*value)(const ResourceSample&), double bound, const char* unit) {
    const double slope = slopePerMinute(samples, value);
    std::printf(
        "  %s: %.0f%s after the warm-up, %.0f%s at the end, slope %+.2f%s a minute "
        "(bound %.2f)\n",
        name, value(samples.front()), unit, value(samples.back()), unit, slope, unit, bound);
    return slope <= bound;
}

// The samples after the warm-up, reduced to the median of each of their
// stretches of kStretchSeconds: connections, sockets opened for one datagram
// and a daemon that is down come and go, but what leaks raises the median.
std::vector<ResourceSample> medianPerStretch(const std::vector<ResourceSample>& all,
                                             double warmUp) {
    constexpr double kStretchSeconds = 10;
    std::vector<ResourceSample> medians;
    std::vector<ResourceSample> stretch;
    const auto flush = [&] {
        if (stretch.empty()) {
            return;
        }
        const std::size_t middle = stretch.size() / 2;
        ResourceSample m = stretch.front();
        const auto medianOf = [&](auto member) {
            std::vector<long> values;
            values.reserve(stretch.size());
            for (const ResourceSample& s : stretch) {
                values.push_back(static_cast<long>(s.*member));
            }
            std::nth_element(values.begin(), values.begin() + static_cast<long>(middle),
                             values.end());
            return values[middle];
        };
        m.rssKiB = medianOf(&ResourceSample::rssKiB);
        m.heapKiB = medianOf(&ResourceSample::heapKiB);
        m.descriptors = static_cast<int>(medianOf(&ResourceSample::descriptors));
        m.threads = static_cast<int>(medianOf(&ResourceSample::threads));
        medians.push_back(m);
        stretch.clear();
    };
    for (const ResourceSample& s : all) {
        if (s.seconds < warmUp) {
            continue;
        }
        if (!stretch.empty() && s.seconds >= stretch.front().seconds + kStretchSeconds) {
            flush();
        }
        stretch.push_back(s);
    }
    flush();
    return medians;
}

void judgeResources(const std::vector<ResourceSample>& all, double seconds, Oracle& oracle) {
    // Caches fill during the first minute or quarter of the run.
    const double warmUp = std::min(60.0, seconds / 4);
    const std::vector<ResourceSample> samples = medianPerStretch(all, warmUp);
    if (samples.size() < 2) {
        std::cout << "resources: too few samples\n";
        return;
    }
    std::cout << "resources of the host process (resident memory " << all.front().rssKiB
              << " KiB at its start, " << all.back().rssKiB << " KiB at the end; from " << warmUp
              << " s on, the median of each 10 s):" << std::endl;
    // The heap in use, where the allocator tells it. A sanitizer's allocator
    // does not, and its shadow memory makes the resident size say nothing
    // about leaks: it is shown, not judged.
    bool flat = true;
    if (samples.front().heapKiB > 0) {
        flat = judgeResource(
            samples, "heap in use", [](const ResourceSample& s) { return double(s.heapKiB); },
            kMemorySlopeBoundKiB, " KiB");
    } else {
        judgeResource(
            samples, "resident memory (not judged)",
            [](const ResourceSample& s) { return double(s.rssKiB); }, kMemorySlopeBoundKiB, " KiB");
    }
    flat =
        judgeResource(
            samples, "descriptors", [](const ResourceSample& s) { return double(s.descriptors); },
            kDescriptorSlopeBound, "") &&
        flat;
    flat = judgeResource(
               samples, "threads", [](const ResourceSample& s) { return double(s.threads); },
               kThreadSlopeBound, "") &&
           flat;
    std::fflush(stdout);
    if (!flat) {
        oracle.ruleBroken(Rule::Resources, "a figure grew faster than its bound (see above)");
    }
}

void printViolations(const OracleFigures& f) {
    std::array<std::uint64_t, 6> byLetter{};
    for (std::size_t i = 0; i < f.violations.size(); ++i) {
        byLetter[static_cast<std::size_t>(ruleLetter(static_cast<Rule>(i)) - 'a')] +=
            f.violations[i];
    }
    std::cout << "violations by rule:";
    for (std::size_t i = 0; i < byLetter.size(); ++i) {
        std::cout << " " << static_cast<char>('a' + i) << " " << byLetter[i];
    }
    std::cout << "\n";
}

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
    ChaosDaemon daemon(tree, oracle, daemonOptions, firstVisibleRow, start);
    HostLoop host(tree, oracle, seed, firstVisibleRow, start);
    if (!daemon.start(error) || !host.load(o.pluginPath, error)) {
        std::cout << "tarnwell-chaos: " << error << "\n";
        removeTree(tree);
        return 3;
    }
    const auto length =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.minutes * 60));
    host.run(start + length, std::cout);
    oracle.checkActions(Clock::now(), true);
    host.unload();
    daemon.stop();
    const double seconds = secondsBetween(start, Clock::now());
    printFaults(oracle.figures());
    printEmblems(oracle.figures(), o.bounds);
    judgeHostCalls(host.calls(), oracle);
    judgeResources(host.samples(), seconds, oracle);
    printViolations(oracle.figures());
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
    if (!redirectPluginLog(options->pluginLog)) {
        std::cerr << "tarnwell-chaos: cannot write " << options->pluginLog << "\n";
        return 3;
    }
    return runChaos(*options, seed);
}
