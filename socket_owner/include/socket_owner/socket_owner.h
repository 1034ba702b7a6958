// TEMP: a stand-in for the socket-owner module until it lands on main.
#ifndef TARNWELL_SOCKET_OWNER_SOCKET_OWNER_H_
#define TARNWELL_SOCKET_OWNER_SOCKET_OWNER_H_

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace tarnwell {

enum class OwnerLookup { Found, NotFound, Unavailable };

struct SocketOwner {
    OwnerLookup result = OwnerLookup::Unavailable;
    uid_t uid = 0;
    std::uint64_t inode = 0;
};

SocketOwner tcpPeerOwner(int fd);
SocketOwner tcpListenerOwner(std::uint16_t port);
SocketOwner udpSocketOwner(std::uint16_t port);
std::vector<SocketOwner> udpSocketsOnPort(std::uint16_t port);

}  // namespace tarnwell

#endif  // TARNWELL_SOCKET_OWNER_SOCKET_OWNER_H_
