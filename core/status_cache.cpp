#include "core/status_cache.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace tarnwell {

std::optional<std::int32_t> StatusCache::find(const std::string& canonicalPath) const {
    ReaderLock lock(statusMutex_);
    return statuses_.find(canonicalPath);
}

void StatusCache::set(const std::string& canonicalPath, std::int32_t status) {
    WriterLock lock(statusMutex_);
    statuses_.set(canonicalPath, status);
}

void StatusCache::want(const std::string& canonicalPath, WantedQueries::Priority priority,
                       std::vector<std::string>& toSend) {
    const auto now = WantedQueries::Clock::now();
    Forgotten dropped;
    {
        MutexLock lock(pendingMutex_);
        wanted_.ask(canonicalPath, priority, now, dropped.paths);
        wanted_.takeToSend(toSend, now);
        if (priority == WantedQueries::Priority::Drawn) {
            // The host's thread: forgetting takes statusMutex_ exclusively,
            // which the host's path never waits for.
            forgetLater(dropped.paths);
            return;
        }
        takeForgetLater(dropped);
    }
    forgetDropped(dropped);
}

void StatusCache::wantAhead(const std::vector<std::string>& canonicalPaths,
                            std::vector<std::string>& toSend) {
    std::vector<const std::string*> unknown;
    unknown.reserve(canonicalPaths.size());
    {
        ReaderLock lock(statusMutex_);
        for (const std::string& path : canonicalPaths) {
            if (!statuses_.find(path)) {
                unknown.push_back(&path);
            }
        }
    }
    const auto now = WantedQueries::Clock::now();
    Forgotten dropped;
    {
        MutexLock lock(pendingMutex_);
        for (const std::string* path : unknown) {
            if (wanted_.waiting() >= WantedQueries::kCapacity / 2) {
                break;
            }
            wanted_.ask(*path, WantedQueries::Priority::Listed, now, dropped.paths);
        }
        wanted_.takeToSend(toSend, now);
        takeForgetLater(dropped);
    }
    forgetDropped(dropped);
}

void StatusCache::drawnWithOldStatus(const std::string& canonicalPath) {
    const auto now = WantedQueries::Clock::now();
    MutexLock lock(pendingMutex_);
    wanted_.drawnWithOldStatus(canonicalPath, now);
}

bool StatusCache::isPending(const std::string& canonicalPath) const {
    MutexLock lock(pendingMutex_);
    return wanted_.contains(canonicalPath);
}

bool StatusCache::wantIfPending(const std::string& canonicalPath, std::vector<std::string>& toSend,
                                std::optional<std::int32_t>* held) {
    const auto now = WantedQueries::Clock::now();
    std::vector<std::string> dropped;
    MutexLock lock(pendingMutex_);
    if (!wanted_.contains(canonicalPath)) {
        return false;
    }
    *held = wanted_.heldWhileAskedAgain(canonicalPath);
    wanted_.ask(canonicalPath, WantedQueries::Priority::Drawn, now, dropped);
    wanted_.takeToSend(toSend, now);
    forgetLater(dropped);
    return true;
}

bool StatusCache::applyReply(const std::string& canonicalPath, std::optional<std::int32_t> status,
                             bool takeMore, std::vector<std::string>& toSend,
                             std::optional<std::uint64_t> askedIn) {
    bool keep = true;
    {
        MutexLock lock(pendingMutex_);
        keep = wanted_.keepsReply(canonicalPath);
    }
    // clear counts up under both locks, so either sees whether the reply was
    // asked for before it: such a reply may hold a status from before the
    // change that emptied the cache (new roots, a new daemon), and nothing
    // would ask again once it is stored. It is dropped; the next draw asks.
    bool current = true;
    bool changed = false;
    {
        WriterLock lock(statusMutex_);
        current = !askedIn || *askedIn == clearsSeenByStatuses_;
        if (current && status && keep) {
            changed = statuses_.find(canonicalPath) != status;
            statuses_.set(canonicalPath, *status);
        } else if (current && !status) {
            changed = statuses_.erase(canonicalPath);
        }
    }
    const auto now = WantedQueries::Clock::now();
    Forgotten dropped;
    {
        MutexLock lock(pendingMutex_);
        // A path changed while its query was out waits again; one without a
        // status is not asked again at every draw; a status nobody asked for
        // is held there. A path asked again since the clear is not finished
        // by a reply from before it.
        if (!askedIn || *askedIn == clears_) {
            wanted_.finish(canonicalPath, status, current && keep, now);
        }
        wanted_.dropExpired(now, dropped.paths);
        if (takeMore) {
            wanted_.takeToSend(toSend, now);
        }
        takeForgetLater(dropped);
    }
    forgetDropped(dropped);
    return changed;
}

std::optional<std::int32_t> StatusCache::adoptHeldAnswer(const std::string& canonicalPath) {
    {
        MutexLock lock(pendingMutex_);
        if (!wanted_.heldAnswer(canonicalPath)) {
            return std::nullopt;
        }
    }
    // The host's thread: it never waits for a store. While one holds the
    // lock, the answer is not shown: the caller asks for the path as drawn,
    // and the answer goes to the cache and is told. Shown from where it is
    // held, it stayed there for a host that draws a file once and keeps its
    // emblem (the GTK file managers), and the answer to the path's next
    // change, held as well, was never told.
    if (!statusMutex_.try_lock()) {
        return std::nullopt;
    }
    // Taken and stored under both locks, so that no newer reply for the path
    // can be stored in between and then overwritten.
    std::optional<std::int32_t> answer;
    {
        MutexLock pendingLock(pendingMutex_);
        answer = wanted_.takeHeldAnswer(canonicalPath);
        if (answer) {
            statuses_.set(canonicalPath, *answer);
        }
    }
    statusMutex_.unlock();
    return answer;
}

void StatusCache::forgetLater(std::vector<std::string>& dropped) {
    if (forgetEverything_ || dropped.empty()) {
        return;
    }
    if (forgetLater_.size() + dropped.size() > WantedQueries::kCapacity) {
        // Asks by the hundred thousand between two replies (a daemon that
        // hangs, a flood): which of these paths showed a status is not worth
        // the memory; every status is asked anew instead.
        forgetLater_.clear();
        forgetEverything_ = true;
        return;
    }
    forgetLater_.insert(forgetLater_.end(), std::make_move_iterator(dropped.begin()),
                        std::make_move_iterator(dropped.end()));
}

void StatusCache::takeForgetLater(Forgotten& dropped) {
    dropped.paths.insert(dropped.paths.end(), std::make_move_iterator(forgetLater_.begin()),
                         std::make_move_iterator(forgetLater_.end()));
    forgetLater_.clear();
    dropped.everything = forgetEverything_;
    forgetEverything_ = false;
}

void StatusCache::forgetDropped(const Forgotten& dropped) {
    if (dropped.paths.empty() && !dropped.everything) {
        return;
    }
    // A dropped path that still shows a status was being asked again because
    // it changed: that status is out of date, and without it the next draw
    // asks anew. A status stored meanwhile by a fresh reply is lost too,
    // which costs one more query, never a wrong emblem.
    EmblemNotice forgotten;
    {
        WriterLock lock(statusMutex_);
        if (dropped.everything) {
            forgotten.everything = statuses_.size() != 0;
            statuses_.clear();
        } else {
            for (const std::string& path : dropped.paths) {
                if (statuses_.erase(path)) {
                    forgotten.paths.push_back(path);
                }
            }
        }
    }
    // A host that keeps its answers still shows these statuses, and nothing
    // else would make it ask again.
    if (onForgotten_ && (forgotten.everything || !forgotten.paths.empty())) {
        onForgotten_(forgotten);
    }
}

void StatusCache::holdStatusLockForTest(const std::function<void()>& whileHeld) {
    WriterLock lock(statusMutex_);
    whileHeld();
}

void StatusCache::clear() {
    // Made and, holding the old wanted paths, freed with no lock held: a
    // backlog of tens of thousands dropped at a disconnect would otherwise
    // hold up every host thread for as long as freeing it takes.
    WantedQueries dropped;
    std::vector<std::string> forgotten;
    {
        WriterLock lock(statusMutex_);
        statuses_.clear();
        MutexLock pendingLock(pendingMutex_);
        wanted_.clear(dropped);
        forgotten.swap(forgetLater_);
        forgetEverything_ = false;
        clearsSeenByStatuses_ = clearsSeenByStatuses_ + 1;
        clears_ = clears_ + 1;
    }
}

std::uint64_t StatusCache::clears() const {
    MutexLock lock(pendingMutex_);
    return clears_;
}

void StatusCache::keepDrawnForgetRest(const std::function<bool(std::string_view)>& isDrawn,
                                      std::vector<std::string>& toSend) {
    std::vector<std::string> kept;
    {
        WriterLock lock(statusMutex_);
        statuses_.retainIf([&](std::string_view path) {
            if (!isDrawn(path)) {
                return false;
            }
            kept.emplace_back(path);
            return true;
        });
    }
    const auto now = WantedQueries::Clock::now();
    Forgotten dropped;
    {
        MutexLock lock(pendingMutex_);
        wanted_.distrustAnswersOnTheWay();
        for (const std::string& path : kept) {
            wanted_.ask(path, WantedQueries::Priority::ChangedDrawn, now, dropped.paths);
        }
        wanted_.dropExpired(now, dropped.paths);
        wanted_.takeToSend(toSend, now);
        takeForgetLater(dropped);
    }
    forgetDropped(dropped);
}

void StatusCache::keepAllAskAgain(const std::function<bool(std::string_view)>& isDrawn,
                                  std::vector<std::string>& toSend) {
    std::vector<std::string> drawn;
    std::vector<std::string> undrawn;
    {
        ReaderLock lock(statusMutex_);
        undrawn.reserve(statuses_.size());
        statuses_.forEachPath([&](std::string_view path) {
            (isDrawn(path) ? drawn : undrawn).emplace_back(path);
        });
    }
    // A host's draw takes pendingMutex_; a cache of tens of thousands asked
    // in one hold would keep it waiting for milliseconds.
    constexpr std::size_t kSlice = 256;
    const auto now = WantedQueries::Clock::now();
    Forgotten dropped;
    {
        MutexLock lock(pendingMutex_);
        wanted_.distrustAnswersOnTheWay();
    }
    const auto askAll = [&](const std::vector<std::string>& paths, WantedQueries::Priority kind) {
        for (std::size_t start = 0; start < paths.size(); start += kSlice) {
            const std::size_t end = std::min(paths.size(), start + kSlice);
            MutexLock lock(pendingMutex_);
            for (std::size_t i = start; i < end; ++i) {
                wanted_.ask(paths[i], kind, now, dropped.paths);
            }
        }
    };
    askAll(drawn, WantedQueries::Priority::ChangedDrawn);
    askAll(undrawn, WantedQueries::Priority::ChangedUndrawn);
    {
        MutexLock lock(pendingMutex_);
        wanted_.dropExpired(now, dropped.paths);
        wanted_.takeToSend(toSend, now);
        takeForgetLater(dropped);
    }
    forgetDropped(dropped);
}

void StatusCache::changesPaused(std::vector<std::string>& toSend) {
    MutexLock lock(pendingMutex_);
    wanted_.takeToSend(toSend, WantedQueries::Clock::now(), /*paused=*/true);
}

std::size_t StatusCache::size() const {
    ReaderLock lock(statusMutex_);
    return statuses_.size();
}

std::size_t StatusCache::pendingCount() const {
    MutexLock lock(pendingMutex_);
    return wanted_.size();
}

}  // namespace tarnwell
