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

bool StatusCache::markPending(const std::string& canonicalPath) {
    MutexLock lock(pendingMutex_);
    return pending_.insert(canonicalPath).second;
}

void StatusCache::applyReply(const std::string& canonicalPath, std::optional<std::int32_t> status) {
    {
        WriterLock lock(statusMutex_);
        if (status) {
            statuses_.set(canonicalPath, *status);
        } else {
            statuses_.erase(canonicalPath);
        }
    }
    MutexLock lock(pendingMutex_);
    pending_.erase(canonicalPath);
}

void StatusCache::clear() {
    WriterLock lock(statusMutex_);
    statuses_.clear();
    MutexLock pendingLock(pendingMutex_);
    pending_.clear();
}

std::size_t StatusCache::size() const {
    ReaderLock lock(statusMutex_);
    return statuses_.size();
}

std::size_t StatusCache::pendingCount() const {
    MutexLock lock(pendingMutex_);
    return pending_.size();
}

std::size_t StatusCache::memoryBytes() const {
    std::size_t bytes = 0;
    {
        ReaderLock lock(statusMutex_);
        bytes += statuses_.memoryBytes();
    }
    MutexLock lock(pendingMutex_);
    bytes += pending_.bucket_count() * sizeof(void*);
    for (const std::string& path : pending_) {
        // A node: next pointer, the string and the cached hash.
        bytes += sizeof(void*) + sizeof(std::string) + sizeof(std::size_t) +
                 (path.capacity() > 15 ? path.capacity() + 1 : 0);
    }
    return bytes;
}

}  // namespace tarnwell
