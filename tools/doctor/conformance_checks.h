// The checks of `tarnwell-doctor --daemon`, one function per thing a daemon
// must do for the plug-in, and the connection they ask through.
//
// Each check asks on connections of its own and closes them before the next
// check starts, and each tolerates what the others look for (bytes after
// "done", a daemon that closes after each answer): so a daemon wrong in one
// way is flagged by the one check meant for it, and a daemon that serves one
// connection at a time still gets through the checks that need only one.
//
// Every wait ends by the plug-in's own limit for an answer or by the run's
// deadline, whichever comes first: a hung daemon makes failed checks, never a
// hung run. All of it runs on the main thread, one check after the other.
#ifndef TARNWELL_TOOLS_DOCTOR_CONFORMANCE_CHECKS_H_
#define TARNWELL_TOOLS_DOCTOR_CONFORMANCE_CHECKS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/argument_map.h"
#include "base/posix_io.h"
#include "deadline.h"
#include "doctor/report.h"
#include "protocol/vocabulary.h"

namespace tarnwell::doctor {

struct ConformanceOptions {
    std::uint16_t port = protocol::kCommandPort;
    std::uint16_t notifyPort = protocol::kNotifyPort;
    // How long to listen for notifications after the checks; 0: not at all.
    std::chrono::seconds watch{0};
    // Whether the watch may hear the daemon on the wire (a raw socket, where
    // the process may have one). Tests turn it off to watch as a user
    // without CAP_NET_RAW does.
    bool wireTap = true;
    // The path the menu commands are sent with; empty: they are not sent.
    std::string actPath;
    // How long the plug-in waits for an answer before it gives up on the
    // connection. Tests shorten it to keep a daemon that never answers from
    // costing them seconds.
    std::chrono::milliseconds answerLimit{3000};
    // A p99 answer time past which emblems come noticeably late. Tests on a
    // loaded machine raise it, where a sound daemon's answer may wait for a
    // CPU longer than that.
    std::chrono::milliseconds slowAnswer{10};
    // Every check together, past which a check is not run: a daemon that
    // answers nothing costs the plug-in's limit in each, and the whole run
    // must still end within 30 s.
    std::chrono::milliseconds budget{27000};
    // Files and folders under the roots whose status is asked.
    std::size_t sampleSize = 200;
    // Paths and the status the developer knows each has ("0" to "3", or
    // "none" for no status), from --expect PATH=STATUS: only they can tell a
    // status that is wrong but still 0 to 3.
    std::vector<std::pair<std::string, std::string>> expected;
};

// What one run has learnt, shared by the checks.
struct Conformance {
    ConformanceOptions options;
    Deadline deadline;
    // The roots as the plug-in keeps them: the absolute ones, canonical, each
    // once, in the daemon's order; only those that exist as folders.
    std::vector<std::string> roots;

    explicit Conformance(ConformanceOptions given)
        : options(std::move(given)), deadline(options.budget) {}
    // When an answer must be whole: by the plug-in's limit, or sooner.
    Deadline answerDeadline() const { return deadline.sooner(options.answerLimit); }
};

// One connection as the checks ask through it. A request goes out; its answer
// is read through "done" and not a byte further; bytes the daemon sends
// unasked are dropped before the next request (the after-done check is the
// one that looks for them). A connection the daemon closed is made again
// before the next request, and once more when it was closed under a request
// before a byte of the answer came.
class Probe {
public:
    enum class Outcome {
        Answered,  // "rsp", argument lines, "done"
        Refused,   // another status line, read through its "done"
        TimedOut,  // not whole by the deadline
        Broken,    // closed, cut, or over a limit; the connection is closed
        NoConnection,
    };
    struct Answer {
        Outcome outcome = Outcome::NoConnection;
        ArgumentMap args;
        // From the request to the answer's end, or to the failure.
        std::chrono::microseconds took{0};
        std::string why;  // for people, when not answered
        std::string raw;  // the answer's first bytes as they came, to name a fault
        bool whole() const { return outcome == Outcome::Answered || outcome == Outcome::Refused; }
    };

    explicit Probe(std::uint16_t port) : port_(port) {}

    // With `mayRepeat` false (a menu command: it makes the daemon act), a
    // request the daemon closed the connection under is not sent again.
    Answer ask(const std::string& name, const ArgumentMap* args, const Deadline& deadline,
               bool mayRepeat = true);
    // Waits `wait` (or to the deadline) for bytes nobody asked for and drops
    // them. Their count; `closed` tells whether the daemon closed the
    // connection meanwhile.
    std::size_t strayBytes(std::chrono::milliseconds wait, bool& closed);
    bool connected() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    void close() { fd_.reset(); }
    // Connects when not connected; false with the reason in `why`.
    bool connect(const Deadline& deadline, std::string& why);

private:
    Answer askOnce(const std::string& request, const Deadline& deadline, bool& closedUnasked);

    std::uint16_t port_;
    UniqueFd fd_;
};

// "query_stat" with one path.
Probe::Answer askStatus(Probe& probe, const std::string& path, const Deadline& deadline);
// The status in an answer, described for people when it is not a plain 0 to
// 3; empty when it is one, or when there is no "stat".
std::string statusFault(const ArgumentMap& answer);
// "1 (syncing)", "no status".
const char* statusName(protocol::SyncStatus status);
// "1.2 ms".
std::string milliseconds(std::chrono::microseconds time);

// A check added to `report`, with its id and title.
Check& addCheck(Report& report, const std::string& id, const std::string& title);
// Marks `check` failed because the run's time is spent; true when it is.
bool outOfTime(const Conformance& run, Check& check);
void fail(Check& check, std::string found, std::string fix);
void warn(Check& check, std::string found, std::string fix);

// The roots answer: in time, absolute, existing folders; warns when one is
// not in canonical form or lies inside another. Fills run.roots.
void checkRootsAnswer(Conformance& run, Report& report);
// Statuses of the roots and of a sample found by listing, and the answer times.
void checkStatuses(const Conformance& run, Report& report);
// A path outside every root, a path that does not exist.
void checkOddPaths(const Conformance& run, Report& report);
// Paths holding a tab, a line feed and a backslash.
void checkEscaping(const Conformance& run, Report& report);
// No byte after "done"; an unknown request is answered.
void checkAfterDone(const Conformance& run, Report& report);
void checkUnknownRequest(const Conformance& run, Report& report);
// Two connections at once; a connection dropped mid-request; the daemon keeps
// a connection open after answering.
// `first` is the first of the two; it is left connected only when both were
// served.
void checkTwoConnections(const Conformance& run, Probe& first, Report& report);
void checkDroppedConnection(const Conformance& run, Report& report);
void checkKeepsConnection(const Conformance& run, Report& report);
// Nothing came, and no close, on `idle`, a connection answered at `since`
// and asked nothing more while the other checks ran.
void checkIdleConnection(Probe& idle, Deadline::Clock::time_point since, Report& report);
// The statuses the developer expects (--expect), as the plug-in reads them.
void checkExpectedStatuses(const Conformance& run, Report& report);
// The seven menu commands, with run.options.actPath.
void checkMenuCommands(const Conformance& run, Report& report);
// Notifications sent during run.options.watch.
void watchNotifications(const Conformance& run, Report& report);

Report runConformance(const ConformanceOptions& options);

}  // namespace tarnwell::doctor

#endif  // TARNWELL_TOOLS_DOCTOR_CONFORMANCE_CHECKS_H_
