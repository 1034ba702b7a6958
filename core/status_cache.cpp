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

void StatusCache::want(const std::string& canonicalPath, bool changed,
                       std::vector<std::string>& toSend) {
    const auto now = WantedQueries::Clock::now();
    std::vector<std::string> dropped;
    {
        MutexLock lock(pendingMutex_);
        wanted_.ask(canonicalPath, changed, now, dropped);
        wanted_.takeToSend(now, toSend, dropped);
    }
    forgetDropped(dropped);
}

void StatusCache::applyReply(const std::string& canonicalPath, std::optional<std::int32_t> status,
                             bool takeMore, std::vector<std::string>& toSend) {
    {
        WriterLock lock(statusMutex_);
        if (status) {
            statuses_.set(canonicalPath, *status);
        } else {
            statuses_.erase(canonicalPath);
        }
    }
    const auto now = WantedQueries::Clock::now();
    std::vector<std::string> dropped;
    {
        MutexLock lock(pendingMutex_);
        if (wanted_.finish(canonicalPath)) {
            // The status just stored may predate the change: it stays
            // visible while the path is asked once more, ahead of the rest.
            wanted_.ask(canonicalPath, false, now, dropped);
        }
        if (takeMore) {
            wanted_.takeToSend(now, toSend, dropped);
        }
    }
    forgetDropped(dropped);
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
