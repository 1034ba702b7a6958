// Where `tarnwell-doctor --daemon --watch` hears the daemon's notifications
// from, and where the copies of the plug-in that hold the port pass them on.
//
// The copies of the plug-in drop a datagram that is not a notification or
// whose name they have no handler for before they pass anything on to the
// other copies, so what reaches the check through their folder says nothing
// about those faults. Only a tap on the wire hears every datagram as the
// daemon sent it: a raw IPv4 socket, which gets a copy of each UDP datagram
// without taking it from the sockets bound to the port, and which needs
// CAP_NET_RAW (root).
//
// Thread safety: none; the watch runs on the doctor's main thread.
#ifndef TARNWELL_TOOLS_DOCTOR_WATCH_SOURCES_H_
#define TARNWELL_TOOLS_DOCTOR_WATCH_SOURCES_H_

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/posix_io.h"
#include "deadline.h"

namespace tarnwell::doctor {

// Every UDP datagram sent to 127.0.0.1:<port>, whoever holds the port or
// none, read off a raw socket.
class WireTap {
public:
    // False, with the reason for people in why(), when no raw socket can be
    // had (no CAP_NET_RAW).
    bool open(std::uint16_t port);
    int fd() const { return socket_.get(); }
    const std::string& why() const { return why_; }
    // The next datagram for the port and its sender; false when none waits.
    bool receive(std::string& datagram, sockaddr_in& from);

private:
    std::uint16_t port_ = 0;
    UniqueFd socket_;
    std::string why_;
    std::vector<char> buffer_;
};

// A folder where copies of the plug-in that hold the port meet, and which
// of them bound a socket there.
struct CopiesFolderInUse {
    std::string folder;
    std::vector<pid_t> pids;
};

// The processes of this user (every user's, for root) that hold a UDP socket
// on 127.0.0.1:<port>, whatever they are.
std::vector<pid_t> processesOnPort(std::uint16_t port, const Deadline& deadline);

// The folders the processes in `holders` bound their copies' sockets in,
// read from the kernel's list of Unix sockets (<procRoot>/net/unix), so
// found whatever XDG_RUNTIME_DIR each copy was started with.
std::vector<CopiesFolderInUse> copiesFoldersInUse(std::uint16_t port,
                                                  const std::vector<pid_t>& holders,
                                                  const std::string& procRoot = "/proc");

}  // namespace tarnwell::doctor

#endif  // TARNWELL_TOOLS_DOCTOR_WATCH_SOURCES_H_
