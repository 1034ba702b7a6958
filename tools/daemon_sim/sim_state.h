// What the simulated sync daemon knows (its sync roots and the per-path
// statuses) and how it answers one request. No sockets here: the event loop
// in sim_server.h feeds complete requests in and writes the bytes out.
//
// Thread safety: none needed; the daemon is single-threaded and only its event
// loop touches a SimState.
#ifndef TARNWELL_TOOLS_DAEMON_SIM_SIM_STATE_H_
#define TARNWELL_TOOLS_DAEMON_SIM_SIM_STATE_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/argument_map.h"
#include "protocol/messages.h"
#include "tools_common/event_line.h"

namespace tarnwell::sim {

// Key/value pairs in the order given; a key may repeat (one value each).
using protocol::PairList;

// Drops trailing "/" so that "/a/b/" and "/a/b" compare equal; "/" (and a path
// made only of slashes) stays "/".
std::string normalizePath(const std::string& path);

// True when `path` equals `root` or lies below it (protocol::rootHolds). Both
// are normalized first. The root "/" holds every absolute path.
bool isUnderRoot(const std::string& path, const std::string& root);

class SimState {
public:
    // Also notes the canonical form of each root (links resolved, as the
    // plug-in canonicalizes roots and asks about paths in that form) where it
    // differs from the root as given.
    void setRoots(std::vector<std::string> roots);
    const std::vector<std::string>& roots() const { return roots_; }
    void setStatus(const std::string& path, long status) {
        statuses_[normalizePath(path)] = status;
    }
    void setDefaultStatus(long status) { defaultStatus_ = status; }

    bool isInSyncDir(const std::string& path) const;

    // The whole response to one request (status line, argument lines,
    // "done"): every menu command is acknowledged with an empty answer, an
    // unknown one refused. `name` and `args` are unescaped.
    std::string respond(const std::string& name, const ArgumentMap& args) const;

private:
    // A root whose canonical form differs from the form it was given in (a
    // link, "//tmp/x"): a path below `canonical` is the same file as the one
    // below `given`, where its status may have been set.
    struct RootAlias {
        std::string canonical;
        std::string given;  // normalized
    };
    // The status set for `path` or for the same file under a root's given
    // form; null when none was set.
    const long* setStatusOf(const std::string& path) const;

    // As given on the command line or by `roots`; answered in this order.
    std::vector<std::string> roots_;
    std::vector<RootAlias> aliases_;
    // Normalized path -> status.
    std::map<std::string, long> statuses_;
    long defaultStatus_ = 0;
};

}  // namespace tarnwell::sim

#endif  // TARNWELL_TOOLS_DAEMON_SIM_SIM_STATE_H_
