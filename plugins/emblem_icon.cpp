#include "plugins/emblem_icon.h"

namespace tarnwell {

const char* emblemIconName(TarnwellCore::SyncStatus status) {
    switch (status) {
        case TarnwellCore::UpToDate:
            return "emblem-tarnwell-uptodate";
        case TarnwellCore::Syncing:
            return "emblem-tarnwell-syncing";
        case TarnwellCore::Locked:
            return "emblem-tarnwell-locked";
        case TarnwellCore::ReadOnly:
            return "emblem-tarnwell-readonly";
        case TarnwellCore::NotCached:
            break;
    }
    return nullptr;
}

}  // namespace tarnwell
