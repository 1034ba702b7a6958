#include <sys/socket.h>

#include "canonical/canonicalize_path.h"
#include "conformance_checks.h"
#include "daemon_connection.h"
#include "protocol/messages.h"
#include "protocol/tables.h"

namespace tarnwell::doctor {

namespace {

using namespace std::chrono_literals;

// Long enough for bytes, or a close, that the daemon sends right behind an
// answer to arrive.
constexpr auto kBehindAnswer = 200ms;

// How long a connection stays idle before the check looks at what came on
// it: the plug-in waits on an idle connection for ever, and takes any byte
// as a broken connection; a keep-alive under the plug-in's 3-s limit for an
// answer shows within this.
constexpr auto kIdleWatch = 3000ms;
// How long a request without its "done" waits for an answer that should not
// come yet.
constexpr auto kBeforeDone = 300ms;

// A request no daemon knows; it asks for nothing and changes nothing.
constexpr const char* kUnknownRequest = "tarnwell_doctor_no_such_request";

const char* const kAnswerWhole = "answer every request whole: rsp, argument lines, done";

// The path the checks of the connection itself ask about: one the daemon
// answers for, if there is a root.
std::string plainPath(const Conformance& run) {
    return run.roots.empty() ? "/" : run.roots.front();
}

// Sends `bytes` on a new connection and closes it at once; with `reset` the
// close is a reset, as when a file manager is killed.
void dropConnection(const Conformance& run, const std::string& bytes, bool reset) {
    Probe probe(run.options.port);
    std::string why;
    if (!probe.connect(run.answerDeadline(), why)) {
        return;
    }
    ::send(probe.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (reset) {
        const linger resetOnClose{1, 0};
        ::setsockopt(probe.fd(), SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
    }
}

// Sends `request` without its last line ("done") on a new connection; the
// bytes that come back meanwhile, empty when none (as it should be).
std::string answeredBeforeDone(const Conformance& run, const std::string& request) {
    Probe probe(run.options.port);
    std::string why;
    if (!probe.connect(run.answerDeadline(), why)) {
        return {};
    }
    const std::string withoutDone =
        request.substr(0, request.size() - std::string(protocol::kEndLine).size() - 1);
    if (!writeAllBy(probe.fd(), withoutDone, run.answerDeadline().end())) {
        return {};
    }
    return unaskedBytes(probe.fd(), kBeforeDone);
}

// The second of two like requests on one connection refused, the first
// answered: in words, with the cause when the daemon shows it.
std::string outOfStep(const Conformance& run, const Probe::Answer& next) {
    ArgumentMap args;
    args[protocol::kPathKey].push_back(plainPath(run));
    const std::string early =
        answeredBeforeDone(run, protocol::buildRequest(protocol::kQueryStat, &args));
    std::string text = "the same query_stat, asked again on the connection, was refused (" +
                       next.why + ") after the first was answered";
    if (!early.empty()) {
        text += ": the daemon answers before it has read the request's \"done\" (" +
                shownBytes(early) +
                " came while the \"done\" was held back), then takes that \"done\" for a new "
                "request, so every other request of the plug-in gets that answer instead: an "
                "emblem comes late, a menu action is lost";
    }
    return text;
}

}  // namespace

void checkIdleConnection(Probe& idle, Deadline::Clock::time_point since, Report& report) {
    Check& check = addCheck(report, "idle_connection", "nothing on an idle connection");
    if (!idle.connected()) {
        check.verdict = Verdict::Skipped;
        check.found = "no connection had been answered to keep idle";
        return;
    }
    const auto waited = Deadline::Clock::now() - since;
    const auto more =
        waited >= kIdleWatch
            ? 0ms
            : std::chrono::duration_cast<std::chrono::milliseconds>(kIdleWatch - waited);
    const std::string came = unaskedBytes(idle.fd(), more);
    const auto idleFor =
        std::chrono::duration_cast<std::chrono::microseconds>(Deadline::Clock::now() - since);
    if (!came.empty()) {
        fail(check,
             shownBytes(came) + " came on a connection idle for " + milliseconds(idleFor) +
                 ", unasked: the plug-in takes any byte on an idle connection for a broken one, "
                 "closes it, blanks every emblem and connects again",
             "write nothing the plug-in did not ask for: no keep-alive, no greeting; the "
             "connection needs none");
        return;
    }
    bool closed = false;
    idle.strayBytes(0ms, closed);
    if (closed) {
        fail(check,
             "the daemon closed a connection idle for " + milliseconds(idleFor) +
                 ": every emblem blanks until the plug-in has connected again",
             "keep each connection open until the plug-in closes it, however long it is idle");
        return;
    }
    check.found = "no byte in " + milliseconds(idleFor) + " idle";
}

void checkAfterDone(const Conformance& run, Report& report) {
    Check& check = addCheck(report, "after_done", "nothing after \"done\"");
    if (outOfTime(run, check)) {
        return;
    }
    Probe probe(run.options.port);
    ArgumentMap args;
    args[protocol::kPathKey].push_back(plainPath(run));
    struct Question {
        const char* name;
        const ArgumentMap* args;
    };
    for (const Question& question :
         {Question{protocol::kGetRoots, nullptr}, Question{protocol::kQueryStat, &args}}) {
        const std::string name = question.name;
        const Probe::Answer answer = probe.ask(name, question.args, run.answerDeadline());
        if (!answer.whole()) {
            fail(check, name + " got no whole answer: " + answer.why, kAnswerWhole);
            return;
        }
        bool closed = false;
        const std::size_t stray = probe.strayBytes(kBehindAnswer, closed);
        if (stray > 0) {
            fail(check,
                 std::to_string(stray) + " bytes came after the answer to " + name +
                     ": the plug-in closes the connection on them, and every emblem goes",
                 "write one answer per request and nothing else: no greeting, no second "
                 "answer, no keep-alive");
            return;
        }
    }
    check.found = "no byte came after the answers to get_tw_roots and query_stat";
}

void checkUnknownRequest(const Conformance& run, Report& report) {
    Check& check = addCheck(report, "unknown_request", "a request the daemon does not know");
    if (outOfTime(run, check)) {
        return;
    }
    Probe probe(run.options.port);
    const Probe::Answer answer = probe.ask(kUnknownRequest, nullptr, run.answerDeadline());
    if (!answer.whole()) {
        fail(check, std::string(kUnknownRequest) + " got no whole answer: " + answer.why,
             "answer a request you do not know with err, done: a newer plug-in may ask something "
             "new, and would lose the connection after 3 s");
        return;
    }
    check.found = std::string(answer.outcome == Probe::Outcome::Refused ? "refused" : "answered") +
                  " in " + milliseconds(answer.took);
}

void checkTwoConnections(const Conformance& run, Probe& first, Report& report) {
    Check& check = addCheck(report, "two_connections", "two connections at once");
    if (outOfTime(run, check)) {
        return;
    }
    const std::string path = plainPath(run);
    Probe second(run.options.port);
    const Probe::Answer one = askStatus(first, path, run.answerDeadline());
    if (!one.whole()) {
        fail(check, "the first connection got no whole answer: " + one.why, kAnswerWhole);
        first.close();
        return;
    }
    const Probe::Answer two = askStatus(second, path, run.answerDeadline());
    if (!two.whole()) {
        fail(check,
             "a second connection, made while the first was open, got no whole answer (" + two.why +
                 "): every copy of the plug-in holds one (the desktop, each window, each file "
                 "dialog), and all but one would show no emblem",
             "serve every connection on its own, side by side");
        first.close();
        return;
    }
    const Probe::Answer again = askStatus(first, path, run.answerDeadline());
    if (!again.whole()) {
        fail(check,
             "the first connection got no whole answer after the second was served: " + again.why,
             "serve every connection on its own, side by side");
        first.close();
        return;
    }
    check.found = "each answered, in " + milliseconds(one.took) + " and " + milliseconds(two.took);
    // What comes right behind the answer, or a close after each answer, is
    // for the after-done and keeps-connection checks to judge: the idle
    // check starts from a quiet, open connection, or from none.
    bool closed = false;
    first.strayBytes(kBehindAnswer, closed);
}

void checkDroppedConnection(const Conformance& run, Report& report) {
    Check& check = addCheck(report, "dropped_connection", "a connection dropped mid-request");
    if (outOfTime(run, check)) {
        return;
    }
    ArgumentMap args;
    args[protocol::kPathKey].push_back(plainPath(run));
    const std::string request = protocol::buildRequest(protocol::kQueryStat, &args);
    dropConnection(run, request.substr(0, request.size() / 2), false);
    dropConnection(run, request, true);
    Probe probe(run.options.port);
    const Probe::Answer answer = askStatus(probe, plainPath(run), run.answerDeadline());
    if (!answer.whole()) {
        fail(check,
             "after a connection closed in the middle of a request and one reset before its "
             "answer, the next got no whole answer: " +
                 answer.why,
             "treat a connection that ends mid-request as gone, and go on serving the others");
        return;
    }
    check.found = "after one closed mid-request and one reset, the next answered in " +
                  milliseconds(answer.took);
}

void checkKeepsConnection(const Conformance& run, Report& report) {
    Check& check = addCheck(report, "keeps_connection", "the connection stays open");
    if (outOfTime(run, check)) {
        return;
    }
    Probe probe(run.options.port);
    const Probe::Answer answer = askStatus(probe, plainPath(run), run.answerDeadline());
    if (!answer.whole()) {
        fail(check, "no whole answer: " + answer.why, kAnswerWhole);
        return;
    }
    bool closed = false;
    probe.strayBytes(kBehindAnswer, closed);
    if (closed) {
        fail(check,
             "the daemon closed the connection after its answer: the plug-in forgets every "
             "emblem at each close and connects again at once, without a pause, since the "
             "connection was answered",
             "keep each connection open until the plug-in closes it");
        return;
    }
    const Probe::Answer next = askStatus(probe, plainPath(run), run.answerDeadline());
    if (!next.whole()) {
        fail(check, "the next request on the connection got no whole answer: " + next.why,
             "answer request after request on one connection, as long as it is open");
        return;
    }
    if (answer.outcome == Probe::Outcome::Answered && next.outcome == Probe::Outcome::Refused) {
        fail(check, outOfStep(run, next),
             "read each request through its \"done\" line before you answer it");
        return;
    }
    check.found = "open after an answer, and the next request answered on it";
}

void checkMenuCommands(const Conformance& run, Report& report) {
    const std::string path = canonicalizePath(run.options.actPath);
    Check& check = addCheck(report, "menu_commands", "the menu commands for " + path);
    check.detail("path", path);
    if (outOfTime(run, check)) {
        return;
    }
    ArgumentMap args;
    args[protocol::kPathKey].push_back(path);
    Probe probe(run.options.port);
    std::vector<std::string> faults;
    for (const protocol::MenuAction& action : protocol::kMenuActions) {
        // Never sent twice: each makes the daemon act.
        const Probe::Answer answer =
            probe.ask(action.command, &args, run.answerDeadline(), /*mayRepeat=*/false);
        if (!answer.whole()) {
            faults.push_back(std::string(action.command) + ": " + answer.why);
        }
    }
    check.detailList("faults", faults);
    if (!faults.empty()) {
        std::string found;
        for (const std::string& fault : faults) {
            found += (found.empty() ? "" : "; ") + fault;
        }
        fail(check, found,
             "answer each menu command at once (rsp, done; or err, done) and do its work "
             "after answering");
        return;
    }
    check.found = "all seven answered";
}

}  // namespace tarnwell::doctor
