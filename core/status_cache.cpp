#include "core/status_cache.h"

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
    std::vector<std::string> dropped;
    {
        MutexLock lock(pendingMutex_);
        wanted_.ask(canonicalPath, priority, now, dropped);
        wanted_.takeToSend(now, toSend, dropped);
    }
    forgetDropped(dropped);
}

void StatusCache::applyReply(const std::string& canonicalPath, std::optional<std::int32_t> status,
                             bool takeMore, std::vector<std::string>& toSend) {
    bool keep = true;
    {
        MutexLock lock(pendingMutex_);
        keep = wanted_.keepsReply(canonicalPath);
    }
    {
        WriterLock lock(statusMutex_);
        if (status && keep) {
            statuses_.set(canonicalPath, *status);
        } else if (!status) {
            statuses_.erase(canonicalPath);
        }
    }
    const auto now = WantedQueries::Clock::now();
    std::vector<std::string> dropped;
    {
        MutexLock lock(pendingMutex_);
        // A path changed while its query was out waits again; one without a
        // status is not asked again at every draw; a status nobody asked for
        // is held there.
        wanted_.finish(canonicalPath, status, now);
        if (takeMore) {
            wanted_.takeToSend(now, toSend, dropped);
        }
    }
    forgetDropped(dropped);
}

std::optional<std::int32_t> StatusCache::adoptHeldAnswer(const std::string& canonicalPath) {
    {
        MutexLock lock(pendingMutex_);
        if (!wanted_.holdsAnswer(canonicalPath)) {
            return std::nullopt;
        }
    }
    // Taken and stored under both locks, so that no newer reply for the path
    // can be stored in between and then overwritten.
    WriterLock lock(statusMutex_);
    MutexLock pendingLock(pendingMutex_);
    const std::optional<std::int32_t> answer = wanted_.takeHeldAnswer(canonicalPath);
    if (answer) {
        statuses_.set(canonicalPath, *answer);
    }
    return answer;
}

void StatusCache::forgetDropped(const std::vector<std::string>& dropped) {
    if (dropped.empty()) {
        return;
    }
    // A dropped path that still shows a status was being asked again because
    // it changed: that status is out of date, and without it the next draw
    // asks anew. A status stored meanwhile by a fresh reply is lost too,
    // which costs one more query, never a wrong emblem.
    WriterLock lock(statusMutex_);
    for (const std::string& path : dropped) {
        statuses_.erase(path);
    }
}

void StatusCache::clear() {
    WriterLock lock(statusMutex_);
    statuses_.clear();
    MutexLock pendingLock(pendingMutex_);
    wanted_.clear();
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
    std::vector<std::string> dropped;
    {
        MutexLock lock(pendingMutex_);
        wanted_.distrustAnswersOnTheWay();
        for (const std::string& path : kept) {
            wanted_.ask(path, WantedQueries::Priority::ChangedDrawn, now, dropped);
        }
        wanted_.takeToSend(now, toSend, dropped);
    }
    forgetDropped(dropped);
}

std::size_t StatusCache::size() const {
    ReaderLock lock(statusMutex_);
    return statuses_.size();
}

std::size_t StatusCache::pendingCount() const {
    MutexLock lock(pendingMutex_);
    return wanted_.size();
}

std::size_t StatusCache::memoryBytes() const {
    std::size_t bytes = 0;
    {
        ReaderLock lock(statusMutex_);
        bytes += statuses_.memoryBytes();
    }
    MutexLock lock(pendingMutex_);
    return bytes + wanted_.memoryBytes();
}

}  // namespace tarnwell
