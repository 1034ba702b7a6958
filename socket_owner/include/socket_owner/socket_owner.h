// Who owns the loopback socket at the other end: the user id and inode of a
// local TCP or UDP socket, found through the kernel's socket diagnostics
// (NETLINK_SOCK_DIAG, inet_diag) and, when netlink gives no answer, through
// /proc/net/{tcp,tcp6,udp,udp6}. Also what the tools ask about a socket so
// found: the datagrams dropped at a UDP socket, and whether a process holds
// a socket. Only the plug-in's lookups above come with the netlink way.
//
// Thread safety: every function is safe to call from any thread at the same
// time; each call opens and closes its own netlink socket and keeps no state.
// A call may wait for the kernel for up to about 100 ms per netlink exchange
// (tcpPeerOwner up to about 50 ms more while the peer's end is still being
// set up), so callers that must not block (the host's threads) never call
// them; the channel's worker and the listener thread do.
//
// Outcomes are values: a lookup never throws for a socket error, and a reply
// it cannot read gives NotFound or Unavailable, never Found with a wrong uid.
#ifndef TARNWELL_SOCKET_OWNER_SOCKET_OWNER_H_
#define TARNWELL_SOCKET_OWNER_SOCKET_OWNER_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnwell {

// Unavailable: neither netlink nor /proc gave an answer (for instance both
// are forbidden to the process); NotFound: they answered, and no such socket
// exists.
enum class OwnerLookup { Found, NotFound, Unavailable };

struct SocketOwner {
    OwnerLookup result = OwnerLookup::Unavailable;
    uid_t uid = 0;            // valid when Found
    std::uint64_t inode = 0;  // the socket's inode (for /proc/<pid>/fd matching), when Found
};

// True for a socket owner the plug-in trusts: this process's effective user,
// and root, which can read the user's files and the file manager's memory
// anyway (a sync client may run its daemon as a system service). Every other
// user is a stranger.
bool isTrustedOwner(uid_t uid);

// Owner of the socket at the other end of a connected loopback TCP socket
// `fd` (our local address/port is its remote end; its local end is our peer
// address/port). A peer the kernel still holds only as a half-open request
// (no process owns it yet) or as a closed, orphaned socket is never Found.
SocketOwner tcpPeerOwner(int fd);

// Owner of the TCP socket listening on 127.0.0.1:`port` (a listener on
// 0.0.0.0 or on a dual-stack [::] counts, since it accepts there too).
SocketOwner tcpListenerOwner(std::uint16_t port);

// Every UDP socket bound to `port` on 127.0.0.1 or 0.0.0.0 (who holds the
// notification port). Dual-stack IPv6 sockets on [::] or on the mapped IPv4
// addresses are included, since they send and receive there too. Empty when
// there is none; a single entry with result Unavailable when nothing could
// be asked.
std::vector<SocketOwner> udpSocketsOnPort(std::uint16_t port);

// A UDP socket that serves 127.0.0.1 (bound there, to the wildcard, or
// dual-stack) and its local port.
struct BoundUdpSocket {
    std::uint16_t port = 0;  // host order
    SocketOwner owner;
};

// Every such socket on any port, in one dump: what a listener that must
// tell the owners of many source ports asks once instead of once a port.
// nullopt when nothing could be asked.
std::optional<std::vector<BoundUdpSocket>> udpSocketsOnLoopback();

// A UDP socket bound to 127.0.0.1 and the datagrams the kernel dropped at it
// since it was made, because its receive queue was full.
struct UdpSocketDrops {
    std::uint64_t inode = 0;
    std::uint64_t drops = 0;
};

// Every UDP socket bound to 127.0.0.1:`port` itself (not the wildcard), from
// /proc/net/udp and udp6, the tables that count the drops; nullopt when they
// cannot be read.
std::optional<std::vector<UdpSocketDrops>> udpDropsOnPort(std::uint16_t port);

// Whether process `pid` has a descriptor on the socket with inode `inode`:
// one of its links in <procRoot>/<pid>/fd reads "socket:[inode]". False when
// they cannot be read (another user's process, one that has ended).
bool processHoldsSocket(pid_t pid, std::uint64_t inode, const std::string& procRoot = "/proc");

// Where a lookup takes its answer from. The functions above use
// NetlinkThenProc; the others exist for tests and the benchmark, which must
// measure and check each source alone.
enum class OwnerSource { NetlinkThenProc, NetlinkOnly, ProcOnly };

SocketOwner tcpPeerOwner(int fd, OwnerSource source);
SocketOwner tcpListenerOwner(std::uint16_t port, OwnerSource source);
std::vector<SocketOwner> udpSocketsOnPort(std::uint16_t port, OwnerSource source);
std::optional<std::vector<BoundUdpSocket>> udpSocketsOnLoopback(OwnerSource source);

}  // namespace tarnwell

#endif  // TARNWELL_SOCKET_OWNER_SOCKET_OWNER_H_
