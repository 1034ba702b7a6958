// Which copy of the plug-in holds the other end of a connection the chaos
// daemon accepted, when each copy runs in a process of its own: the kernel
// names the socket at the other end (its inode), and the copy is the one whose
// process has that socket among its descriptors.
//
// Thread safety: keeps no state; the daemon's thread calls it. It may wait
// for the kernel for up to about 150 ms (see socket_owner.h).
#ifndef TARNWELL_TOOLS_CHAOS_COPY_OWNER_H_
#define TARNWELL_TOOLS_CHAOS_COPY_OWNER_H_

#include <sys/types.h>

#include <vector>

namespace tarnwell::chaos {

// The index in `processes` of the process that holds the other end of the
// connected loopback TCP socket `fd`; -1 when none does (the other end was
// closed already, or belongs to another process).
int copyHoldingPeer(int fd, const std::vector<pid_t>& processes);

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_COPY_OWNER_H_
