#include "notify_order.h"

#include <algorithm>
#include <cstdio>

#include "protocol/messages.h"

namespace tarnwell::doctor {

namespace {

// Faults quoted in the finding; the rest are counted.
constexpr std::size_t kQuoted = 3;

}  // namespace

NotifyOrder::NotifyOrder(const Conformance& run, Clock::time_point start)
    : run_(run), start_(start), probe_(run.options.port) {}

std::string NotifyOrder::ask(const std::string& path, bool& whole) {
    const Probe::Answer answer = askStatus(probe_, path, Deadline(run_.options.answerLimit));
    whole = whole && answer.whole();
    return statusName(answer.outcome == Probe::Outcome::Answered
                          ? protocol::statusInReply(answer.args)
                          : protocol::NotCached);
}

void NotifyOrder::heard(const std::string& path, bool followNew) {
    const Clock::time_point now = Clock::now();
    heardAt_[path].push_back(now);
    // One path followed at a time: the notifications a sync sends for it
    // meanwhile are what the second look is judged by.
    const bool following = std::any_of(followed_.begin(), followed_.end(), [&](const Followed& f) {
        return f.path == path && !f.looked;
    });
    if (!followNew || following || followed_.size() >= kFollowed) {
        return;
    }
    Followed followed;
    followed.path = path;
    followed.firstAt = now;
    followed.first = ask(path, followed.whole);
    followed_.push_back(std::move(followed));
}

NotifyOrder::Clock::time_point NotifyOrder::nextDue() const {
    Clock::time_point due = Clock::time_point::max();
    for (const Followed& followed : followed_) {
        if (!followed.looked) {
            due = std::min(due, followed.firstAt + kSecondLook);
        }
    }
    return due;
}

void NotifyOrder::lookAgain() {
    for (Followed& followed : followed_) {
        if (!followed.looked && Clock::now() >= followed.firstAt + kSecondLook) {
            followed.secondAt = Clock::now();
            followed.second = ask(followed.path, followed.whole);
            followed.looked = true;
        }
    }
}

NotifyOrder::Clock::time_point NotifyOrder::settledAt() const {
    Clock::time_point settled = start_;
    for (const Followed& followed : followed_) {
        const Clock::time_point look =
            followed.looked ? followed.secondAt : followed.firstAt + kSecondLook;
        settled = std::max(settled, look + kGrace);
    }
    return settled;
}

// A "refresh_stat" for the path heard after the first question went out:
// any change stored after that question is announced by it, or by a later one.
bool NotifyOrder::announcedAfter(const Followed& followed) const {
    const auto heard = heardAt_.find(followed.path);
    return heard != heardAt_.end() &&
           std::any_of(heard->second.begin(), heard->second.end(), [&](Clock::time_point at) {
               return at > followed.firstAt && at <= followed.secondAt + kGrace;
           });
}

std::string NotifyOrder::seconds(Clock::time_point at) const {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", std::chrono::duration<double>(at - start_).count());
    return text;
}

void NotifyOrder::judge(Check& check) const {
    std::vector<std::string> faults;
    std::size_t changed = 0;
    std::size_t stale = 0;
    std::size_t judged = 0;
    for (const Followed& followed : followed_) {
        if (!followed.looked || !followed.whole) {
            continue;
        }
        ++judged;
        if (followed.first == followed.second) {
            continue;
        }
        ++changed;
        if (!announcedAfter(followed) && ++stale <= kQuoted) {
            faults.push_back(followed.path + " read " + followed.first +
                             " when asked at once, at " + seconds(followed.firstAt) +
                             " into the watch, and " + followed.second + " at " +
                             seconds(followed.secondAt) +
                             ", with no refresh_stat for it after the first question");
        }
    }
    check.detailNumber("followed", static_cast<long long>(judged));
    check.detailNumber("changed", static_cast<long long>(changed));
    std::string found = std::to_string(judged) +
                        " refresh_stat followed (each path asked at once " + "and 1 s later), " +
                        std::to_string(changed) + " of them changed after";
    if (stale > 0) {
        std::string listed;
        for (const std::string& fault : faults) {
            listed += (listed.empty() ? "" : "; ") + fault;
        }
        if (stale > faults.size()) {
            listed += "; " + std::to_string(stale - faults.size()) + " others not listed";
        }
        fail(check,
             found + ": " + listed +
                 ". The plug-in asks as soon as it hears refresh_stat, reads the old status and "
                 "keeps its emblem until the file changes again",
             "store the new status, then notify: send refresh_stat only once query_stat "
             "answers with the new status");
    } else if (judged == 0) {
        check.verdict = Verdict::Skipped;
        check.found =
            "no refresh_stat for a path in a sync root was heard to follow (change a "
            "file in a sync folder during the watch, e.g. touch one)";
    } else {
        check.found = found + ", each announced after it was stored";
    }
}

}  // namespace tarnwell::doctor
