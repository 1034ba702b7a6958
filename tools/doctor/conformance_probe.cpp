#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "base/posix_io.h"
#include "base/wire_format.h"
#include "channel/daemon_connect.h"
#include "channel/exchange.h"
#include "conformance_checks.h"
#include "daemon_connection.h"
#include "protocol/messages.h"

namespace tarnwell::doctor {

namespace {

using namespace std::chrono_literals;

// Of an answer's first bytes, the most kept to name a fault: a roots answer
// on several "path" lines shows within them.
constexpr std::size_t kRawKept = 4096;

// The daemon gets as long to accept as the plug-in gives it.
constexpr auto kConnectLimit = 1s;

// Takes what has arrived unasked; `closed` when the daemon has closed.
std::size_t dropWaiting(int fd, bool& closed) {
    std::size_t dropped = 0;
    char buffer[4096];
    for (;;) {
        const ssize_t n =
            retryInterrupted([&] { return ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT); });
        if (n > 0) {
            dropped += static_cast<std::size_t>(n);
            continue;
        }
        closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        return dropped;
    }
}

}  // namespace

bool Probe::connect(const Deadline& deadline, std::string& why) {
    if (fd_.valid()) {
        return true;
    }
    DaemonSocket daemon =
        connectToDaemon(protocol::kLoopbackAddress, port_, deadline.sooner(kConnectLimit).end());
    switch (daemon.outcome) {
        case DaemonSocket::Outcome::Connected:
            fd_ = std::move(daemon.fd);
            return true;
        case DaemonSocket::Outcome::Refused:
            why = "nothing listens any more";
            return false;
        case DaemonSocket::Outcome::TimedOut:
            why = "the connection was not accepted in time";
            return false;
        case DaemonSocket::Outcome::Failed:
            break;
    }
    why = "cannot connect: " + std::generic_category().message(daemon.error);
    return false;
}

Probe::Answer Probe::ask(const std::string& name, const ArgumentMap* args, const Deadline& deadline,
                         bool mayRepeat) {
    const std::string request = protocol::buildRequest(name, args);
    bool closedUnasked = false;
    Answer answer = askOnce(request, deadline, closedUnasked);
    if (closedUnasked && mayRepeat) {
        // The daemon closed a connection that had served before just as the
        // request went out: the plug-in would connect again, and so do we.
        answer = askOnce(request, deadline, closedUnasked);
    }
    return answer;
}

Probe::Answer Probe::askOnce(const std::string& request, const Deadline& deadline,
                             bool& closedUnasked) {
    Answer answer;
    if (fd_.valid()) {
        bool closed = false;
        dropWaiting(fd_.get(), closed);
        if (closed) {
            fd_.reset();
        }
    }
    const bool reused = fd_.valid();
    if (!connect(deadline, answer.why)) {
        return answer;
    }
    const auto start = Deadline::Clock::now();
    // A request is small: the write waits only on a daemon that has stopped
    // reading altogether.
    const bool sent = writeAllBy(fd_.get(), request, deadline.end());
    // The answer's first bytes, kept (not taken) to name a mistake of framing
    // once the plug-in's reader has refused the answer.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.end() -
                                                                            Deadline::Clock::now());
    answer.raw = sent ? unaskedBytes(fd_.get(), left, kRawKept) : std::string();
    // The plug-in's own reader, taking exactly the answer's bytes: what comes
    // behind it is the after-done check's to judge.
    LineReader reader(fd_.get(), LineReader::Mode::TakeExactly, deadline.end());
    std::string why;
    const ExchangeOutcome outcome =
        sent ? readAnswer(reader, answer.args, why) : ExchangeOutcome::Broken;
    answer.took =
        std::chrono::duration_cast<std::chrono::microseconds>(Deadline::Clock::now() - start);
    const std::string framing = framingFault(answer.raw);
    if (outcome == ExchangeOutcome::Broken) {
        answer.outcome = deadline.passed() ? Outcome::TimedOut : Outcome::Broken;
        answer.why = !framing.empty() ? framing
                     : !sent          ? "the request could not be sent: " + errnoText()
                     : answer.outcome == Outcome::TimedOut && answer.raw.empty()
                         ? "not a byte of an answer came"
                         : why;
        closedUnasked = reused && answer.outcome == Outcome::Broken && answer.raw.empty();
        answer.args.clear();
        fd_.reset();
        return answer;
    }
    answer.outcome = outcome == ExchangeOutcome::Ok ? Outcome::Answered : Outcome::Refused;
    if (answer.outcome == Outcome::Refused) {
        answer.why = framing.empty() ? why : framing;
    }
    return answer;
}

std::size_t Probe::strayBytes(std::chrono::milliseconds wait, bool& closed) {
    closed = false;
    std::size_t stray = 0;
    const auto end = Deadline::Clock::now() + wait;
    while (fd_.valid() && !closed) {
        pollfd ready{fd_.get(), POLLIN, 0};
        if (pollUntil(&ready, 1, end) <= 0) {
            break;
        }
        stray += dropWaiting(fd_.get(), closed);
    }
    if (closed) {
        fd_.reset();
    }
    return stray;
}

Probe::Answer askStatus(Probe& probe, const std::string& path, const Deadline& deadline) {
    ArgumentMap args;
    args[protocol::kPathKey].push_back(path);
    return probe.ask(protocol::kQueryStat, &args, deadline);
}

std::string statusFault(const ArgumentMap& answer) {
    const std::string* stat = protocol::firstValue(answer, protocol::kStatKey);
    if (stat == nullptr) {
        // Keys are compared byte for byte: "Stat" or "STAT" is no status.
        for (const auto& [key, values] : answer) {
            if (key.size() == 4 && ::strncasecmp(key.c_str(), protocol::kStatKey, 4) == 0) {
                return "the key \"" + key +
                       "\" is not \"stat\": case matters, and the plug-in reads no status";
            }
        }
        return {};
    }
    if (stat->size() == 1 && (*stat)[0] >= '0' && (*stat)[0] <= '3') {
        return {};
    }
    const std::string shown = "\"" + stat->substr(0, 24) + "\"";
    const protocol::SyncStatus read = protocol::statusInReply(answer);
    if (read == protocol::NotCached) {
        return "stat " + shown + " is no status, so no emblem shows";
    }
    return "stat " + shown + " is read as " + std::to_string(read) +
           (read == protocol::UpToDate ? " (up to date)" : "") + " by the plug-in";
}

std::string milliseconds(std::chrono::microseconds time) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(time.count()) / 1000.0);
    return text;
}

Check& addCheck(Report& report, const std::string& id, const std::string& title) {
    Check& check = report.checks.emplace_back();
    check.id = id;
    check.title = title;
    return check;
}

bool outOfTime(const Conformance& run, Check& check) {
    if (!run.deadline.passed()) {
        return false;
    }
    fail(check,
         "not run: the time for the whole check (" +
             std::to_string(run.options.budget.count() / 1000) +
             " s) was spent waiting for the daemon in the checks above",
         "make the daemon answer each request within 3 s, then run the check again");
    return true;
}

void fail(Check& check, std::string found, std::string fix) {
    check.verdict = Verdict::Failed;
    check.found = std::move(found);
    check.fix = std::move(fix);
}

void warn(Check& check, std::string found, std::string fix) {
    check.verdict = Verdict::Warning;
    check.found = std::move(found);
    check.fix = std::move(fix);
}

}  // namespace tarnwell::doctor
