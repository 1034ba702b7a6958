// The per-path status cache and the status queries wanted for it. Keys are
// canonical paths; statuses are stored as the core's status numbers. The
// cache has no size limit and no expiry: entries leave only through a reply
// without a valid status, through clear, when a changed path's re-query is
// given up (its status is out of date by the daemon's own word), when the
// host's asks dropped more queries between two replies than are worth
// remembering (then every status is forgotten and asked anew), and when
// notifications were lost (all but what was just drawn, unless the host
// keeps what it was told: then all stay while they are asked again). The
// wanted queries are bounded (see WantedQueries).
//
// Thread safety: every operation may be called from any thread. Lookups take
// statusMutex_ shared, so the host's emblem requests never block each other;
// stores take it exclusively for one map operation, and clear,
// keepDrawnForgetRest and forgetting everything for a walk of the whole
// table, during which a lookup waits (keepAllAskAgain walks it shared). The
// host's path (find, want with Drawn, isPending, wantIfPending,
// adoptHeldAnswer) never waits to take it exclusively: the status of a path
// whose wanted query the host's ask dropped is forgotten later, on the
// worker's thread at the next reply or on the listener's at the next
// notification, and a held answer moves into the cache only when the lock is
// free at once (else the path is asked again).
//
// A status forgotten because its path's query was dropped may still show in
// a host that keeps what it was told (the GTK file managers draw a file's
// emblem once and keep it): such a status was out of date by the daemon's
// word, so the host is told (onForgotten) and asks again. Clear and the loss
// of notifications are told by the core itself.
//
// Lock order: statusMutex_ (exclusive) may be held while pendingMutex_ is
// taken (in clear), never the other way round.
#ifndef TARNWELL_CORE_STATUS_CACHE_H_
#define TARNWELL_CORE_STATUS_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "core/emblem_notices.h"
#include "core/status_map.h"
#include "core/wanted_queries.h"

namespace tarnwell {

class StatusCache {
public:
    // `onForgotten` hears of the statuses forgotten for a dropped query, on
    // the worker's or the listener's thread, with no lock of the cache held.
    explicit StatusCache(EmblemNoticeCallback onForgotten = {})
        : onForgotten_(std::move(onForgotten)) {}

    std::optional<std::int32_t> find(const std::string& canonicalPath) const
        TARNWELL_EXCLUDES(statusMutex_);
    // Inserts or overwrites; any value is stored unchanged.
    void set(const std::string& canonicalPath, std::int32_t status) TARNWELL_EXCLUDES(statusMutex_);

    // A query for the path is wanted: by a draw of a path without a status
    // (Drawn), or because the daemon said it changed (the other priorities).
    // Appends to `toSend` the paths to hand to the channel now (when its
    // window has room); the caller sends them with no lock held. A path
    // already pending sends nothing more.
    void want(const std::string& canonicalPath, WantedQueries::Priority priority,
              std::vector<std::string>& toSend) TARNWELL_EXCLUDES(statusMutex_, pendingMutex_);
    // Paths the host is likely to draw next (WantedQueries::Priority::Listed),
    // asked unless they have a status or the wanted list is half full:
    // what is drawn and what changed keep their room. Appends to `toSend` as
    // want. Not the host's thread (it may take statusMutex_ exclusively to
    // forget what the asks dropped).
    void wantAhead(const std::vector<std::string>& canonicalPaths, std::vector<std::string>& toSend)
        TARNWELL_EXCLUDES(statusMutex_, pendingMutex_);
    // A draw of a path without a status whose query is pending (waiting or
    // sent): asks for it again as want does with Drawn, and returns true;
    // `held` is the answer held for it while it is asked again, if any.
    // False, and nothing asked, when it is not pending (any more). Host
    // threads; isPending only looks.
    bool isPending(const std::string& canonicalPath) const TARNWELL_EXCLUDES(pendingMutex_);
    // A draw of a path with a status whose changed ask waits (see
    // WantedQueries::drawnWithOldStatus). Host threads.
    void drawnWithOldStatus(const std::string& canonicalPath) TARNWELL_EXCLUDES(pendingMutex_);
    bool wantIfPending(const std::string& canonicalPath, std::vector<std::string>& toSend,
                       std::optional<std::int32_t>* held)
        TARNWELL_EXCLUDES(statusMutex_, pendingMutex_);
    // A query's reply: stores `status` (unless only a change of a path nobody
    // drew asked for it), or removes the entry when there is none, and only
    // then ends the path's pending mark, so that a host thread in between
    // finds the status and sends nothing. With `takeMore` (the
    // channel is connected), appends to `toSend` the next paths to send,
    // this one again first when it changed while its query was out.
    // With `askedIn` (clears() when the query went out), a reply to a query
    // asked before the last clear stores nothing and ends no pending mark.
    // True when the cache's status for the path changed: stored where there
    // was none or another, or removed.
    bool applyReply(const std::string& canonicalPath, std::optional<std::int32_t> status,
                    bool takeMore, std::vector<std::string>& toSend,
                    std::optional<std::uint64_t> askedIn = std::nullopt)
        TARNWELL_EXCLUDES(statusMutex_, pendingMutex_);
    // How often the cache was emptied; read when a query goes out.
    std::uint64_t clears() const TARNWELL_EXCLUDES(pendingMutex_);

    // The host draws a path without a status: an answer the daemon gave for
    // it when only a change or a listing asked (see WantedQueries) goes into
    // the cache and is returned; nothing while a store holds the cache's
    // lock (the caller then asks for the path as it does for any path
    // without a status).
    std::optional<std::int32_t> adoptHeldAnswer(const std::string& canonicalPath)
        TARNWELL_EXCLUDES(statusMutex_, pendingMutex_);
    // Empties the cache and the wanted queries. Queries already in the
    // channel are not cancelled, but their replies are not stored when they
    // pass clears() along (see applyReply).
    void clear() TARNWELL_EXCLUDES(statusMutex_, pendingMutex_);
    // Notifications were lost, and any status may be out of date: keeps the
    // statuses of the paths `isDrawn` names (drawn in the last moments), so
    // that what is on the screen does not blink, and asks for them again
    // ahead of every other change; forgets the other statuses. Queries out
    // now are asked again after their reply. Appends to `toSend` as want.
    void keepDrawnForgetRest(const std::function<bool(std::string_view)>& isDrawn,
                             std::vector<std::string>& toSend)
        TARNWELL_EXCLUDES(statusMutex_, pendingMutex_);
    // The same for a host that keeps what it was told until told otherwise
    // (the file managers that cache an emblem per file): every status it was
    // told is on its screen, drawn lately or not. Keeps every status and
    // asks for each again, those `isDrawn` names ahead of the other changes,
    // the rest as changes nobody drew lately: an answer that differs is told
    // as any changed reply is, and a status whose ask is dropped (the bounds
    // of the wanted queries) is forgotten and told. A status that a lost
    // notification changed thus stays at most as long as one announced and
    // waiting would, and the host is asked to redraw only what changed.
    // Takes pendingMutex_ a slice of paths at a time and statusMutex_ only
    // shared, so that a host thread never waits for the whole cache.
    void keepAllAskAgain(const std::function<bool(std::string_view)>& isDrawn,
                         std::vector<std::string>& toSend)
        TARNWELL_EXCLUDES(statusMutex_, pendingMutex_);

    // Listener thread: the daemon's notifications have paused. Appends to
    // `toSend` as want, paths that only a change asked for included (while
    // changes come, they wait: see WantedQueries).
    void changesPaused(std::vector<std::string>& toSend) TARNWELL_EXCLUDES(pendingMutex_);

    std::size_t size() const TARNWELL_EXCLUDES(statusMutex_);
    std::size_t pendingCount() const TARNWELL_EXCLUDES(pendingMutex_);

    // For tests: runs `whileHeld` with statusMutex_ held exclusively, as a
    // long store would hold it.
    void holdStatusLockForTest(const std::function<void()>& whileHeld)
        TARNWELL_EXCLUDES(statusMutex_);

private:
    mutable SharedMutex statusMutex_ TARNWELL_ACQUIRED_BEFORE(pendingMutex_);
    StatusMap statuses_ TARNWELL_GUARDED_BY(statusMutex_);

    // Paths whose wanted query was dropped, to be forgotten.
    struct Forgotten {
        std::vector<std::string> paths;
        bool everything = false;  // too many to keep track of: every status
    };
    // Worker or listener thread. Erases the statuses of the dropped paths,
    // then tells onForgotten_ those it erased.
    void forgetDropped(const Forgotten& dropped) TARNWELL_EXCLUDES(statusMutex_);

    const EmblemNoticeCallback onForgotten_;  // set once, at construction
    // Host thread: keeps the paths its ask dropped for the next reply or
    // notification to forget.
    void forgetLater(std::vector<std::string>& dropped) TARNWELL_REQUIRES(pendingMutex_);
    // Adds what the host's asks kept to forget to `dropped`, and empties it.
    void takeForgetLater(Forgotten& dropped) TARNWELL_REQUIRES(pendingMutex_);

    mutable Mutex pendingMutex_;
    WantedQueries wanted_ TARNWELL_GUARDED_BY(pendingMutex_);
    // Paths the host's asks dropped from wanted_, whose statuses the next
    // reply or notification forgets (most have none). At most
    // WantedQueries::kCapacity: past that, forgetEverything_ replaces them.
    std::vector<std::string> forgetLater_ TARNWELL_GUARDED_BY(pendingMutex_);
    bool forgetEverything_ TARNWELL_GUARDED_BY(pendingMutex_) = false;
    // How often clear ran, counted up by clear while it holds both locks.
    // One count per lock, always equal, so that a reader under either lock
    // holds the one that guards what it reads: applyReply compares a reply
    // with it under statusMutex_ before it stores, and under pendingMutex_
    // before it ends the path's pending mark.
    std::uint64_t clearsSeenByStatuses_ TARNWELL_GUARDED_BY(statusMutex_) = 0;
    std::uint64_t clears_ TARNWELL_GUARDED_BY(pendingMutex_) = 0;
};

}  // namespace tarnwell

#endif  // TARNWELL_CORE_STATUS_CACHE_H_
