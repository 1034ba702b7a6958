// TEMP: a stand-in for the socket-owner module until it lands on main.
#include "socket_owner/socket_owner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>
#include <string>

namespace tarnwell {

namespace {

struct Row {
    std::uint16_t localPort;
    std::uint16_t remotePort;
    bool localLoopback;
    int state;
    uid_t uid;
    std::uint64_t inode;
};

std::vector<Row> readTable(const char* file) {
    std::vector<Row> rows;
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string sl, local, remote, state, queues, timer, retransmits;
        unsigned long uid = 0, timeout = 0;
        std::uint64_t inode = 0;
        if (!(fields >> sl >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode)) {
            continue;
        }
        Row row{};
        row.localLoopback = local.substr(0, 8) == "0100007F" || local.substr(0, 8) == "00000000";
        row.localPort = static_cast<std::uint16_t>(std::stoul(local.substr(9), nullptr, 16));
        row.remotePort = static_cast<std::uint16_t>(std::stoul(remote.substr(9), nullptr, 16));
        row.state = static_cast<int>(std::stoul(state, nullptr, 16));
        row.uid = static_cast<uid_t>(uid);
        row.inode = inode;
        rows.push_back(row);
    }
    return rows;
}

std::uint16_t portOf(const sockaddr_in& address) {
    return ntohs(address.sin_port);
}

}  // namespace

SocketOwner tcpPeerOwner(int fd) {
    sockaddr_in self{}, peer{};
    socklen_t length = sizeof(self);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length) != 0) {
        return {};
    }
    length = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return {};
    }
    for (const Row& row : readTable("/proc/net/tcp")) {
        if (row.localPort == portOf(peer) && row.remotePort == portOf(self)) {
            return {OwnerLookup::Found, row.uid, row.inode};
        }
    }
    return {OwnerLookup::NotFound, 0, 0};
}

SocketOwner tcpListenerOwner(std::uint16_t port) {
    for (const Row& row : readTable("/proc/net/tcp")) {
        if (row.localPort == port && row.state == 0x0A && row.localLoopback) {
            return {OwnerLookup::Found, row.uid, row.inode};
        }
    }
    return {OwnerLookup::NotFound, 0, 0};
}

std::vector<SocketOwner> udpSocketsOnPort(std::uint16_t port) {
    std::vector<SocketOwner> owners;
    for (const Row& row : readTable("/proc/net/udp")) {
        if (row.localPort == port && row.localLoopback) {
            owners.push_back({OwnerLookup::Found, row.uid, row.inode});
        }
    }
    return owners;
}

SocketOwner udpSocketOwner(std::uint16_t port) {
    const auto owners = udpSocketsOnPort(port);
    if (owners.empty()) {
        return {OwnerLookup::NotFound, 0, 0};
    }
    return owners.front();
}

}  // namespace tarnwell
