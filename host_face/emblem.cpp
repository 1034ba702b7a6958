#include "host_face/emblem.h"

#include "canonical/canonicalize_path.h"
#include "core/tarnwell_core.h"
#include "protocol/tables.h"

namespace tarnwell {

const char* emblemIconFor(TarnwellCore& core, const std::string& path,
                          std::string* canonicalOut, bool lookAhead) {
    // A redraw of a folder still being filled: most of its paths are pending.
    TarnwellCore::SyncStatus held = TarnwellCore::NotCached;
    if (core.redrawPending(path, &held)) {
        if (canonicalOut != nullptr) {
            *canonicalOut = path;
        }
        return held == TarnwellCore::NotCached ? nullptr : protocol::emblemIconName(held);
    }
    // Canonicalizing may touch the file system, so it is done once and the
    // core's lookups are handed the canonical form.
    const CanonicalPath canonicalPath(path);
    if (canonicalOut != nullptr) {
        *canonicalOut = canonicalPath.str();
    }
    if (!core.isInSyncDirCanonical(canonicalPath)) {
        return nullptr;
    }
    const TarnwellCore::SyncStatus status = core.getStatusCanonical(canonicalPath);
    if (status == TarnwellCore::NotCached) {
        // The answer arrives on the worker thread; the core tells the host.
        // Root and cache were looked up just now: the query is wanted at once.
        core.queryFileStatus(canonicalPath);
        if (lookAhead) {
            core.lookAheadInFolderOf(canonicalPath);
        }
        return nullptr;
    }
    return protocol::emblemIconName(status);
}

}  // namespace tarnwell
