// The emblem provider the file manager asks for every file it draws.
//
// Thread safety: stateless; runs on the host's calling thread(s) and answers
// from the core's in-memory roots and status cache only, never waiting for
// the daemon.
#ifndef TARNWELL_PLUGINS_TARNWELL_EMBLEM_PLUGIN_H_
#define TARNWELL_PLUGINS_TARNWELL_EMBLEM_PLUGIN_H_

#include <string>

#include "dfmext/emblem.h"

namespace tarnwell {

class TarnwellCore;

class TarnwellEmblemPlugin : public dfmext::DFMExtEmblemIconPlugin {
public:
    // Registers locationEmblemIcons with the host. The core defaults to
    // TarnwellCore::instance(); tests pass a core of their own.
    explicit TarnwellEmblemPlugin(TarnwellCore* core = nullptr);

    // The emblem for a file: empty outside the sync folders, for an integer
    // above 3, or while the status is unknown (a query is queued then).
    dfmext::DFMExtEmblem locationEmblemIcons(const std::string& filePath,
                                             int systemIconCount) const;

private:
    TarnwellCore* core() const;

    TarnwellCore* const core_;  // constant after construction; null means instance()
};

}  // namespace tarnwell

#endif  // TARNWELL_PLUGINS_TARNWELL_EMBLEM_PLUGIN_H_
