#include "copies.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "base/posix_io.h"
#include "chaos_daemon.h"
#include "copy_reports.h"
#include "host_loop.h"
#include "plugin_fill.h"
#include "run_figures.h"
#include "stop_signal.h"
#include "tree.h"

namespace tarnwell::chaos {

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::seconds kProgressInterval{60};
// How long after the end of the run a copy may take to unload the plug-in and
// report its figures before it counts as hung.
constexpr std::chrono::seconds kFinishGrace{60};
constexpr int kReportPipeBytes = 1024 * 1024;

static_assert(std::atomic<int>::is_always_lock_free, "shared between processes");

// The program's own stderr once the plug-in's log has taken fd 2; -1 before.
// Main thread only.
int gOwnStderr = -1;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Where each copy's window begins, in memory shared with the copies' processes
// (made before they are forked); the daemon favours those rows.
class SharedWindows {
public:
    explicit SharedWindows(int copies) : count_(static_cast<std::size_t>(copies)) {
        void* memory = ::mmap(nullptr, bytes(), PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory != MAP_FAILED) {
            rows_ = static_cast<std::atomic<int>*>(memory);
            for (std::size_t i = 0; i < count_; ++i) {
                new (&rows_[i]) std::atomic<int>(0);
            }
        }
    }
    ~SharedWindows() {
        if (rows_ != nullptr) {
            ::munmap(rows_, bytes());
        }
    }
    SharedWindows(const SharedWindows&) = delete;
    SharedWindows& operator=(const SharedWindows&) = delete;

    bool valid() const { return rows_ != nullptr; }
    std::atomic<int>& at(std::size_t copy) { return rows_[copy]; }

private:
    std::size_t bytes() const { return sizeof(std::atomic<int>) * count_; }

    const std::size_t count_;
    std::atomic<int>* rows_ = nullptr;
};

struct Copy {
    int number = 0;  // 1 and up
    pid_t pid = -1;
    int reportFd = -1;  // the pipe's reading end, until the reader takes it
    std::unique_ptr<Oracle> oracle;
    std::unique_ptr<ReportReader> reader;
    bool reading = true;  // until its pipe ends
    int status = 0;       // as waitpid tells it
};

// What a copy's process needs; the rest of the parent's state it ignores.
struct CopyStart {
    const Options* options;
    std::uint64_t seed;
    const Tree* tree;
    int number;
    std::atomic<int>* window;
    int goFd;      // one byte to begin; end of file to give up
    int goWriteFd;  // the parent's end of that pipe, closed in the copy
    int reportFd;  // the pipe to the parent
    TimePoint start;
    TimePoint until;
};

std::string pluginLogOf(const Options& o, int number) {
    if (o.copies == 1 || o.pluginLog == "/dev/null") {
        return o.pluginLog;
    }
    return o.pluginLog + "." + std::to_string(number);
}

// The copy's figures: its calls (rule e) and its resources (rule f), judged
// here, where they are the plug-in's own, and sent to the parent. After the
// plug-in is unloaded: no thread allocates while heldAnswersKiB counts.
void reportFigures(const HostLoop& host, const CopyStart& c, ReportWriter& writer) {
    std::ostringstream out;
    std::vector<Breach> breaches;
    if (auto breach = judgeHostCalls(host.calls(), out)) {
        breaches.push_back(*breach);
    }
    const std::string whose = "copy " + std::to_string(c.number) + "'s process";
    if (auto breach = judgeResources(host.samples(), secondsBetween(c.start, Clock::now()),
                                     kCopyMemoryBound, heldAnswersKiB(*c.tree), whose, out)) {
        breaches.push_back(*breach);
    }
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
        writer.line(line);
    }
    for (const Breach& b : breaches) {
        writer.broken(b.rule, b.detail);
    }
}

// A copy's process: waits for the daemon, loads the plug-in, runs the host
// loop and reports. Never returns.
[[noreturn]] void runCopy(const CopyStart& c) {
    // A copy outlives no parent.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::close(c.goWriteFd);
    ReportWriter writer(c.reportFd);
    const std::string log = pluginLogOf(*c.options, c.number);
    if (!redirectPluginLog(log)) {
        writer.line("tarnwell-chaos: cannot write " + log);
        writer.frameDone(Clock::now());
        ::_exit(3);
    }
    char go = 0;
    if (::read(c.goFd, &go, 1) != 1) {
        ::_exit(3);
    }
    ::close(c.goFd);
    HostLoop host(*c.tree, writer, c.seed, c.number, *c.window, c.start);
    host.scrollThroughFirst();
    std::string error;
    if (!host.load(c.options->pluginPath, error)) {
        writer.line("tarnwell-chaos: " + error);
        writer.frameDone(Clock::now());
        ::_exit(3);
    }
    host.run(c.until);
    host.unload();
    reportFigures(host, c, writer);
    writer.finished();
    ::_exit(writer.failed() ? 1 : 0);
}

// Forks the copies, each with its pipe; the parent keeps the reading ends.
// False when a pipe or a process cannot be had (the copies made so far are
// then told to give up by the end of the pipe `go`).
bool forkCopies(const Options& o, std::uint64_t seed, const Tree& tree, SharedWindows& windows,
                const int (&go)[2], TimePoint start, std::vector<Copy>& copies) {
    const auto length =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.minutes * 60));
    for (int number = 1; number <= o.copies; ++number) {
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) {
            return false;
        }
        const CopyStart c{&o,    seed,      &tree,     number,       &windows.at(number - 1),
                          go[0], go[1],     report[1], start,        start + length};
        std::cout << std::flush;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(report[0]);
            // The reading ends of the copies before this one stay the parent's.
            for (const Copy& earlier : copies) {
                ::close(earlier.reportFd);
            }
            runCopy(c);
        }
        ::close(report[1]);
        if (pid < 0) {
            ::close(report[0]);
            return false;
        }
        ::fcntl(report[0], F_SETFL, O_NONBLOCK);
        // Room for a few seconds of draws, so that a copy does not wait on a
        // parent busy with the daemon's truth (where the kernel allows it).
        ::fcntl(report[0], F_SETPIPE_SZ, kReportPipeBytes);
        Copy copy;
        copy.number = number;
        copy.pid = pid;
        copy.reportFd = report[0];
        copies.push_back(std::move(copy));
    }
    return true;
}

// After the forks, so that no copy's process holds the oracles.
void makeOracles(const Options& o, std::uint64_t seed, const Tree& tree, TimePoint start,
                 std::vector<Copy>& copies) {
    for (Copy& c : copies) {
        c.oracle = std::make_unique<Oracle>(tree, o.bounds, seed, start, std::cout, c.number);
        c.reader = std::make_unique<ReportReader>(c.reportFd, *c.oracle, tree.rowCount);
    }
}

OracleFigures total(const std::vector<Copy>& copies) {
    OracleFigures sum;
    for (const Copy& c : copies) {
        const OracleFigures f = c.oracle->figures();
        sum.draws += f.draws;
        for (std::size_t i = 0; i < sum.violations.size(); ++i) {
            sum.violations[i] += f.violations[i];
        }
    }
    return sum;
}

std::uint64_t violations(const OracleFigures& f) {
    std::uint64_t n = 0;
    for (const std::uint64_t v : f.violations) {
        n += v;
    }
    return n;
}

// Kills the copies still reporting long after the end of the run.
void killHungCopies(std::vector<Copy>& copies) {
    for (Copy& c : copies) {
        if (c.reading) {
            std::cout << "tarnwell-chaos: copy " << c.number << " (pid " << c.pid
                      << ") did not finish; killed" << std::endl;
            ::kill(c.pid, SIGKILL);
            c.reading = false;
        }
    }
}

// Passes a stop signal on to the copies still running: one from the terminal
// reached them already, one sent to this process alone did not. Each ends
// its run as at the end, and reports.
void passStopOn(const std::vector<Copy>& copies, int signal) {
    for (const Copy& c : copies) {
        if (c.reading) {
            ::kill(c.pid, signal);
        }
    }
}

// Reads every copy's reports until every pipe has ended (or a copy is still
// not done long after the end), judging the picks as they fall due and
// printing a progress line a minute. A stop signal ends the run early.
void readReports(std::vector<Copy>& copies, TimePoint start, TimePoint until) {
    TimePoint nextProgress = start + kProgressInterval;
    bool stopPassedOn = false;
    for (;;) {
        std::vector<pollfd> fds;
        for (const Copy& c : copies) {
            if (c.reading) {
                fds.push_back({c.reader->fd(), POLLIN, 0});
            }
        }
        if (fds.empty()) {
            return;
        }
        ::poll(fds.data(), fds.size(), 20);
        // Taken before reading: every pick reported before now is read below,
        // so the picks made before a reception are known when it is judged.
        const TimePoint now = Clock::now();
        if (!stopPassedOn && stopSignal() != 0) {
            passStopOn(copies, stopSignal());
            stopPassedOn = true;
            until = std::min(until, now);
        }
        for (Copy& c : copies) {
            if (c.reading && !c.reader->readAvailable()) {
                c.reading = false;
                if (!c.reader->finished()) {
                    std::cout << "tarnwell-chaos: copy " << c.number << " (pid " << c.pid
                              << ") ended early, at " << stamp(start, now) << " s" << std::endl;
                }
            }
            c.oracle->checkActions(now, false);
        }
        if (now >= nextProgress) {
            const OracleFigures f = total(copies);
            std::cout << "chaos: " << static_cast<long>(secondsBetween(start, now)) << " s, "
                      << f.draws << " emblems checked, " << violations(f) << " violations"
                      << std::endl;
            nextProgress += kProgressInterval;
        }
        if (now > until + kFinishGrace) {
            killHungCopies(copies);
        }
    }
}

// Waits for every copy; false when one did not end well.
bool reapCopies(std::vector<Copy>& copies) {
    bool well = true;
    for (Copy& c : copies) {
        while (::waitpid(c.pid, &c.status, 0) < 0 && errno == EINTR) {
        }
        if (!c.reader->finished() || !WIFEXITED(c.status) || WEXITSTATUS(c.status) != 0) {
            well = false;
        }
    }
    return well;
}

void printCopy(const Copy& c, const Bounds& bounds) {
    const OracleFigures f = c.oracle->figures();
    std::cout << "copy " << c.number << " (pid " << c.pid << "):\n";
    printEmblems(f, bounds, std::cout);
    for (const std::string& line : c.reader->lines()) {
        std::cout << line << "\n";
    }
    if (!c.reader->finished()) {
        std::cout << "ended early: ";
        if (WIFSIGNALED(c.status)) {
            std::cout << "killed by signal " << WTERMSIG(c.status) << "\n";
        } else {
            std::cout << "exit status " << WEXITSTATUS(c.status) << "\n";
        }
    }
    printViolations(f, std::cout);
}

// The copies' figures, each apart, and the violations of all; the status the
// run ends with.
int printFigures(const std::vector<Copy>& copies, const Bounds& bounds, bool copiesWell) {
    printFaults(copies.front().oracle->figures(), std::cout);
    for (const Copy& c : copies) {
        printCopy(c, bounds);
    }
    const OracleFigures all = total(copies);
    printViolations(all, std::cout, "violations by rule, all copies");
    if (!copiesWell) {
        std::cout << "tarnwell-chaos: a copy of the plug-in ended early or failed (see above)\n";
    }
    for (const Copy& c : copies) {
        // A copy that could not even begin (no plug-in to load, no log to
        // write): the run could not start.
        if (!c.reader->finished() && WIFEXITED(c.status) && WEXITSTATUS(c.status) == 3) {
            return 3;
        }
    }
    return violations(all) == 0 && copiesWell ? 0 : 1;
}

// Starts the daemon and lets the copies begin; false, with `error` set, when
// the daemon cannot start.
bool startDaemon(ChaosDaemon& daemon, int goFd, int copies, std::string& error) {
    if (!daemon.start(error)) {
        return false;
    }
    const std::string go(static_cast<std::size_t>(copies), 'g');
    return ::write(goFd, go.data(), go.size()) == static_cast<ssize_t>(go.size());
}

// Reads the copies' reports to the end of the run (or a stop signal), stops
// the daemon, reaps the copies, removes the tree and prints the figures; the
// exit status.
int finishCopies(const Options& o, TimePoint start, ChaosDaemon& daemon, const Tree& tree,
                 std::vector<Copy>& copies) {
    const auto length =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.minutes * 60));
    readReports(copies, start, start + length);
    const TimePoint end = Clock::now();
    for (Copy& c : copies) {
        c.oracle->checkActions(end, true);
    }
    daemon.stop();
    const bool copiesWell = reapCopies(copies);
    removeTree(tree);
    const int cutShort = stopSignal() != 0 ? reportCutShort(start, end, o.minutes, std::cout) : 0;
    const int status = printFigures(copies, o.bounds, copiesWell);
    return cutShort != 0 ? cutShort : status;
}

}  // namespace

bool redirectPluginLog(const std::string& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    if (gOwnStderr < 0) {
        gOwnStderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    }
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    return true;
}

void complain(const std::string& message) {
    const std::string line = "tarnwell-chaos: " + message + "\n";
    writeAll(gOwnStderr >= 0 ? gOwnStderr : STDERR_FILENO, line);
}

int runCopies(const Options& o, std::uint64_t seed) {
    Tree tree;
    std::string error;
    SharedWindows windows(o.copies);
    int go[2];
    if (!windows.valid() || ::pipe2(go, O_CLOEXEC) != 0) {
        complain("cannot share memory or make a pipe");
        return 3;
    }
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
              << " listed paths under " << tree.base << ", plug-in " << o.pluginPath << ", "
              << o.copies << " copies, each in a process of its own" << std::endl;
    std::vector<Copy> copies;
    const bool forked = forkCopies(o, seed, tree, windows, go, start, copies);
    ::close(go[0]);
    makeOracles(o, seed, tree, start, copies);
    Copies route;
    for (int i = 0; i < static_cast<int>(copies.size()); ++i) {
        route.oracles.push_back(copies[static_cast<std::size_t>(i)].oracle.get());
        route.firstVisibleRows.push_back(&windows.at(static_cast<std::size_t>(i)));
        route.processes.push_back(copies[static_cast<std::size_t>(i)].pid);
    }
    DaemonOptions daemonOptions = o.daemon;
    daemonOptions.seed = seed;
    ChaosDaemon daemon(tree, route, daemonOptions, start);
    if (!forked || !startDaemon(daemon, go[1], o.copies, error)) {
        complain(forked ? error : "cannot start the copies");
        ::close(go[1]);
        reapCopies(copies);
        removeTree(tree);
        return 3;
    }
    ::close(go[1]);
    return finishCopies(o, start, daemon, tree, copies);
}

}  // namespace tarnwell::chaos
