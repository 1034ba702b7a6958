// The host's side of the oracle: each draw and each pick judged against the
// daemon's truth, and a violation printed with its seed, its path and the two
// timelines.
#include <algorithm>

#include "oracle.h"

namespace tarnwell::chaos {

namespace {

// Violations printed with their timelines, then in one line each, then only
// counted: the first ones say what happened, the rest would bury them.
constexpr int kPrintedInFull = 8;
constexpr int kPrintedInBrief = 40;
// How far before a violation its timelines reach, beyond the window.
constexpr Millis kTimelineMargin{2000};
// An answer written this long before a notification may still be on its
// way to the plug-in's cache when the notification is handled.
constexpr Millis kInFlight{50};
// A path not drawn for this long was out of view (the host draws every
// visible row 60 times a second).
constexpr Millis kOutOfView{200};
// A pick is reported before its action is triggered; by this long after a
// reception, every pick made before it has reached the oracle.
constexpr Millis kPickReported{500};

std::string statusText(int status) {
    static const char* const kNames[] = {"up to date", "syncing", "locked", "read-only"};
    return status >= 0 && status < kStatusCount ? kNames[status] : "no emblem";
}

unsigned ruleBit(Rule rule) {
    return rule == Rule::kCount ? 0U : 1U << static_cast<unsigned>(rule);
}

}  // namespace

void Oracle::checkDraw(int path, int shown, TimePoint t) {
    MutexLock lock(mutex_);
    PathState& p = paths_[static_cast<std::size_t>(path)];
    if (p.drawnAt == kNever || t > p.drawnAt + kOutOfView) {
        p.visibleSince = t;
    }
    ++figures_.draws;
    if (shown != kNoStatus) {
        ++figures_.emblems;
    }
    Rule broken = judgeConnection(shown, t);
    if (openConnections_ > 0) {
        broken = judgeRoots(path, shown, t);
        if (broken == Rule::kCount && tree_.inRoots(path, rootsMask_)) {
            broken = judgeStatus(p, shown, t);
            if (broken == Rule::kCount) {
                broken = judgeAnswer(p, shown, t);
            }
            if (broken == Rule::kCount) {
                broken = judgeReturn(p, shown, t);
            }
        }
    }
    recordShown(p, shown, t);
    // One report per episode: a wrong emblem is drawn sixty times a second.
    const unsigned bit = ruleBit(broken);
    if (bit != 0 && (p.violating & bit) == 0) {
        violate(broken, path, shown, t);
    }
    p.violating = bit;
}

Rule Oracle::judgeConnection(int shown, TimePoint t) const {
    if (openConnections_ > 0 || shown == kNoStatus) {
        return Rule::kCount;
    }
    return t > disconnectedSince_ + bounds_.disconnected ? Rule::Disconnected : Rule::kCount;
}

Rule Oracle::judgeRoots(int path, int shown, TimePoint t) const {
    if (shown == kNoStatus || tree_.inRoots(path, rootsMask_)) {
        return Rule::kCount;
    }
    const int root = tree_.rootOf[static_cast<std::size_t>(path)];
    TimePoint left = root == kOutside ? kNever : rootLeftAt_[static_cast<std::size_t>(root)];
    // While the plug-in catches up with a flood, the "refresh_tw_root" waits
    // behind it in the listener's queue.
    left = std::max(left, calmSince_);
    if (t <= left + bounds_.shown) {
        return Rule::kCount;
    }
    if (bounds_.lenientDrops && rootsExcusedAt_ > lastCertainClear_) {
        return Rule::kCount;
    }
    return Rule::OutsideRoots;
}

Rule Oracle::judgeStatus(const PathState& p, int shown, TimePoint t) {
    if (shown == kNoStatus || shown == p.status) {
        return Rule::kCount;
    }
    // An icon that stands for no status at all was never held either.
    if (shown >= kStatusCount || (p.heldMask & (1U << static_cast<unsigned>(shown))) == 0) {
        ++figures_.staleEmblems;
        return Rule::NeverHeld;
    }
    const TimePoint until = heldUntil(p, shown, t - bounds_.window);
    // Still held when drawn: the change was told before the draw was judged.
    if (until != kNever && until >= t) {
        return Rule::kCount;
    }
    ++figures_.staleEmblems;
    if (until == kNever) {
        ++figures_.uncheckedEmblems;
        return Rule::kCount;
    }
    const auto lag = std::chrono::duration_cast<Micros>(t - until);
    figures_.lag.add(lag);
    if (lag <= bounds_.window) {
        return Rule::kCount;
    }
    if (excused(p)) {
        ++figures_.excusedEmblems;
        return Rule::kCount;
    }
    return Rule::Stale;
}

TimePoint Oracle::heldUntil(const PathState& p, int status, TimePoint windowStart) {
    // The newest entry is the current status, which is not `status`.
    for (std::size_t i = p.held.size() - 1; i-- > 0;) {
        if (p.held.at(i).status == status) {
            return p.held.at(i + 1).since;
        }
    }
    // Not in the history kept. If that history reaches back past the window,
    // the status ended before the oldest entry began; otherwise nobody knows.
    const TimePoint oldest = p.held.at(0).since;
    return oldest <= windowStart ? oldest : kNever;
}

bool Oracle::excused(const PathState& p) const {
    return bounds_.lenientDrops && p.excusedAt != kNever && p.excusedAt > lastCertainClear_ &&
           p.answeredAt < p.excusedAt;
}

bool Oracle::calmAt(TimePoint t) const {
    return !calmAfterAccept_ && calmSince_ <= t;
}

Rule Oracle::judgeAnswer(const PathState& p, int shown, TimePoint t) const {
    // The answer counts only when it is still the truth and nothing since it
    // may have kept it from the plug-in or emptied the plug-in's state.
    const bool binding = p.answeredAt != kNever && p.answeredStatus == p.status &&
                         p.answeredAt > p.changedAt && p.answeredAt > lastClear_ &&
                         p.answeredAt > lastDisturbance_ && calmAt(p.answeredAt);
    if (!binding || t <= p.answeredAt + bounds_.shown) {
        return Rule::kCount;
    }
    return shown == p.status ? Rule::kCount : Rule::AnswerNotShown;
}

Rule Oracle::judgeReturn(const PathState& p, int shown, TimePoint t) const {
    if (shown != kNoStatus || p.status == kNoStatus || !calmAt(t)) {
        return Rule::kCount;
    }
    const TimePoint from = std::max({p.changedAt, lastClear_, calmSince_, p.visibleSince});
    return t > from + bounds_.window ? Rule::NeverBack : Rule::kCount;
}

void Oracle::recordShown(PathState& p, int shown, TimePoint t) {
    if (!p.drawn || p.shown != shown) {
        p.shownEvents.push({t, shown});
    }
    p.shown = shown;
    p.drawn = true;
    p.drawnAt = t;
}

void Oracle::violate(Rule rule, int path, int shown, TimePoint t) {
    ++figures_.violations[static_cast<std::size_t>(rule)];
    if (printed_ < kPrintedInFull) {
        printViolation(rule, path, shown, t);
    } else if (printed_ < kPrintedInBrief) {
        out_ << "VIOLATION of rule " << ruleLetter(rule) << " (" << ruleText(rule) << "): "
             << origin() << ", " << tree_.paths[static_cast<std::size_t>(path)] << " at "
             << stamp(start_, t) << " s\n";
    }
    ++printed_;
}

void Oracle::printViolation(Rule rule, int path, int shown, TimePoint t) const {
    const PathState& p = paths_[static_cast<std::size_t>(path)];
    out_ << "VIOLATION of rule " << ruleLetter(rule) << " (" << ruleText(rule) << ")\n"
         << "  " << origin() << ", path " << tree_.paths[static_cast<std::size_t>(path)]
         << ", at " << stamp(start_, t) << " s\n"
         << "  shown: " << statusText(shown) << "; the daemon holds: "
         << (tree_.inRoots(path, rootsMask_) ? statusText(p.status) : "a path outside its roots")
         << (openConnections_ > 0 ? "" : " (no connection open)") << "\n";
    printHints(p);
    printTimelines(p, t);
}

void Oracle::printHints(const PathState& p) const {
    if (p.refreshedAt != kNever && p.queriedAt < p.refreshedAt) {
        out_ << "  hint: no query_stat for it reached the daemon after its last refresh_stat\n";
        if (p.refreshedHow == Send::Closed) {
            out_ << "  hint: that refresh_stat came from a socket closed at once\n";
        } else if (p.answeredAt != kNever && p.answeredStatus != p.status &&
                   p.refreshedAt <= p.answeredAt + kInFlight) {
            out_ << "  hint: its last query_stat was in flight when that refresh_stat went out, "
                    "and the answer carried the status from before\n";
        }
    }
    if (rootsRefreshedHow_ == Send::Closed && rootsRefreshedAt_ > lastCertainClear_) {
        out_ << "  hint: the last refresh_tw_root came from a socket closed at once\n";
    }
    if (lastKernelDrop_ != kNever && lastKernelDrop_ >= p.refreshedAt) {
        out_ << "  hint: the kernel dropped datagrams after its last refresh_stat\n";
    }
    // The listener opens a new socket after an empty datagram, and what was
    // queued behind it is lost.
    for (std::size_t i = 0; i < emptyDatagrams_.size(); ++i) {
        const TimePoint sent = emptyDatagrams_.at(i);
        if (p.refreshedAt != kNever && sent <= p.refreshedAt &&
            sent >= p.refreshedAt - Millis{1000}) {
            out_ << "  hint: an empty datagram was sent just before its last refresh_stat\n";
            break;
        }
    }
}

void Oracle::printTimelines(const PathState& p, TimePoint t) const {
    out_ << "  the daemon's truth for this path:\n";
    printPathEvents(p);
    // Around the path's last change, which may lie long before a path that
    // was out of view is drawn again, and before the violation.
    const TimePoint recent = t - bounds_.window - kTimelineMargin;
    if (p.changedAt != kNever && p.changedAt < recent) {
        out_ << "  the daemon, around that path's last change:\n";
        printGlobal(p.changedAt - kTimelineMargin, p.changedAt + kTimelineMargin);
    }
    out_ << "  the daemon, before the violation:\n";
    printGlobal(recent, t);
    out_ << "  shown on the host for this path:\n";
    for (std::size_t i = 0; i < p.shownEvents.size(); ++i) {
        out_ << "    " << stamp(start_, p.shownEvents.at(i).t) << "  "
             << statusText(p.shownEvents.at(i).status) << "\n";
    }
}

void Oracle::printPathEvents(const PathState& p) const {
    for (std::size_t i = 0; i < p.events.size(); ++i) {
        const PathEvent& e = p.events.at(i);
        out_ << "    " << stamp(start_, e.t) << "  ";
        switch (e.kind) {
            case 'c':
                out_ << "status " << statusText(e.value) << "\n";
                break;
            case 'r':
                out_ << "refresh_stat sent " << sendName(static_cast<Send>(e.value)) << "\n";
                break;
            case 'q':
                out_ << "query_stat received\n";
                break;
            case 'a':
                out_ << "query_stat answered: " << statusText(e.value) << "\n";
                break;
            default:
                out_ << "the kernel dropped datagrams since its refresh_stat\n";
                break;
        }
    }
}

void Oracle::printGlobal(TimePoint from, TimePoint to) const {
    for (std::size_t i = 0; i < global_.size(); ++i) {
        const auto& [t, text] = global_.at(i);
        if (t >= from && t <= to) {
            out_ << "    " << stamp(start_, t) << "  " << text << "\n";
        }
    }
}

// --- Actions ---

void Oracle::actionPicked(const std::string& command, const std::string& path, TimePoint t) {
    MutexLock lock(mutex_);
    const std::string key = command + "\t" + path;
    pickedAt_[key].push_back(t);
    ++figures_.actionsPicked;
    picks_.push_back({key, t, openConnections_ > 0});
    globalEvent(t, "action picked: " + command + " " + path);
}

bool Oracle::matchReception(const Pick& pick) {
    std::deque<TimePoint>& receptions = unmatched_[pick.key];
    // Earlier ones came late for an earlier pick.
    while (!receptions.empty() && receptions.front() < pick.t) {
        receptions.pop_front();
    }
    if (receptions.empty()) {
        return false;
    }
    receptions.pop_front();
    return true;
}

void Oracle::checkActions(TimePoint now, bool final) {
    MutexLock lock(mutex_);
    while (!receptions_.empty() && (final || receptions_.front().t + kPickReported <= now)) {
        judgeReception(receptions_.front());
        receptions_.pop_front();
    }
    while (!picks_.empty() && (final || picks_.front().t + bounds_.actionCalm <= now)) {
        const Pick pick = picks_.front();
        picks_.pop_front();
        judgePick(pick, now);
    }
}

void Oracle::judgeReception(const Reception& reception) {
    const std::uint64_t received = ++received_[reception.key];
    // The picks made up to the reception; picks are reported in order.
    const std::vector<TimePoint>& picks = pickedAt_[reception.key];
    const auto picked = static_cast<std::uint64_t>(
        std::upper_bound(picks.begin(), picks.end(), reception.t) - picks.begin());
    if (received > picked) {
        ++figures_.violations[static_cast<std::size_t>(Rule::ActionTwice)];
        std::string shown = reception.key;
        std::replace(shown.begin(), shown.end(), '\t', ' ');
        out_ << "VIOLATION of rule d (" << ruleText(Rule::ActionTwice) << "): " << origin()
             << ", " << shown << " received " << received << " times at "
             << stamp(start_, reception.t) << " s, picked " << picked << " times\n";
    }
}

void Oracle::judgePick(const Pick& pick, TimePoint now) {
    const bool reached = matchReception(pick);
    // Calm from the pick until now: connected, nothing disturbing active at
    // the pick, and nothing begun since.
    const bool calm = pick.connected && lastDisturbance_ < pick.t && calmAt(pick.t) &&
                      pick.t + bounds_.actionCalm <= now;
    if (!calm) {
        return;
    }
    ++figures_.actionsHeldToOnce;
    if (!reached) {
        ++figures_.violations[static_cast<std::size_t>(Rule::ActionLost)];
        std::string shown = pick.key;
        std::replace(shown.begin(), shown.end(), '\t', ' ');
        out_ << "VIOLATION of rule d (" << ruleText(Rule::ActionLost) << "): " << origin()
             << ", " << shown << " picked at " << stamp(start_, pick.t) << " s\n";
    }
}

void Oracle::ruleBroken(Rule rule, const std::string& detail) {
    MutexLock lock(mutex_);
    ++figures_.violations[static_cast<std::size_t>(rule)];
    out_ << "VIOLATION of rule " << ruleLetter(rule) << " (" << ruleText(rule) << "): "
         << origin() << ", " << detail << "\n";
}

std::string Oracle::origin() const {
    return "seed " + std::to_string(seed_) +
           (copy_ > 0 ? ", copy " + std::to_string(copy_) : std::string());
}

OracleFigures Oracle::figures() const {
    MutexLock lock(mutex_);
    return figures_;
}

std::uint64_t Oracle::violationCount() const {
    MutexLock lock(mutex_);
    std::uint64_t total = 0;
    for (const std::uint64_t n : figures_.violations) {
        total += n;
    }
    return total;
}

}  // namespace tarnwell::chaos
