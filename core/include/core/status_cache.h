// The per-path status cache and the set of paths whose status query is in
// flight. Keys are canonical paths; statuses are stored as the core's status
// numbers. No size limit, no expiry: entries leave only through a reply
// without a valid status and through clear.
//
// Thread safety: every operation may be called from any thread. Lookups take
// statusMutex_ shared, so the host's emblem requests never block each other;
// stores take it exclusively for one map operation.
//
// Lock order: statusMutex_ (exclusive) may be held while pendingMutex_ is
// taken (in clear), never the other way round.
#ifndef TARNWELL_CORE_STATUS_CACHE_H_
#define TARNWELL_CORE_STATUS_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "core/status_map.h"

namespace tarnwell {

class StatusCache {
public:
    std::optional<std::int32_t> find(const std::string& canonicalPath) const
        TARNWELL_EXCLUDES(statusMutex_);
    // Inserts or overwrites; any value is stored unchanged.
    void set(const std::string& canonicalPath, std::int32_t status) TARNWELL_EXCLUDES(statusMutex_);

    // Marks a query for the path as in flight. False when one already is, in
    // which case the caller must send nothing.
    bool markPending(const std::string& canonicalPath) TARNWELL_EXCLUDES(pendingMutex_);
    // A query's reply: stores `status`, or removes the entry when there is
    // none, and only then ends the path's pending mark, so that a host thread
    // in between finds the status and sends nothing.
    void applyReply(const std::string& canonicalPath, std::optional<std::int32_t> status)
        TARNWELL_EXCLUDES(statusMutex_, pendingMutex_);

    // Empties the cache and the pending set. Queries already queued are not
    // cancelled: their replies are stored as usual.
    void clear() TARNWELL_EXCLUDES(statusMutex_, pendingMutex_);

    std::size_t size() const TARNWELL_EXCLUDES(statusMutex_);
    std::size_t pendingCount() const TARNWELL_EXCLUDES(pendingMutex_);
    // Bytes held by the cache and the pending set.
    std::size_t memoryBytes() const TARNWELL_EXCLUDES(statusMutex_, pendingMutex_);

private:
    mutable SharedMutex statusMutex_ TARNWELL_ACQUIRED_BEFORE(pendingMutex_);
    StatusMap statuses_ TARNWELL_GUARDED_BY(statusMutex_);

    mutable Mutex pendingMutex_;
    std::unordered_set<std::string> pending_ TARNWELL_GUARDED_BY(pendingMutex_);
};

}  // namespace tarnwell

#endif  // TARNWELL_CORE_STATUS_CACHE_H_
