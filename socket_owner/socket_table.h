// What the kernel says about its loopback sockets, read from either of two
// sources: its socket diagnostics over netlink (netlink_lookup.cpp) and the
// tables in /proc/net (proc_net_lookup.cpp). socket_owner.cpp picks an owner
// from what they return. Private to the module.
//
// Both sources describe a socket by the same numbers: its local and remote
// address as the raw 32-bit words the kernel keeps (network byte order in
// memory), its ports, its TCP state, the uid of its file and its inode. Every
// address is compared in one canonical form, IPv6 with IPv4 mapped into it,
// so that a dual-stack IPv6 socket serving 127.0.0.1 matches like an IPv4 one.
//
// Thread safety: every function is safe on any thread at the same time and
// keeps no state between calls.
#ifndef TARNWELL_SOCKET_OWNER_SOCKET_TABLE_H_
#define TARNWELL_SOCKET_OWNER_SOCKET_TABLE_H_

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tarnwell::socket_table {

using Address = std::array<std::uint32_t, 4>;  // canonical: IPv4 mapped into IPv6

constexpr int kTcpEstablished = 1;
constexpr int kTcpSynRecv = 3;  // also how the kernel reports a request socket
constexpr int kTcpListen = 10;

struct Entry {
    Address local{};
    std::uint16_t localPort = 0;  // host order
    Address remote{};
    std::uint16_t remotePort = 0;
    int state = 0;
    uid_t uid = 0;
    std::uint64_t inode = 0;
    // Datagrams the kernel dropped at the socket (its queue was full): only
    // the /proc UDP tables give it, as the last of their 13 fields; 0 from
    // every other line and from netlink.
    std::uint64_t drops = 0;
};

// One end of a connection, as getsockname and getpeername give it.
struct Endpoint {
    Address address{};
    std::uint16_t port = 0;  // host order
};

// What a source said: Answered (the entries are all there is, maybe none) or
// NoAnswer (it could not be asked, failed, timed out or replied garbage).
enum class Answer { Answered, NoAnswer };

inline Address mapIpv4(std::uint32_t v4) noexcept {
    return {0, 0, htonl(0xffffU), v4};
}

inline bool isMappedIpv4(const Address& address) noexcept {
    return address[0] == 0 && address[1] == 0 && address[2] == htonl(0xffffU);
}

// `words` holds one word for AF_INET, four for AF_INET6.
inline Address canonical(int family, const std::uint32_t* words) noexcept {
    if (family == AF_INET) {
        return mapIpv4(words[0]);
    }
    return {words[0], words[1], words[2], words[3]};
}

// --- netlink (NETLINK_SOCK_DIAG, inet_diag) ---

// Every socket of `protocol` in one of `states` (a bit per TCP state) whose
// local port is `port`, IPv4 and IPv6. A kernel without IPv6 answers the
// IPv4 part alone.
Answer netlinkDumpPort(int protocol, std::uint32_t states, std::uint16_t port,
                       std::vector<Entry>& out);
// The same for the local ports `first` to `last`.
Answer netlinkDumpPorts(int protocol, std::uint32_t states, std::uint16_t first,
                        std::uint16_t last, std::vector<Entry>& out);

// The exact lookup of the peer's TCP socket: its local end is `peer`, its
// remote end is `ours`.
Answer netlinkPeer(const Endpoint& ours, const Endpoint& peer, std::vector<Entry>& out);

// --- /proc/net/{tcp,tcp6,udp,udp6} ---

// One line of a table (after the header), of the shape
//   sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...
// False for a line of any other shape, which is skipped, never guessed at.
bool parseProcLine(std::string_view line, int family, Entry& entry);
// The same for a line of a UDP table, whose fields after the inode are
//   ref pointer drops
// and which then also gives `entry.drops` (0 when that field is missing or
// no decimal).
bool parseProcUdpLine(std::string_view line, int family, Entry& entry);

// Every socket in the TCP tables, and in the UDP tables. The IPv4 table must
// answer; the IPv6 one is missing on kernels without IPv6.
Answer procTcp(std::vector<Entry>& out);
Answer procUdp(std::vector<Entry>& out);

}  // namespace tarnwell::socket_table

#endif  // TARNWELL_SOCKET_OWNER_SOCKET_TABLE_H_
