#include "oracle.h"

#include <algorithm>
#include <utility>

namespace tarnwell::chaos {

namespace {

using namespace std::chrono_literals;

// A notification that makes the plug-in empty its state ("refresh_tw_root")
// takes effect on the listener thread a little after it is sent; an answer
// the daemon writes meanwhile may be shown and then cleared.
constexpr Millis kNotificationSettle = 200ms;

constexpr const char* kFaultNames[] = {
    "change", "racing-change", "closed-socket",  "repeat", "ghost",
    "roots",  "kill",          "stall",          "slow",   "cut",
    "reset",  "garbage",       "empty-datagram", "flood",  "calm",
};
static_assert(std::size(kFaultNames) == static_cast<std::size_t>(Fault::kCount));

}  // namespace

const char* faultName(Fault fault) {
    return kFaultNames[static_cast<std::size_t>(fault)];
}

bool faultByName(const std::string& name, Fault& fault) {
    for (std::size_t i = 0; i < std::size(kFaultNames); ++i) {
        if (name == kFaultNames[i]) {
            fault = static_cast<Fault>(i);
            return true;
        }
    }
    return false;
}

const char* sendName(Send how) {
    switch (how) {
        case Send::Kept:
            return "from the daemon's socket";
        case Send::Closed:
            return "from a socket closed at once";
        case Send::Repeated:
            return "repeated";
    }
    return "";
}

char ruleLetter(Rule rule) {
    constexpr char kLetters[] = "aabbccddef";
    return kLetters[static_cast<std::size_t>(rule)];
}

const char* ruleText(Rule rule) {
    switch (rule) {
        case Rule::Stale:
            return "a status the daemon stopped holding longer ago than the window";
        case Rule::NeverHeld:
            return "a status the daemon never held for this path";
        case Rule::AnswerNotShown:
            return "the daemon's answer was not shown in time";
        case Rule::NeverBack:
            return "the emblem did not come back";
        case Rule::OutsideRoots:
            return "an emblem outside the daemon's roots";
        case Rule::Disconnected:
            return "an emblem while no daemon is connected";
        case Rule::ActionTwice:
            return "an action reached the daemon more often than it was picked";
        case Rule::ActionLost:
            return "an action picked while the daemon was calm never reached it";
        case Rule::HostCalls:
            return "the host's calls were slow";
        case Rule::Resources:
            return "the host's resources grew";
        case Rule::kCount:
            break;
    }
    return "";
}

Oracle::Oracle(const Tree& tree, const Bounds& bounds, std::uint64_t seed, TimePoint start,
               std::ostream& out, int copy)
    : tree_(tree), bounds_(bounds), seed_(seed), start_(start), copy_(copy), out_(out) {
    MutexLock lock(mutex_);
    paths_.resize(tree.paths.size());
    rootLeftAt_.fill(kNever);
    disconnectedSince_ = start;
    calmSince_ = start;
}

// --- The daemon's truth ---

void Oracle::statusChanged(int path, int status, TimePoint t) {
    MutexLock lock(mutex_);
    PathState& p = paths_[static_cast<std::size_t>(path)];
    p.held.push({t, status});
    p.status = status;
    if (status >= 0) {
        p.heldMask |= 1U << static_cast<unsigned>(status);
    }
    p.changedAt = t;
    p.events.push({t, 'c', status});
}

void Oracle::rootsChanged(unsigned rootsMask, TimePoint t) {
    MutexLock lock(mutex_);
    std::string names;
    for (int r = 0; r < kRootCandidates; ++r) {
        const unsigned bit = 1U << static_cast<unsigned>(r);
        if ((rootsMask_ & bit) != 0 && (rootsMask & bit) == 0) {
            rootLeftAt_[static_cast<std::size_t>(r)] = t;
        }
        if ((rootsMask & bit) != 0) {
            const std::string& dir = tree_.rootCandidates[static_cast<std::size_t>(r)];
            names += " " + dir.substr(dir.rfind('/') + 1);
        }
    }
    rootsMask_ = rootsMask;
    globalEvent(t, "roots now:" + names);
}

void Oracle::refreshSent(int path, Send how, TimePoint t) {
    MutexLock lock(mutex_);
    PathState& p = paths_[static_cast<std::size_t>(path)];
    p.refreshedAt = t;
    p.refreshedHow = how;
    p.events.push({t, 'r', static_cast<int>(how)});
}

void Oracle::rootsRefreshSent(Send how, TimePoint t) {
    MutexLock lock(mutex_);
    rootsRefreshedAt_ = t;
    rootsRefreshedHow_ = how;
    lastClear_ = t;
    calmSince_ = std::max(calmSince_, t + kNotificationSettle);
    globalEvent(t, std::string("refresh_tw_root sent ") + sendName(how));
}

void Oracle::queryReceived(int path, TimePoint t) {
    MutexLock lock(mutex_);
    PathState& p = paths_[static_cast<std::size_t>(path)];
    p.queriedAt = t;
    p.events.push({t, 'q', 0});
}

void Oracle::rootsRequested(TimePoint t) {
    MutexLock lock(mutex_);
    lastClear_ = lastCertainClear_ = t;
    globalEvent(t, "get_tw_roots received");
}

void Oracle::queryAnswered(int path, int status, TimePoint t) {
    MutexLock lock(mutex_);
    PathState& p = paths_[static_cast<std::size_t>(path)];
    p.answeredAt = t;
    p.answeredStatus = status;
    p.events.push({t, 'a', status});
    ++figures_.answers;
}

void Oracle::connectionOpened(TimePoint t) {
    MutexLock lock(mutex_);
    ++openConnections_;
    lastClear_ = lastCertainClear_ = t;
    if (calmAfterAccept_) {
        calmSince_ = std::max(calmSince_, t);
        calmAfterAccept_ = false;
    }
    globalEvent(t, "connection accepted");
}

void Oracle::connectionClosed(TimePoint t) {
    MutexLock lock(mutex_);
    openConnections_ = std::max(0, openConnections_ - 1);
    lastClear_ = lastCertainClear_ = t;
    if (openConnections_ == 0) {
        disconnectedSince_ = t;
    }
    globalEvent(t, "connection closed");
}

void Oracle::disturbed(TimePoint t, TimePoint calmAt) {
    MutexLock lock(mutex_);
    lastDisturbance_ = t;
    if (calmAt == kNever) {
        calmAfterAccept_ = true;
    } else {
        calmSince_ = std::max(calmSince_, calmAt);
    }
}

void Oracle::flooded(TimePoint from, TimePoint calmAt) {
    MutexLock lock(mutex_);
    lastClear_ = std::max(lastClear_, from);
    calmSince_ = std::max(calmSince_, calmAt);
}

void Oracle::faultInjected(Fault fault, TimePoint t, const std::string& detail) {
    MutexLock lock(mutex_);
    ++figures_.faults[static_cast<std::size_t>(fault)];
    if (fault == Fault::EmptyDatagram) {
        emptyDatagrams_.push(t);
    }
    globalEvent(t, std::string(faultName(fault)) + (detail.empty() ? "" : ": " + detail));
}

void Oracle::countFault(Fault fault) {
    MutexLock lock(mutex_);
    ++figures_.faults[static_cast<std::size_t>(fault)];
}

void Oracle::note(TimePoint t, const std::string& text) {
    MutexLock lock(mutex_);
    globalEvent(t, text);
}

void Oracle::globalEvent(TimePoint t, std::string text) {
    global_.push({t, std::move(text)});
}

void Oracle::kernelDropped(std::uint64_t count, TimePoint since, TimePoint t) {
    MutexLock lock(mutex_);
    figures_.kernelDrops += count;
    lastKernelDrop_ = t;
    for (PathState& p : paths_) {
        if (p.refreshedAt > since) {
            p.excusedAt = t;
            p.events.push({t, 'x', 0});
        }
    }
    if (rootsRefreshedAt_ > since) {
        rootsExcusedAt_ = t;
    }
    globalEvent(
        t, "the kernel dropped " + std::to_string(count) + " datagrams on the listener's socket");
}

void Oracle::actionReceived(const std::string& command, const std::string& path, TimePoint t) {
    MutexLock lock(mutex_);
    std::string key = command + "\t" + path;
    ++figures_.actionsReceived;
    unmatched_[key].push_back(t);
    globalEvent(t, "action received: " + command + " " + path);
    // Judged once its pick has surely been reported (checkActions): a copy in
    // a process of its own reports the pick through a pipe, and the action
    // may reach the daemon first.
    receptions_.push_back({std::move(key), t});
}

}  // namespace tarnwell::chaos
