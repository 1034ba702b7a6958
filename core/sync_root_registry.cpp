#include "core/sync_root_registry.h"

#include <algorithm>
#include <utility>

namespace tarnwell {
namespace {

// A root contains a path when it equals it or is followed there by "/":
// /home/u/Sync holds /home/u/Sync/a but not /home/u/Sync2.
bool holds(const std::string& root, const std::string& canonicalPath) {
    return canonicalPath.size() >= root.size() &&
           canonicalPath.compare(0, root.size(), root) == 0 &&
           (canonicalPath.size() == root.size() || canonicalPath[root.size()] == '/');
}

}  // namespace

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
    return std::any_of(roots_.begin(), roots_.end(),
                       [&](const std::string& root) { return holds(root, canonicalPath); });
}

std::string SyncRootRegistry::parentIn(const std::vector<std::string>& roots,
                                       const std::string& canonicalPath) {
    for (const std::string& root : roots) {
        if (holds(root, canonicalPath)) {
            return root;
        }
    }
    return std::string();
}

void SyncRootRegistry::replace(std::vector<std::string> roots) {
    {
        WriterLock lock(rootsMutex_);
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
