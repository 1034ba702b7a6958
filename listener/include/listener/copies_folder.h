// Where the copies of the plug-in that one user runs at once meet, so that
// each passes the daemon's notifications on to the others: a folder of the
// user's own, holding one Unix datagram socket per running copy, named
// "<pid>-<random>". The listener binds there; tarnwell-doctor looks there.
//
// Thread safety: the functions keep no state; copiesFolder reads the
// environment, so it is called before threads that may change it start.
#ifndef TARNWELL_LISTENER_COPIES_FOLDER_H_
#define TARNWELL_LISTENER_COPIES_FOLDER_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tarnwell {

// "$XDG_RUNTIME_DIR/tarnwell-notify-<port>" when XDG_RUNTIME_DIR is an
// absolute path, else "/tmp/tarnwell-notify-<uid>-<port>".
std::string copiesFolder(std::uint16_t port);

// The process id in the name of a copy's socket; nullopt for any other name.
std::optional<pid_t> pidOfCopySocket(const std::string& name);

}  // namespace tarnwell

#endif  // TARNWELL_LISTENER_COPIES_FOLDER_H_
