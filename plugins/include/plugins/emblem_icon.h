// Which emblem the file manager draws for a sync status: one table for the
// emblem plug-in and tarnwell-doctor, which names the emblem a file would
// get. Free of the host library, so the doctor runs where it is missing.
//
// Free of shared state; any thread.
#ifndef TARNWELL_PLUGINS_EMBLEM_ICON_H_
#define TARNWELL_PLUGINS_EMBLEM_ICON_H_

#include "core/tarnwell_core.h"

namespace tarnwell {

// The icon-theme name drawn for a status, or null for a value that has no
// emblem.
const char* emblemIconName(TarnwellCore::SyncStatus status);

}  // namespace tarnwell

#endif  // TARNWELL_PLUGINS_EMBLEM_ICON_H_
