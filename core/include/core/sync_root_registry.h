// The sync roots the daemon reported, and the callables that want to hear
// when the list is replaced.
//
// Thread safety: every operation may be called from any thread. Readers
// (roots, findParentCanonical, holdsCanonical) take rootsMutex_ shared and
// run side by side; replace and clear take it exclusively, each for one swap
// or clear.
//
// Lock order: rootsMutex_ and callbacksMutex_ are never held together, and
// neither is held while a roots-changed callback runs, so a callback may read
// the roots or register another callback.
#ifndef TARNWELL_CORE_SYNC_ROOT_REGISTRY_H_
#define TARNWELL_CORE_SYNC_ROOT_REGISTRY_H_

#include <functional>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace tarnwell {

class SyncRootRegistry {
public:
    std::vector<std::string> roots() const TARNWELL_EXCLUDES(rootsMutex_);
    // The first root, in list order, that equals `canonicalPath` or holds it;
    // empty if none. Roots and path are compared as byte strings.
    std::string findParentCanonical(const std::string& canonicalPath) const
        TARNWELL_EXCLUDES(rootsMutex_);
    // Whether some root equals `canonicalPath` or holds it; copies nothing,
    // for the emblem callback, which asks for every file it draws.
    bool holdsCanonical(const std::string& canonicalPath) const TARNWELL_EXCLUDES(rootsMutex_);
    // The same rule over any list of canonical roots (protocol::rootHolding).
    // Any thread.
    static std::string parentIn(const std::vector<std::string>& roots,
                                const std::string& canonicalPath);

    // Replaces the whole list in one step (readers see the old list or the
    // new one, never a mix), then runs the roots-changed callbacks in
    // registration order on the caller's thread, with no lock held. True
    // when the new list differs from the old one.
    bool replace(std::vector<std::string> roots) TARNWELL_EXCLUDES(rootsMutex_, callbacksMutex_);
    // Empties the list; runs no callback.
    void clear() TARNWELL_EXCLUDES(rootsMutex_);

    // Empty callables are ignored. Safe at any time, also while callbacks run.
    void addChangedCallback(std::function<void()> callback) TARNWELL_EXCLUDES(callbacksMutex_);

private:
    mutable SharedMutex rootsMutex_;
    // Canonical paths in the daemon's order, duplicates kept.
    std::vector<std::string> roots_ TARNWELL_GUARDED_BY(rootsMutex_);

    // Never held while a callback runs.
    mutable Mutex callbacksMutex_;
    std::vector<std::function<void()>> changedCallbacks_ TARNWELL_GUARDED_BY(callbacksMutex_);
};

}  // namespace tarnwell

#endif  // TARNWELL_CORE_SYNC_ROOT_REGISTRY_H_
