#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "canonical/canonicalize_path.h"
#include "checks.h"
#include "processes.h"
#include "protocol/messages.h"
#include "socket_owner/socket_owner.h"

namespace tarnwell::doctor {

namespace {

using namespace std::chrono_literals;

// How long the daemon gets to accept, as the plug-in gives it.
constexpr auto kDaemonLimit = 1s;

std::string describeProcesses(const std::vector<ProcessInfo>& processes) {
    if (processes.empty()) {
        return "its process is not visible to you";
    }
    std::string text;
    for (const ProcessInfo& process : processes) {
        text += (text.empty() ? "pid " : ", pid ") + std::to_string(process.pid);
        if (!process.name.empty()) {
            text += " (" + process.name + ")";
        }
    }
    return text;
}

void addProcessDetails(Check& check, const std::vector<ProcessInfo>& processes) {
    std::vector<std::string> pids;
    std::vector<std::string> names;
    for (const ProcessInfo& process : processes) {
        pids.push_back(std::to_string(process.pid));
        names.push_back(process.name);
    }
    check.detailList("pids", pids).detailList("programs", names);
}

// `listed` as the daemon wrote it, `root` its canonical form.
void checkRoot(const std::string& listed, const std::string& root, Report& report) {
    Check& check = report.checks.emplace_back();
    check.id = "sync_root";
    check.title = "sync root " + listed;
    check.detail("path", listed).detail("canonical", root);
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        check.verdict = Verdict::Failed;
        check.found = ::stat(root.c_str(), &info) == 0 ? "not a folder" : "does not exist";
        check.fix =
            "the daemon lists a sync folder that is not there: re-create it, or remove it "
            "in the Tarnwell client";
        return;
    }
    if (listed == root) {
        check.found = "a folder";
        return;
    }
    // The plug-in asks about every file in its canonical form: a daemon that
    // knows the root only as listed (through a link, or as "//tmp/x") may
    // answer nothing for any of them.
    check.verdict = Verdict::Warning;
    check.found = "a folder, but the plug-in asks about the files in it as " + root +
                  "/..., its form with links resolved, not as " + listed +
                  "/...; a daemon that compares paths as text answers nothing for them";
    check.fix =
        "give a file in it to tarnwell-doctor to see whether the daemon answers; if not, "
        "set the sync folder in the Tarnwell client as " +
        root;
}

// A root the daemon lists that is not an absolute path: the plug-in drops
// it, so nothing in it gets an emblem.
void warnIgnoredRoot(const std::string& root, Report& report) {
    Check& check = report.checks.emplace_back();
    check.id = "sync_root";
    check.title = "sync root \"" + root + "\"";
    check.detail("path", root);
    check.verdict = Verdict::Warning;
    check.found = root.empty() ? "an empty root, which the plug-in ignores"
                               : "not an absolute path, so the plug-in ignores it";
    check.fix =
        "the Tarnwell client lists a sync folder without its full path: set the folder again "
        "in the client";
}

// Connects; false, with the failure in `daemon`, when that fails.
bool connect(DaemonConnection& connection, std::uint16_t port, const Deadline& deadline,
             Check& daemon) {
    std::string error;
    switch (connection.connect(port, deadline.sooner(kDaemonLimit), error)) {
        case DaemonConnection::Connect::Connected:
            return true;
        case DaemonConnection::Connect::Refused:
            daemon.found = "nothing listens there";
            daemon.fix =
                "start the Tarnwell client (it runs the daemon); the plug-in connects "
                "to it by itself within seconds";
            break;
        case DaemonConnection::Connect::TimedOut:
            daemon.found = "the connection was not accepted within 1 s";
            daemon.fix = "restart the Tarnwell client";
            break;
        case DaemonConnection::Connect::Failed:
            daemon.found = "cannot connect: " + error;
            daemon.fix = "restart the Tarnwell client";
            break;
    }
    daemon.verdict = Verdict::Failed;
    return false;
}

// Who runs the daemon on the connection `fd`, into `daemon`; sets mayAsk
// when it is the user or root. False for another user's daemon, which is
// then asked nothing at all.
bool judgeOwner(int fd, std::uint16_t port, const Deadline& deadline, Check& daemon,
                DaemonFindings& findings) {
    const uid_t self = ::geteuid();
    // The daemon's end of this connection belongs to no process until the
    // daemon has accepted it, and a busy daemon may not have yet: then the
    // listening socket, whose owner accepts it, tells who is there. The
    // listening socket also names the processes, for the same reason.
    const SocketOwner listener = tcpListenerOwner(port);
    SocketOwner owner = tcpPeerOwner(fd);
    if (owner.result != OwnerLookup::Found) {
        owner = listener;
    }
    if (owner.result != OwnerLookup::Found) {
        // "get_tw_roots" carries nothing of the user's and is still asked;
        // the user's paths go to no daemon that might be someone else's.
        daemon.verdict = Verdict::Warning;
        daemon.found = "listening; who runs it cannot be found";
        daemon.fix = "check that the program listening on 127.0.0.1:" + std::to_string(port) +
                     " is your Tarnwell client (for instance with `ss -ltnpe`)";
        return true;
    }
    const std::vector<ProcessInfo> processes = processesHoldingSocket(
        listener.result == OwnerLookup::Found ? listener.inode : owner.inode, deadline);
    daemon.detailNumber("uid", owner.uid).detailFlag("same_user", owner.uid == self);
    addProcessDetails(daemon, processes);
    if (!isTrustedOwner(owner.uid)) {
        // The plug-in refuses such a daemon, and the user's paths must not
        // reach another user: the doctor asks it nothing either.
        daemon.verdict = Verdict::Failed;
        daemon.found = "listening, but it belongs to " + describeUid(owner.uid) + ", " +
                       describeProcesses(processes) + ", not to you (" + describeUid(self) +
                       ") nor to root; the plug-in talks to no other user's daemon";
        daemon.fix =
            "another user's program holds the daemon's port: ask that user or the "
            "administrator to stop it, then start your Tarnwell client";
        return false;
    }
    // Root's daemon (a system service) is trusted like the user's own.
    daemon.found = std::string(owner.uid == self ? "listening, yours: " : "listening, trusted: ") +
                   describeUid(owner.uid) + ", " + describeProcesses(processes);
    findings.mayAsk = true;
    return true;
}

// One check per root the daemon listed (or one that it listed none), and a
// warning for each it listed that the plug-in ignores.
void checkRoots(const std::vector<std::string>& listed, const std::vector<std::string>& roots,
                const std::vector<std::string>& ignored, Report& report) {
    if (roots.empty()) {
        Check& none = report.checks.emplace_back();
        none.id = "sync_roots";
        none.title = "sync roots";
        none.verdict = Verdict::Failed;
        none.found = "the daemon lists no sync folder, so no file gets an emblem";
        none.fix = "add a sync folder in the Tarnwell client";
    }
    for (std::size_t i = 0; i < roots.size(); ++i) {
        checkRoot(listed[i], roots[i], report);
    }
    for (const std::string& root : ignored) {
        warnIgnoredRoot(root, report);
    }
}

// The fix for a daemon_answers check that failed with `failure`.
std::string fixForUnanswered(const AskFailure& failure) {
    switch (failure.kind) {
        case AskFailure::Kind::NotTheDaemon:
            return "another program holds the daemon's port (the daemon check above names it)";
        case AskFailure::Kind::NoAnswer:
            return "the daemon accepts but does not answer: restart the Tarnwell client";
        case AskFailure::Kind::Unasked:
            return "make the daemon write nothing on a connection until a request comes: no "
                   "greeting, no banner";
        default:
            return "restart the Tarnwell client";
    }
}

// Asks for the roots, as the plug-in does on every connection, and checks
// them.
void askForRoots(DaemonConnection& connection, const Deadline& deadline,
                 std::chrono::milliseconds limit, Report& report, DaemonFindings& findings) {
    Check& answers = report.checks.emplace_back();
    answers.id = "daemon_answers";
    answers.title = "daemon answers";
    ArgumentMap response;
    AskFailure failure;
    const auto sent = Deadline::Clock::now();
    if (!connection.ask(protocol::kGetRoots, nullptr, deadline.sooner(limit),
                        limit.count() % 1000 == 0 ? std::to_string(limit.count() / 1000) + " s"
                                                  : std::to_string(limit.count()) + " ms",
                        response, failure)) {
        answers.verdict = Verdict::Failed;
        answers.found = failure.text;
        answers.fix = fixForUnanswered(failure);
        findings.notTheDaemon = failure.kind == AskFailure::Kind::NotTheDaemon;
        findings.unreadable =
            failure.kind == AskFailure::Kind::Unasked || !framingFault(failure.firstBytes).empty();
        if (!failure.firstBytes.empty()) {
            answers.detail("first_bytes", failure.firstBytes);
        }
        return;
    }
    const auto roundTrip =
        std::chrono::duration_cast<std::chrono::microseconds>(Deadline::Clock::now() - sent);
    findings.answered = true;
    // The roots as the plug-in keeps them: absolute ones only, canonical.
    std::vector<std::string> ignored;
    findings.listedRoots = protocol::rootsInReply(response, &ignored);
    for (const std::string& root : findings.listedRoots) {
        findings.roots.push_back(canonicalizePath(root));
    }
    char milliseconds[32];
    std::snprintf(milliseconds, sizeof milliseconds, "%.1f ms",
                  static_cast<double>(roundTrip.count()) / 1000.0);
    answers.found = std::string("get_tw_roots answered in ") + milliseconds + ", " +
                    std::to_string(findings.roots.size()) +
                    (findings.roots.size() == 1 ? " sync root" : " sync roots");
    answers.detailNumber("round_trip_us", roundTrip.count()).detailList("roots", findings.roots);
    checkRoots(findings.listedRoots, findings.roots, ignored, report);
}

}  // namespace

DaemonFindings checkDaemon(DaemonConnection& connection, std::uint16_t port,
                           const Deadline& deadline, Report& report,
                           std::chrono::milliseconds answerLimit) {
    DaemonFindings findings;
    Check& daemon = report.checks.emplace_back();
    daemon.id = "daemon";
    daemon.title = "daemon on 127.0.0.1:" + std::to_string(port);
    daemon.detailNumber("port", port);
    if (!connect(connection, port, deadline, daemon) ||
        !judgeOwner(connection.fd(), port, deadline, daemon, findings)) {
        return findings;
    }
    // `daemon` is not used past here: the next check may move it.
    const std::size_t daemonCheck = report.checks.size() - 1;
    askForRoots(connection, deadline, answerLimit, report, findings);
    if (findings.notTheDaemon) {
        // Who listens passed as the user's own; its answer shows it is no
        // daemon at all, and the line must not stay "passed".
        Check& listener = report.checks[daemonCheck];
        listener.verdict = Verdict::Failed;
        listener.found += "; but it is not the Tarnwell daemon (its answer follows)";
        listener.fix = "stop that program, then start the Tarnwell client";
    }
    return findings;
}

}  // namespace tarnwell::doctor
