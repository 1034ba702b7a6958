#include "core/sync_root_registry.h"

#include <algorithm>
#include <utility>

#include "protocol/messages.h"

namespace tarnwell {

std::vector<std::string> SyncRootRegistry::roots() const {
    ReaderLock lock(rootsMutex_);
    return roots_;
}

std::string SyncRootRegistry::findParentCanonical(const std::string& canonicalPath) const {
    ReaderLock lock(rootsMutex_);
    return parentIn(roots_, canonicalPath);
}

bool SyncRootRegistry::holdsCanonical(const std::string& canonicalPath) const {
    ReaderLock lock(rootsMutex_);
    return std::any_of(roots_.begin(), roots_.end(), [&](const std::string& root) {
        return protocol::rootHolds(root, canonicalPath);
    });
}

std::string SyncRootRegistry::parentIn(const std::vector<std::string>& roots,
                                       const std::string& canonicalPath) {
    return protocol::rootHolding(roots, canonicalPath);
}

bool SyncRootRegistry::replace(std::vector<std::string> roots) {
    bool changed = false;
    {
        WriterLock lock(rootsMutex_);
        changed = roots_ != roots;
        roots_.swap(roots);
    }
    // A copy, so that a callback may register another one without deadlock
    // and without invalidating this loop.
    std::vector<std::function<void()>> callbacks;
    {
        MutexLock lock(callbacksMutex_);
        callbacks = changedCallbacks_;
    }
    for (const auto& callback : callbacks) {
        callback();
    }
    return changed;
}

void SyncRootRegistry::clear() {
    WriterLock lock(rootsMutex_);
    roots_.clear();
}

void SyncRootRegistry::addChangedCallback(std::function<void()> callback) {
    if (!callback) {
        return;
    }
    MutexLock lock(callbacksMutex_);
    changedCallbacks_.push_back(std::move(callback));
}

}  // namespace tarnwell
