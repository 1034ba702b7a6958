#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <filesystem>

#include "conformance_checks.h"
#include "protocol/messages.h"

namespace tarnwell::doctor {

namespace {

using namespace std::chrono_literals;

namespace fs = std::filesystem;

// At most this many entries are read to find a root's sample, so a huge tree
// costs the check little.
constexpr std::size_t kMaxListed = 20000;
// Faults quoted in a finding; the rest are counted.
constexpr std::size_t kQuoted = 3;
// The questions the checks after this one ask (besides one per --expect),
// each as slow as the slowest answer here, and the waits they make besides,
// with room to spare: a slow daemon's sample stops where it would leave them
// too little of the run's time.
constexpr std::size_t kQuestionsAfter = 14;
constexpr auto kWaitsAfter = 3000ms;
// Answers this slow are late enough to say so in one sentence of their own:
// emblems then come seconds late, one file after another.
constexpr auto kSecondsLate = 500ms;

// Up to `count` files and folders under `root`, found by listing breadth
// first: the root's own entries before those of its sub-folders. Symbolic
// links are left out: the plug-in asks about the path a link leads to, which
// may lie outside every root. Nothing is created.
std::vector<std::string> listUnder(const std::string& root, std::size_t count,
                                   const Deadline& deadline) {
    std::vector<std::string> found;
    std::deque<fs::path> folders{fs::path(root)};
    std::size_t listed = 0;
    while (!folders.empty() && found.size() < count && listed < kMaxListed && !deadline.passed()) {
        std::error_code error;
        fs::directory_iterator entries(folders.front(), error);
        folders.pop_front();
        for (; !error && entries != fs::directory_iterator() && found.size() < count &&
               listed < kMaxListed;
             entries.increment(error)) {
            ++listed;
            const fs::file_status status = entries->symlink_status(error);
            if (error || fs::is_symlink(status)) {
                continue;
            }
            found.push_back(entries->path().string());
            if (fs::is_directory(status)) {
                folders.push_back(entries->path());
            }
        }
    }
    return found;
}

// The roots, then up to `count` paths under them, taken from each root in
// turn so that every root is in the sample.
std::vector<std::string> pathsToAsk(const std::vector<std::string>& roots, std::size_t count,
                                    const Deadline& deadline) {
    std::vector<std::vector<std::string>> perRoot;
    perRoot.reserve(roots.size());
    for (const std::string& root : roots) {
        perRoot.push_back(listUnder(root, count, deadline));
    }
    std::vector<std::string> paths = roots;
    for (std::size_t i = 0; paths.size() < roots.size() + count; ++i) {
        bool any = false;
        for (const auto& listed : perRoot) {
            if (i < listed.size() && paths.size() < roots.size() + count) {
                paths.push_back(listed[i]);
                any = true;
            }
        }
        if (!any) {
            break;
        }
    }
    return paths;
}

struct StatusSample {
    std::size_t asked = 0;
    std::size_t listed = 0;  // of those, found by listing
    std::array<std::size_t, 4> counts{};
    std::size_t withoutStatus = 0;  // no "stat", or refused
    std::size_t badValues = 0;
    std::size_t notWhole = 0;
    std::vector<std::string> faults;  // the first few, for people
    std::vector<std::chrono::microseconds> times;
    std::string timedOut;  // the path whose answer did not come in time
    std::string timeoutWhy;
    std::chrono::microseconds waited{0};  // for that answer
    bool cutShort = false;                // stopped to leave the other checks their time
};

void quote(StatusSample& sample, const std::string& text) {
    if (sample.faults.size() < kQuoted) {
        sample.faults.push_back(text);
    }
}

// Files one answer into the sample; false when the rest need not be asked.
bool fileAnswer(const std::string& path, const Probe::Answer& answer, StatusSample& sample) {
    if (answer.outcome == Probe::Outcome::TimedOut) {
        sample.timedOut = path;
        sample.timeoutWhy = answer.why;
        sample.waited = answer.took;
        return false;
    }
    ++sample.asked;
    if (!answer.whole()) {
        ++sample.notWhole;
        quote(sample, path + ": " + answer.why);
        return true;
    }
    sample.times.push_back(answer.took);
    const std::string fault = statusFault(answer.args);
    const protocol::SyncStatus status = protocol::statusInReply(answer.args);
    if (!fault.empty()) {
        ++sample.badValues;
        quote(sample, path + ": " + fault);
    } else if (answer.outcome == Probe::Outcome::Refused || status == protocol::NotCached) {
        ++sample.withoutStatus;
    } else {
        ++sample.counts[static_cast<std::size_t>(status)];
    }
    return true;
}

std::string joined(const std::vector<std::string>& texts) {
    std::string text;
    for (const std::string& each : texts) {
        text += (text.empty() ? "" : "; ") + each;
    }
    return text;
}

void judgeValues(const StatusSample& sample, std::size_t roots, Check& check) {
    const std::string asked = std::to_string(sample.asked) + " paths asked (" +
                              std::to_string(roots) + " roots, " + std::to_string(sample.listed) +
                              " found by listing)";
    check.detailNumber("asked", static_cast<long long>(sample.asked));
    check.detailList("faults", sample.faults);
    if (sample.badValues > 0) {
        fail(check,
             asked + ", " + std::to_string(sample.badValues) +
                 " with a bad status: " + joined(sample.faults),
             "answer stat<TAB>N with N the one digit 0, 1, 2 or 3; to say \"no status\", leave "
             "stat out (an empty or garbled stat reads as 0, up to date)");
    } else if (sample.notWhole > 0) {
        fail(check,
             asked + ", " + std::to_string(sample.notWhole) +
                 " without a whole answer: " + joined(sample.faults),
             "answer every query_stat whole: rsp, stat<TAB>N, done, each line ended by LF");
    } else if (sample.asked == 0) {
        check.verdict = Verdict::Skipped;
        check.found = "no answer came in time to judge (see the answer times)";
    } else if (sample.withoutStatus == sample.asked) {
        warn(check, asked + ": none got a status, so no emblem shows",
             "answer stat<TAB>N for every path in a sync root you know");
    } else {
        const auto& n = sample.counts;
        check.found = asked + ": " + std::to_string(n[0]) + " up to date, " + std::to_string(n[1]) +
                      " syncing, " + std::to_string(n[2]) + " locked, " + std::to_string(n[3]) +
                      " read-only, " + std::to_string(sample.withoutStatus) + " without a status";
    }
}

std::chrono::microseconds percentile(std::vector<std::chrono::microseconds> times, double q) {
    std::sort(times.begin(), times.end());
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(times.size())));
    return times[std::max<std::size_t>(rank, 1) - 1];
}

// The answer that did not come: by the plug-in's limit (the daemon's fault),
// or by the end of the check's own time (a slow daemon's checks before).
void judgeTimeout(const StatusSample& sample, const Conformance& run, Check& check) {
    const auto limit =
        std::chrono::duration_cast<std::chrono::microseconds>(run.options.answerLimit);
    const std::string after = " after " + std::to_string(sample.times.size()) + " answers";
    if (sample.waited + 50ms < limit) {
        warn(check,
             "the check's own time (" + std::to_string(run.options.budget.count() / 1000) +
                 " s for every check together) ran out while it waited " +
                 milliseconds(sample.waited) + " for " + sample.timedOut + after +
                 "; the plug-in itself would have waited up to " +
                 std::to_string(run.options.answerLimit.count()) + " ms",
             "answer query_stat from what you hold in memory, at once");
        return;
    }
    fail(check,
         "no answer within the plug-in's limit of " +
             std::to_string(run.options.answerLimit.count()) + " ms for " + sample.timedOut + " (" +
             sample.timeoutWhy + ")" + after +
             ": the plug-in gives up then and closes the connection, and every emblem goes",
         "answer query_stat from what you hold in memory, at once; do slow work later and "
         "send refresh_stat when its result is known");
}

void judgeTimes(const StatusSample& sample, const Conformance& run, Check& check) {
    if (!sample.timedOut.empty()) {
        judgeTimeout(sample, run, check);
        return;
    }
    if (sample.times.empty()) {
        check.verdict = Verdict::Skipped;
        check.found = "no answer to time";
        return;
    }
    const auto p50 = percentile(sample.times, 0.5);
    const auto p99 = percentile(sample.times, 0.99);
    check.detailNumber("p50_us", p50.count()).detailNumber("p99_us", p99.count());
    check.detailNumber("answers", static_cast<long long>(sample.times.size()));
    const std::string found = "p50 " + milliseconds(p50) + ", p99 " + milliseconds(p99) + " over " +
                              std::to_string(sample.times.size()) + " answers";
    const std::string fix = "answer query_stat from memory within " +
                            std::to_string(run.options.slowAnswer.count()) +
                            " ms; do slow work after answering and send refresh_stat when it is "
                            "done";
    if (p50 > kSecondsLate) {
        warn(check,
             "the daemon is slow: it took " + milliseconds(p50) +
                 " (p50) to answer query_stat; the plug-in waits up to 3 s, so emblems still "
                 "show, but each comes that late, one file after another" +
                 (sample.cutShort ? "; only " + std::to_string(sample.times.size()) +
                                        " paths were asked, to leave the other checks their time"
                                  : ""),
             fix);
    } else if (p99 > run.options.slowAnswer) {
        // A folder of a few hundred files then fills slowly.
        warn(check, found + ": emblems come late while a folder fills", fix);
    } else {
        check.found = found;
    }
}

// Whether the sample may ask one more: the checks after it need their time,
// at the pace the daemon has shown.
bool timeForMore(const StatusSample& sample, const Conformance& run) {
    if (run.deadline.passed()) {
        return false;
    }
    if (sample.times.empty()) {
        return true;
    }
    const auto slowest = *std::max_element(sample.times.begin(), sample.times.end());
    const auto questions = static_cast<long>(kQuestionsAfter + run.options.expected.size());
    const auto reserve = slowest * questions + kWaitsAfter;
    return Deadline::Clock::now() + reserve < run.deadline.end();
}

}  // namespace

void checkStatuses(const Conformance& run, Report& report) {
    if (run.roots.empty()) {
        Check& values = addCheck(report, "query_stat", "statuses (query_stat)");
        values.verdict = Verdict::Skipped;
        values.found = "no usable sync root to ask about";
        return;
    }
    if (run.deadline.passed()) {
        outOfTime(run, addCheck(report, "query_stat", "statuses (query_stat)"));
        return;
    }
    const std::vector<std::string> paths =
        pathsToAsk(run.roots, run.options.sampleSize, run.deadline);
    StatusSample sample;
    sample.listed = paths.size() - run.roots.size();
    Probe connection(run.options.port);
    for (const std::string& path : paths) {
        if (!timeForMore(sample, run)) {
            sample.cutShort = !run.deadline.passed();
            break;
        }
        if (!fileAnswer(path, askStatus(connection, path, run.answerDeadline()), sample)) {
            break;
        }
    }
    judgeValues(sample, run.roots.size(), addCheck(report, "query_stat", "statuses (query_stat)"));
    judgeTimes(sample, run, addCheck(report, "answer_time", "answer times (query_stat)"));
}

}  // namespace tarnwell::doctor
