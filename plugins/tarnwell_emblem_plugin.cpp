#include "plugins/tarnwell_emblem_plugin.h"

#include <vector>

#include "core/tarnwell_core.h"
#include "host_face/emblem.h"

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

    const char* iconName = emblemIconFor(*core(), filePath);
    if (iconName == nullptr) {
        return emblem;
    }
    emblem.setEmblem({dfmext::DFMExtEmblemIconLayout(
        dfmext::DFMExtEmblemIconLayout::LocationType::BottomLeft, iconName, 0, 0)});
    return emblem;
}

}  // namespace tarnwell
