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
#include "tools_common/event_line.h"

namespace tarnwell::sim {

// The menu actions the plug-in forwards; each is acknowledged with an empty
// answer.
inline constexpr const char* kMenuCommands[] = {
    "create_sync_folder",
    "invite_friends",
    "upload_files",
    "share_by_email",
    "publish_obj",
    "browse_file_history",
    "show_sync_folder_properties",
};

// Key/value pairs in the order given; a key may repeat (one value each).
using PairList = std::vector<std::pair<std::string, std::string>>;

// Drops trailing "/" so that "/a/b/" and "/a/b" compare equal; "/" (and a path
// made only of slashes) stays "/".
std::string normalizePath(const std::string& path);

// True when `path` equals `root` or lies below it (root followed by "/" is a
// prefix of path). Both are normalized first. The root "/" holds every
// absolute path.
bool isUnderRoot(const std::string& path, const std::string& root);

// The bytes of one notification datagram: the name line as it is (the
// listener takes it literally), one argument line per key in the order the
// keys first appear, then "done".
std::string buildDatagram(const std::string& name, const PairList& pairs);

class SimState {
public:
    void setRoots(std::vector<std::string> roots) { roots_ = std::move(roots); }
    const std::vector<std::string>& roots() const { return roots_; }
    void setStatus(const std::string& path, long status) {
        statuses_[normalizePath(path)] = status;
    }
    void setDefaultStatus(long status) { defaultStatus_ = status; }

    bool isInSyncDir(const std::string& path) const;

    // The whole response to one request (status line, argument lines,
    // "done"). `name` and `args` are unescaped.
    std::string respond(const std::string& name, const ArgumentMap& args) const;

private:
    // As given on the command line or by `roots`; answered in this order.
    std::vector<std::string> roots_;
    // Normalized path -> status.
    std::map<std::string, long> statuses_;
    long defaultStatus_ = 0;
};

}  // namespace tarnwell::sim

#endif  // TARNWELL_TOOLS_DAEMON_SIM_SIM_STATE_H_
