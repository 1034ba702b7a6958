// The plug-in's core: owns the command channel and the notification
// listener, keeps the sync roots and the per-path status cache, and brings
// every path to one canonical form.
//
// Thread safety: every public operation may be called from any thread, except
// initialize and shutdown, which belong to the host's one calling thread
// (through the entry points). Three kinds of thread enter here: the host's
// (lookups and queued queries), the channel's worker (connect and disconnect
// hooks, reply handlers) and the listener's (notification handlers).
//
// The state lives in two parts with locks of their own: the sync roots
// (SyncRootRegistry) and the status cache with its pending set (StatusCache).
// Lock order: the roots' lock is never held together with another core lock.
// The cache's status lock (exclusive) may be held while its pending lock is
// taken, never the other way round. No core lock is held while the channel or
// the listener is called, nor while a roots-changed callback runs. The host's
// path takes only shared locks for a cached path; for a path without a status
// it takes the pending lock (an answer held for it is then stored, under the
// status lock, exclusive, when that is free at once), and again when a query
// is really needed. It never takes the status lock exclusively when that
// would wait (the statuses of the paths its ask gives up are forgotten later,
// on another thread), and never waits for the daemon. Its shared lock does
// wait while another thread holds the status lock exclusively: for one map
// operation per reply, and for a walk of the whole table when it is emptied
// or notifications were lost for a host that registered no emblem notice
// callback (rare, and bounded by the table's size).
#ifndef TARNWELL_CORE_TARNWELL_CORE_H_
#define TARNWELL_CORE_TARNWELL_CORE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "canonical/canonicalize_path.h"
#include "channel/command_client.h"
#include "core/drawn_paths.h"
#include "core/emblem_notices.h"
#include "core/folder_look_ahead.h"
#include "core/status_cache.h"
#include "core/sync_root_registry.h"
#include "listener/input_command_server.h"
#include "protocol/messages.h"
#include "protocol/vocabulary.h"

namespace tarnwell {

class TarnwellCore {
public:
    // The daemon's statuses (protocol/vocabulary.h), under the names the
    // plug-in's code has always used.
    using SyncStatus = protocol::SyncStatus;
    static constexpr SyncStatus NotCached = protocol::NotCached;
    static constexpr SyncStatus UpToDate = protocol::UpToDate;
    static constexpr SyncStatus Syncing = protocol::Syncing;
    static constexpr SyncStatus Locked = protocol::Locked;
    static constexpr SyncStatus ReadOnly = protocol::ReadOnly;

    // The process-wide core on the fixed ports, constructed on first use.
    static TarnwellCore* instance();

    // A core of its own on the given ports: a seam for tests. The plug-in
    // uses instance() only. Starts no thread and opens no socket.
    explicit TarnwellCore(std::uint16_t daemonPort = CommandClient::kDefaultPort,
                          std::uint16_t notifyPort = InputCommandServer::kDefaultPort);
    TarnwellCore(const TarnwellCore&) = delete;
    TarnwellCore& operator=(const TarnwellCore&) = delete;
    ~TarnwellCore();

    // Host thread. Registers the hooks and handlers, starts the worker and
    // the listener and returns at once; the worker connects on its own.
    void initialize();
    // Host thread. Stops both threads, then clears all state.
    void shutdown();
    bool isInitialized() const { return initialized_.load(); }

    // Any thread: empties the roots, then the status cache and pending set.
    void clearAll();

    CommandClient* commandClient() { return &commandClient_; }
    bool isDaemonConnected() const { return commandClient_.isConnected(); }
    // Any thread: queues the menu command `name` with the one argument "path"
    // and returns at once; nobody reads the answer.
    void sendMenuAction(const std::string& name, const std::string& canonicalPath);
    // Any thread: true once the notification listener has bound its port,
    // false when it has not within `timeout` or is stopped. Datagrams the
    // daemon sends before that are lost.
    bool waitUntilListening(std::chrono::milliseconds timeout);

    // Worker thread: the connection came up / went down.
    void onDaemonConnected();
    void onDaemonDisconnected();

    // "file:///a/b", "smb://host/x" and plain paths, relative ones too, to an
    // absolute path with links resolved where the path exists, else normalized
    // as text. Never empty, always begins with "/". Any thread.
    static std::string canonicalizePath(const std::string& path) {
        return tarnwell::canonicalizePath(path);
    }

    // --- Sync roots. Readers take the registry's lock shared. ---
    std::vector<std::string> syncRoots() const;
    // The first root, in the daemon's order, that equals or contains the path;
    // empty if none.
    std::string findParentSyncRoot(const std::string& path) const;
    bool isInSyncDir(const std::string& path) const;
    // Worker thread: reply to "get_tw_roots".
    void handleGetTwRootsResponse(TarnwellCommand* command);
    // The roots a "get_tw_roots" reply gives, in its order, as the core keeps
    // them: protocol::rootsInReply's values canonicalized; the others, which
    // the core ignores, go to `ignored` when given. Any thread.
    static std::vector<std::string> rootsInReply(const ArgumentMap& response,
                                                 std::vector<std::string>* ignored = nullptr);
    // Listener thread: "refresh_tw_root".
    void handleRefreshTwRoot(InputCommand* notification);
    // Listener thread: the kernel dropped notifications for a full queue.
    // Keeps the statuses the host drew in the last moments and asks for them
    // again first; forgets the rest, or, when a host keeps what it was told
    // (an emblem notice callback is registered), keeps and asks them too;
    // fetches the roots again.
    void handleNotificationsLost();
    // Listener thread: the daemon's notifications have paused; the changes
    // of paths nobody sees, held back while they came, are asked now.
    void handleNotificationsPaused();
    // Empty callables are ignored. Safe on any thread at any time.
    void addRootsChangedCallback(std::function<void()> callback);

    // --- Telling the host that an emblem it drew may have changed. ---
    // The callback hears of (see EmblemNotice):
    //  - a path, when a "query_stat" reply changed its status in the cache
    //    (a draw's answer arriving, or a change the daemon pushed): on the
    //    channel's worker thread. Replies that confirm the cached status are
    //    not told, nor answers held for paths the host never drew: only a
    //    path the host asked about can have a status in the cache, so a
    //    host that caches per file never hears of files it never showed;
    //  - everything, when the roots changed (a "get_tw_roots" reply with
    //    another list, on the worker) or were emptied ("refresh_tw_root", on
    //    the listener), or the daemon connected or went away (the worker);
    //  - after lost notifications, nothing at once: with a callback
    //    registered, every status is kept and asked again, and each that
    //    changed is told as a path (or, its ask dropped, forgotten and told).
    // Never on the host's GUI thread and never with a core lock held: the
    // callback may call back into the core. It must return soon, since the
    // worker or the listener waits for it; a GUI host hands the work over to
    // its own thread. Returns an id for removeEmblemNoticeCallback, 0 for an
    // empty callable (ignored). Any thread.
    std::uint64_t addEmblemNoticeCallback(EmblemNoticeCallback callback);
    // Any thread. A call already running may still be finishing; after
    // shutdown none runs.
    void removeEmblemNoticeCallback(std::uint64_t id);

    // --- Status cache. ---
    // Any thread; the host's way to draw a path: notes the draw (see
    // DrawnPaths), and takes in an answer held for a path nobody had drawn.
    SyncStatus getStatus(const std::string& path) const;
    void setStatus(const std::string& path, SyncStatus status);
    // Host or listener thread. The query joins the core's wanted list and goes to the channel when
    // its small window has room. Without `changed` it is a draw's, asked ahead of every change.
    // With `changed` the daemon said the path changed: a query already out for it is followed by
    // one more, and it is asked after the draws, before changes nobody sees if the host drew the
    // path lately.
    void queryFileStatus(const CanonicalPath& canonicalPath, bool changed = false);
    // Host thread: queues a "query_stat" when the path is in a sync folder,
    // not cached and not in flight. Never waits.
    void ensureStatusQueried(const std::string& path);
    // Host thread, after a draw asked for a path inside a root: the path's
    // folder is listed on the look-ahead thread and its entries without a
    // status are asked behind everything else (WantedQueries' Listed), their
    // answers held until drawn, for a host that asks about every file of a
    // folder it shows. Never waits for the listing; see FolderLookAhead.
    void lookAheadInFolderOf(const CanonicalPath& canonicalPath);
    // Host thread, before a draw canonicalizes `path`: when the path as given
    // is one whose query is pending and it has no status, notes the draw,
    // asks for it again (see queryFileStatus) and returns true, with
    // `shown` (when given) the daemon's last answer for a path asked again
    // after a change, else NotCached: nothing to show yet. The text of a
    // pending path was canonical when it was asked, so a host that redraws a
    // folder still being filled pays for no path walk; should a link have
    // replaced one of its folders since, the path shows no emblem until its
    // answer is in, never a wrong one. False otherwise: the caller
    // canonicalizes and draws as usual; a pending path with a status (its
    // change waits) is noted as drawn with its old status first
    // (StatusCache::drawnWithOldStatus). Never waits.
    bool redrawPending(const std::string& path, SyncStatus* shown = nullptr);
    // The status a "query_stat" reply gives (protocol::statusInReply): its
    // first "stat" value read as a decimal in the manner of strtol; NotCached
    // when there is none, or it is not 0 to 3. Any thread.
    static SyncStatus statusInReply(const ArgumentMap& response) {
        return protocol::statusInReply(response);
    }
    // Listener thread: "refresh_stat".
    void handleRefreshStat(InputCommand* notification);
    void clearStatusCache();

    // The same lookups for a path that is canonical already: they skip the
    // second canonicalization (canonicalizing a canonical path returns it
    // unchanged, so the result is the same).
    std::string findParentSyncRootCanonical(const CanonicalPath& canonicalPath) const;
    bool isInSyncDirCanonical(const CanonicalPath& canonicalPath) const;
    SyncStatus getStatusCanonical(const CanonicalPath& canonicalPath) const;
    void ensureStatusQueriedCanonical(const CanonicalPath& canonicalPath);

    // Worker thread: stores the reply's status (or removes the entry) under
    // `canonicalPath`, then ends its pending mark: what the core's own
    // "query_stat" records do on completion, filing the reply under the path
    // they asked for, without a path walk. `askedIn`: the status cache's
    // clears() when the query went out. Public for benchmarks, which store
    // replies as the worker does.
    void applyQueryStatReply(const std::string& canonicalPath, const ArgumentMap& response,
                             std::optional<std::uint64_t> askedIn = std::nullopt);

    // For tests, benchmarks and diagnostics.
    std::size_t pendingQueryCount() const;
    std::size_t cachedStatusCount() const;

private:
    // Any thread: asks for the roots, unless a fetch is out already; then one
    // more follows that one.
    void sendGetTwRoots() TARNWELL_EXCLUDES(rootsFetchMutex_);
    // Worker thread: completion of "get_tw_roots".
    void finishRootsFetch(TarnwellCommand* command) TARNWELL_EXCLUDES(rootsFetchMutex_);
    // Any thread: how a change of the path is asked, by whether the host
    // drew it lately and whether it has a status.
    WantedQueries::Priority changePriority(const CanonicalPath& canonicalPath) const;
    // Look-ahead thread: asks for a batch of the entries of `folder`; false
    // when the folder lies in no root or the daemon is not connected.
    bool askAhead(const std::string& folder, std::vector<std::string>& canonicalPaths);
    // Hands the paths' "query_stat" commands to the channel; no lock held.
    // Takes the paths out of `canonicalPaths`.
    void sendStatusQueries(std::vector<std::string>& canonicalPaths);

    SyncRootRegistry roots_;  // locks itself
    EmblemNotices emblemNotices_;  // locks itself, never while a callback runs
    // Noted by every status lookup, which is how the host draws; lock-free,
    // and mutable since a const lookup notes its draw.
    mutable DrawnPaths drawn_;
    // Locks itself. Mutable: a const lookup of a path the host draws takes in
    // an answer held for it (StatusCache::adoptHeldAnswer).
    mutable StatusCache statusCache_;
    CommandClient commandClient_;     // locks itself
    // Locks itself; its thread runs from initialize to shutdown. Declared
    // after the channel: destroyed, and so stopped, before it.
    FolderLookAhead lookAhead_;
    InputCommandServer inputServer_;  // no lock: handlers registered before start

    // Whether a "get_tw_roots" is in the channel, and whether the roots were
    // asked for again since it went out. Never held with another lock.
    Mutex rootsFetchMutex_;
    bool rootsFetchInFlight_ TARNWELL_GUARDED_BY(rootsFetchMutex_) = false;
    bool rootsFetchAgain_ TARNWELL_GUARDED_BY(rootsFetchMutex_) = false;

    std::atomic<bool> initialized_{false};
    // Host's calling thread only (initialize): the hooks go to the channel once.
    bool hooksRegistered_ = false;
};

}  // namespace tarnwell

#endif  // TARNWELL_CORE_TARNWELL_CORE_H_
