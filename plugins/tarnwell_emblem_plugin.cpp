#include "plugins/tarnwell_emblem_plugin.h"

#include <vector>

#include "core/tarnwell_core.h"
#include "protocol/tables.h"

namespace tarnwell {

TarnwellEmblemPlugin::TarnwellEmblemPlugin(TarnwellCore* core) : core_(core) {
    // The host keeps its own copy; this object outlives every call the host
    // makes through it (the entry points destroy it only at shut-down).
    registerLocationEmblemIcons([this](const std::string& filePath, int systemIconCount) {
        return locationEmblemIcons(filePath, systemIconCount);
    });
}

TarnwellCore* TarnwellEmblemPlugin::core() const {
    return core_ != nullptr ? core_ : TarnwellCore::instance();
}

dfmext::DFMExtEmblem TarnwellEmblemPlugin::locationEmblemIcons(const std::string& filePath,
                                                               int systemIconCount) const {
    dfmext::DFMExtEmblem emblem;
    // The host already draws more emblems than leave room for ours.
    if (systemIconCount > 3) {
        return emblem;
    }

    TarnwellCore* const tarnwell = core();
    // A redraw of a folder still being filled: most of its paths are pending.
    if (tarnwell->redrawPending(filePath)) {
        return emblem;
    }
    // Canonicalizing may touch the file system, so it is done once and the
    // core's lookups are handed the canonical form.
    const CanonicalPath canonicalPath(filePath);
    if (!tarnwell->isInSyncDirCanonical(canonicalPath)) {
        return emblem;
    }

    const TarnwellCore::SyncStatus status = tarnwell->getStatusCanonical(canonicalPath);
    if (status == TarnwellCore::NotCached) {
        // The answer arrives on the worker thread; a later redraw finds it.
        // Root and cache were looked up just now: the query is wanted at once.
        tarnwell->queryFileStatus(canonicalPath);
        return emblem;
    }

    const char* iconName = protocol::emblemIconName(status);
    if (iconName == nullptr) {
        return emblem;
    }
    emblem.setEmblem({dfmext::DFMExtEmblemIconLayout(
        dfmext::DFMExtEmblemIconLayout::LocationType::BottomLeft, iconName, 0, 0)});
    return emblem;
}

}  // namespace tarnwell
