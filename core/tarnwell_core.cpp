#include "core/tarnwell_core.h"

#include <optional>
#include <utility>

#include "base/log.h"

namespace tarnwell {
using protocol::firstValue;

TarnwellCore* TarnwellCore::instance() {
    static TarnwellCore core;
    return &core;
}

TarnwellCore::TarnwellCore(std::uint16_t daemonPort, std::uint16_t notifyPort)
    : statusCache_([this](const EmblemNotice& forgotten) { emblemNotices_.notify(forgotten); }),
      commandClient_(CommandClient::kDefaultAddress, daemonPort),
      lookAhead_([this](const std::string& folder, std::vector<std::string>& paths) {
          return askAhead(folder, paths);
      }),
      inputServer_(notifyPort) {}

TarnwellCore::~TarnwellCore() {
    shutdown();
}

void TarnwellCore::initialize() {
    if (initialized_) {
        return;
    }
    // The channel keeps every hook it is given, so they are registered once
    // per core: registering again after each shutdown would run the connect
    // work twice per connection, and more with every cycle.
    if (!hooksRegistered_) {
        commandClient_.addOnConnectHook([this] { onDaemonConnected(); });
        commandClient_.addOnDisconnectHook([this] { onDaemonDisconnected(); });
        hooksRegistered_ = true;
    }
    inputServer_.addHandler(
        protocol::kRefreshStat,
        [this](InputCommand* notification) { handleRefreshStat(notification); }, nullptr);
    inputServer_.addHandler(
        protocol::kRefreshRoots,
        [this](InputCommand* notification) { handleRefreshTwRoot(notification); }, nullptr);
    inputServer_.setNotificationsLostHandler([this] { handleNotificationsLost(); });
    inputServer_.setPauseHandler([this] { handleNotificationsPaused(); },
                                 WantedQueries::kChangesPause);
    commandClient_.start();
    inputServer_.start();
    lookAhead_.start();
    initialized_ = true;
    logLine("tarnwell: core initialized");
}

void TarnwellCore::shutdown() {
    if (!initialized_) {
        return;
    }
    // The threads end before the state is cleared, so no late reply,
    // notification or listing can refill it; the listing first, since it
    // hands queries to the channel.
    lookAhead_.stop();
    commandClient_.stop();
    inputServer_.stop();
    clearAll();
    initialized_ = false;
    logLine("tarnwell: core shutdown");
}

void TarnwellCore::clearAll() {
    roots_.clear();
    clearStatusCache();
    // The held answers its listings brought are gone with the cache.
    lookAhead_.forgetListed();
}

void TarnwellCore::sendMenuAction(const std::string& name, const std::string& canonicalPath) {
    commandClient_.sendCommand(
        CommandClient::createCommand({}, {}, name, {{protocol::kPathKey, canonicalPath}}));
}

bool TarnwellCore::waitUntilListening(std::chrono::milliseconds timeout) {
    return inputServer_.waitUntilListening(timeout);
}

void TarnwellCore::onDaemonConnected() {
    logLine("tarnwell: daemon connected, fetching sync roots...");
    clearAll();
    // The emblems of the daemon before may still be on the screen.
    emblemNotices_.notifyEverything();
    sendGetTwRoots();
}

void TarnwellCore::onDaemonDisconnected() {
    logLine("tarnwell: daemon disconnected, clearing cache");
    clearAll();
    emblemNotices_.notifyEverything();
}

std::uint64_t TarnwellCore::addEmblemNoticeCallback(EmblemNoticeCallback callback) {
    return emblemNotices_.add(std::move(callback));
}

void TarnwellCore::removeEmblemNoticeCallback(std::uint64_t id) {
    emblemNotices_.remove(id);
}

void TarnwellCore::sendGetTwRoots() {
    {
        MutexLock lock(rootsFetchMutex_);
        if (rootsFetchInFlight_) {
            // The answer on its way may predate whatever made the caller ask:
            // one more fetch follows it, however many asks come meanwhile.
            rootsFetchAgain_ = true;
            return;
        }
        rootsFetchInFlight_ = true;
    }
    commandClient_.sendCommand(CommandClient::createCommand(
        [this](TarnwellCommand* command) { finishRootsFetch(command); }, nullptr,
        protocol::kGetRoots));
}

void TarnwellCore::finishRootsFetch(TarnwellCommand* command) {
    bool again = false;
    {
        MutexLock lock(rootsFetchMutex_);
        rootsFetchInFlight_ = false;
        again = rootsFetchAgain_;
        rootsFetchAgain_ = false;
    }
    if (!again) {
        handleGetTwRootsResponse(command);
        return;
    }
    // The roots were cleared after this fetch went out and may have changed
    // before the daemon read them: not applied, asked again. While the
    // connection is going down the next connection fetches them anyway.
    if (commandClient_.isConnected()) {
        sendGetTwRoots();
    }
}

// --- Sync roots ---

std::vector<std::string> TarnwellCore::syncRoots() const {
    return roots_.roots();
}

std::string TarnwellCore::findParentSyncRoot(const std::string& path) const {
    // Canonicalized before the lock: it may touch the file system, and a
    // writer should not wait for that.
    return findParentSyncRootCanonical(CanonicalPath(path));
}

std::string TarnwellCore::findParentSyncRootCanonical(const CanonicalPath& canonicalPath) const {
    return roots_.findParentCanonical(canonicalPath.str());
}

bool TarnwellCore::isInSyncDir(const std::string& path) const {
    return !findParentSyncRoot(path).empty();
}

bool TarnwellCore::isInSyncDirCanonical(const CanonicalPath& canonicalPath) const {
    return roots_.holdsCanonical(canonicalPath.str());
}

void TarnwellCore::handleGetTwRootsResponse(TarnwellCommand* command) {
    const auto it = command->response.find(protocol::kPathKey);
    if (it == command->response.end() || it->second.empty()) {
        logLine("tarnwell: no sync roots found");
        return;
    }
    // The new list is built, and logged, before the lock is taken: each root
    // is canonicalized on the file system (a root on a hung mount can take
    // long) and the daemon may list tens of thousands, while every emblem the
    // host asks for waits on this lock. Readers see the old list until the
    // new one replaces it in one step.
    std::vector<std::string> roots = rootsInReply(command->response);
    for (const std::string& root : roots) {
        logLine("tarnwell: sync root: " + root);
    }
    // Paths inside a new root, drawn while the list was empty or older, show
    // nothing yet; those outside every root now still show an emblem. The
    // same list again (fetched after lost notifications) changes no emblem.
    if (roots_.replace(std::move(roots))) {
        emblemNotices_.notifyEverything();
    }
}

std::vector<std::string> TarnwellCore::rootsInReply(const ArgumentMap& response,
                                                    std::vector<std::string>* ignored) {
    std::vector<std::string> roots = protocol::rootsInReply(response, ignored);
    for (std::string& root : roots) {
        root = canonicalizePath(root);
    }
    return roots;
}

void TarnwellCore::handleRefreshTwRoot(InputCommand* /*notification*/) {
    logLine("tarnwell: received refresh_tw_root");
    clearAll();
    emblemNotices_.notifyEverything();
    if (!commandClient_.isConnected()) {
        return;
    }
    sendGetTwRoots();
}

void TarnwellCore::handleNotificationsPaused() {
    if (!commandClient_.isConnected()) {
        return;
    }
    std::vector<std::string> toSend;
    statusCache_.changesPaused(toSend);
    sendStatusQueries(toSend);
}

void TarnwellCore::handleNotificationsLost() {
    // Any "refresh_stat" or "refresh_tw_root" may have been among the lost,
    // and which paths they named cannot be known. What the host drew in the
    // last moments keeps its emblem while it is asked again, ahead of
    // everything else: a person looking at the folder sees no blink, and a
    // stale emblem lasts one answer. The roots stay while they are fetched
    // again.
    if (!commandClient_.isConnected()) {
        // The disconnect hook emptied the state, and the next connection
        // fetches everything.
        return;
    }
    sendGetTwRoots();
    std::vector<std::string> toSend;
    const auto now = DrawnPaths::Clock::now();
    const auto drawnLately = [&](std::string_view path) { return drawn_.drawnRecently(path, now); };
    if (emblemNotices_.anyListener()) {
        // A host that keeps its answers (the file managers) shows every
        // status it was told, drawn lately or not: all are kept and asked
        // again, and only those that changed are told. Forgetting them
        // made such a host ask about every file twice (once to show none,
        // once for the answer), which held a big folder's window for
        // hundreds of milliseconds after each flood.
        statusCache_.keepAllAskAgain(drawnLately, toSend);
    } else {
        // A host that redraws from the core (the stand-in) shows only what
        // it draws: the rest is forgotten and asked anew when drawn.
        statusCache_.keepDrawnForgetRest(drawnLately, toSend);
    }
    sendStatusQueries(toSend);
}

void TarnwellCore::addRootsChangedCallback(std::function<void()> callback) {
    roots_.addChangedCallback(std::move(callback));
}

// --- Status cache ---

TarnwellCore::SyncStatus TarnwellCore::getStatus(const std::string& path) const {
    return getStatusCanonical(CanonicalPath(path));
}

TarnwellCore::SyncStatus TarnwellCore::getStatusCanonical(
    const CanonicalPath& canonicalPath) const {
    drawn_.note(canonicalPath.str(), DrawnPaths::Clock::now());
    auto status = statusCache_.find(canonicalPath.str());
    if (!status) {
        status = statusCache_.adoptHeldAnswer(canonicalPath.str());
    }
    return status ? static_cast<SyncStatus>(*status) : NotCached;
}

void TarnwellCore::setStatus(const std::string& path, SyncStatus status) {
    statusCache_.set(canonicalizePath(path), status);
}

void TarnwellCore::queryFileStatus(const CanonicalPath& canonicalPath, bool changed) {
    if (!commandClient_.isConnected()) {
        return;
    }
    std::vector<std::string> toSend;
    statusCache_.want(canonicalPath.str(),
                      changed ? changePriority(canonicalPath) : WantedQueries::Priority::Drawn,
                      toSend);
    sendStatusQueries(toSend);
}

WantedQueries::Priority TarnwellCore::changePriority(const CanonicalPath& canonicalPath) const {
    if (drawn_.drawnRecently(canonicalPath.str(), DrawnPaths::Clock::now())) {
        return WantedQueries::Priority::ChangedDrawn;
    }
    if (statusCache_.find(canonicalPath.str())) {
        return WantedQueries::Priority::ChangedUndrawn;
    }
    return WantedQueries::Priority::Unseen;
}

void TarnwellCore::sendStatusQueries(std::vector<std::string>& canonicalPaths) {
    // Most calls (a draw while the channel's window is full) have nothing to
    // send: no lock for them.
    if (canonicalPaths.empty()) {
        return;
    }
    // No core lock here: the channel is called with none held.
    // Each reply is filed under exactly the path that went into the pending
    // set, taken from the request and never from the answer (a reply changes
    // only the entry it was asked for), and without canonicalizing it again:
    // that would cost a path walk per
    // reply, and should the file system have changed meanwhile (a folder
    // renamed and replaced by a link), the pending mark would stay behind and
    // the path would never be asked about again.
    const std::uint64_t askedIn = statusCache_.clears();
    for (std::string& path : canonicalPaths) {
        // Built in place, the path moved in: one query an exchange.
        auto command = std::make_unique<TarnwellCommand>();
        command->name = protocol::kQueryStat;
        command->args[protocol::kPathKey].push_back(std::move(path));
        command->callback = [this, askedIn](TarnwellCommand* done) {
            if (const std::string* requested = firstValue(done->args, protocol::kPathKey)) {
                applyQueryStatReply(*requested, done->response, askedIn);
            }
        };
        commandClient_.sendCommand(std::move(command));
    }
    canonicalPaths.clear();
}

void TarnwellCore::ensureStatusQueried(const std::string& path) {
    ensureStatusQueriedCanonical(CanonicalPath(path));
}

void TarnwellCore::ensureStatusQueriedCanonical(const CanonicalPath& canonicalPath) {
    if (isInSyncDirCanonical(canonicalPath) && getStatusCanonical(canonicalPath) == NotCached) {
        queryFileStatus(canonicalPath);
    }
}

void TarnwellCore::lookAheadInFolderOf(const CanonicalPath& canonicalPath) {
    lookAhead_.post(canonicalPath.str());
}

bool TarnwellCore::askAhead(const std::string& folder, std::vector<std::string>& canonicalPaths) {
    // Checked per batch: the roots or the connection may go while a big
    // folder is listed.
    if (!commandClient_.isConnected() || !roots_.holdsCanonical(folder)) {
        return false;
    }
    std::vector<std::string> toSend;
    statusCache_.wantAhead(canonicalPaths, toSend);
    sendStatusQueries(toSend);
    return true;
}

bool TarnwellCore::redrawPending(const std::string& path, SyncStatus* shown) {
    // The cheap miss first: a path drawn for the first time is in no list.
    // The roots are checked on the text as well: a pending path under a root
    // the daemon no longer lists shows nothing and asks nothing, as the usual
    // road would.
    if (!statusCache_.isPending(path) || !commandClient_.isConnected() ||
        !roots_.holdsCanonical(path)) {
        return false;
    }
    if (statusCache_.find(path)) {
        // Its old status shows while its change waits, behind every draw
        // unless it counts as on the screen.
        statusCache_.drawnWithOldStatus(path);
        return false;
    }
    std::vector<std::string> toSend;
    std::optional<std::int32_t> held;
    if (!statusCache_.wantIfPending(path, toSend, &held)) {
        return false;
    }
    if (shown != nullptr) {
        *shown = held ? static_cast<SyncStatus>(*held) : NotCached;
    }
    drawn_.note(path, DrawnPaths::Clock::now());
    sendStatusQueries(toSend);
    return true;
}

void TarnwellCore::applyQueryStatReply(const std::string& canonicalPath,
                                       const ArgumentMap& response,
                                       std::optional<std::uint64_t> askedIn) {
    const SyncStatus status = statusInReply(response);
    std::optional<std::int32_t> stored;
    if (status != NotCached) {
        stored = status;
    }
    // The next queries go to the channel from here, on the worker thread,
    // before it looks at its queue again: the worker runs every completion
    // callback without its queue mutex, so queueing from one is safe. While
    // the connection is going down (the drain) nothing more is taken.
    std::vector<std::string> toSend;
    const bool changed = statusCache_.applyReply(canonicalPath, stored,
                                                 commandClient_.isConnected(), toSend, askedIn);
    // No core lock is held here. Only a changed status is told: a reply that
    // confirms what the host shows would make it ask again for nothing, and
    // an answer held for a path nobody drew changes no emblem on any screen.
    if (changed) {
        emblemNotices_.notifyPath(canonicalPath);
    }
    sendStatusQueries(toSend);
}

void TarnwellCore::handleRefreshStat(InputCommand* notification) {
    const std::string* path = firstValue(notification->args, protocol::kPathKey);
    if (path == nullptr) {
        return;
    }
    // The old status stays visible until the new reply replaces it.
    const CanonicalPath canonical(*path);
    if (isInSyncDirCanonical(canonical)) {
        queryFileStatus(canonical, /*changed=*/true);
    }
}

void TarnwellCore::clearStatusCache() {
    statusCache_.clear();
}

std::size_t TarnwellCore::pendingQueryCount() const {
    return statusCache_.pendingCount();
}

std::size_t TarnwellCore::cachedStatusCount() const {
    return statusCache_.size();
}

}  // namespace tarnwell
