#include "canonical/canonicalize_path.h"
#include "conformance_checks.h"
#include "protocol/messages.h"

namespace tarnwell::doctor {

namespace {

// Faults quoted in a finding; the rest are counted.
constexpr std::size_t kQuoted = 4;

protocol::SyncStatus expectedStatus(const std::string& text) {
    return text == "none" ? protocol::NotCached : static_cast<protocol::SyncStatus>(text[0] - '0');
}

// What the plug-in makes of the answer for `path`, against `expected`; empty
// when they agree.
std::string mismatch(const std::string& path, protocol::SyncStatus expected,
                     const Probe::Answer& answer) {
    if (!answer.whole()) {
        return path + ": no whole answer (" + answer.why + ")";
    }
    const protocol::SyncStatus shown = answer.outcome == Probe::Outcome::Answered
                                           ? protocol::statusInReply(answer.args)
                                           : protocol::NotCached;
    if (shown == expected) {
        return {};
    }
    const std::string* stat = protocol::firstValue(answer.args, protocol::kStatKey);
    const std::string sent = stat == nullptr ? "no \"stat\"" : "stat<TAB>" + *stat;
    return path + ": expected " + statusName(expected) + ", the plug-in reads " +
           statusName(shown) + " from " + sent;
}

}  // namespace

const char* statusName(protocol::SyncStatus status) {
    switch (status) {
        case protocol::UpToDate:
            return "0 (up to date)";
        case protocol::Syncing:
            return "1 (syncing)";
        case protocol::Locked:
            return "2 (locked)";
        case protocol::ReadOnly:
            return "3 (read-only)";
        default:
            return "no status";
    }
}

void checkExpectedStatuses(const Conformance& run, Report& report) {
    Check& check = addCheck(report, "expected_status", "the statuses you expect (--expect)");
    if (outOfTime(run, check)) {
        return;
    }
    Probe probe(run.options.port);
    std::vector<std::string> faults;
    std::size_t wrong = 0;
    for (const auto& [given, status] : run.options.expected) {
        // Asked as the plug-in asks: in canonical form.
        const std::string path = canonicalizePath(given);
        const std::string fault =
            mismatch(path, expectedStatus(status), askStatus(probe, path, run.answerDeadline()));
        if (!fault.empty() && ++wrong <= kQuoted) {
            faults.push_back(fault);
        }
    }
    check.detailList("faults", faults);
    if (wrong == 0) {
        check.found = "each of the " + std::to_string(run.options.expected.size()) +
                      " paths has the status you expect";
        return;
    }
    std::string found = std::to_string(wrong) + " of " +
                        std::to_string(run.options.expected.size()) +
                        " paths show another emblem than you expect: ";
    for (std::size_t i = 0; i < faults.size(); ++i) {
        found += (i == 0 ? "" : "; ") + faults[i];
    }
    fail(check, found,
         "number the statuses 0 up to date, 1 syncing, 2 locked, 3 read-only; undo the escapes "
         "in one pass from left to right (two backslashes and an n are a backslash and an n, "
         "not a backslash and a line feed)");
}

}  // namespace tarnwell::doctor
