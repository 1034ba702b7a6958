// Picks the owner from what the kernel says (socket_table.h): netlink first,
// /proc when netlink gives no answer.
//
// Why inode 0 never counts: the kernel reports uid 0 and inode 0 for a socket
// that no process holds (a connection still waiting in a listener's accept
// queue, a half-open request, an orphan closing down). Taking that uid 0 for
// "root" would be a wrong owner, so such an entry is skipped.
#include "socket_owner/socket_owner.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "socket_table.h"

namespace tarnwell {
namespace {

using socket_table::Address;
using socket_table::Answer;
using socket_table::Endpoint;
using socket_table::Entry;

// How long tcpPeerOwner waits for the daemon to accept our connection before
// it asks who owns the listener that will hand it out.
constexpr std::chrono::milliseconds kAcceptWait{50};

const Address kLoopback = socket_table::mapIpv4(htonl(INADDR_LOOPBACK));
const Address kAnyV4 = socket_table::mapIpv4(htonl(INADDR_ANY));
const Address kAnyV6 = {0, 0, 0, 0};

// A socket bound here takes traffic for, or sends from, 127.0.0.1.
bool servesLoopback(const Address& local) {
    return local == kLoopback || local == kAnyV4 || local == kAnyV6;
}

SocketOwner found(const Entry& entry) {
    return {OwnerLookup::Found, entry.uid, entry.inode};
}

constexpr SocketOwner kNotFound{OwnerLookup::NotFound, 0, 0};

// Of several sockets the caller cannot tell apart, one that is not its own
// user's, so that a check for "mine" fails safe.
SocketOwner pickOwner(const std::vector<SocketOwner>& owners) {
    if (owners.empty()) {
        return kNotFound;
    }
    for (const SocketOwner& owner : owners) {
        if (owner.result != OwnerLookup::Found || owner.uid != ::geteuid()) {
            return owner;
        }
    }
    return owners.front();
}

// Netlink first; /proc only when netlink gave no answer at all (an empty
// answer is an answer: the socket does not exist).
template <typename Netlink, typename Proc>
Answer collect(OwnerSource source, Netlink fromNetlink, Proc fromProc,
               std::vector<Entry>& entries) {
    Answer answer = Answer::NoAnswer;
    if (source != OwnerSource::ProcOnly) {
        answer = fromNetlink(entries);
    }
    if (answer == Answer::NoAnswer && source != OwnerSource::NetlinkOnly) {
        entries.clear();
        answer = fromProc(entries);
    }
    return answer;
}

std::vector<SocketOwner> boundOnPort(std::uint16_t port, const std::vector<Entry>& entries,
                                     bool listenersOnly) {
    std::vector<SocketOwner> owners;
    for (const Entry& entry : entries) {
        if (entry.localPort == port && servesLoopback(entry.local) && entry.inode != 0 &&
            (!listenersOnly || entry.state == socket_table::kTcpListen)) {
            owners.push_back(found(entry));
        }
    }
    return owners;
}

bool endpointOf(int fd, bool peer, Endpoint& endpoint) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    if ((peer ? ::getpeername(fd, address, &length) : ::getsockname(fd, address, &length)) != 0) {
        return false;
    }
    if (storage.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
        endpoint.address = socket_table::mapIpv4(in->sin_addr.s_addr);
        endpoint.port = ntohs(in->sin_port);
        return true;
    }
    if (storage.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        std::uint32_t words[4];
        std::memcpy(words, &in6->sin6_addr, sizeof words);
        endpoint.address = socket_table::canonical(AF_INET6, words);
        endpoint.port = ntohs(in6->sin6_port);
        return true;
    }
    return false;
}

// What one look at the peer's socket found.
enum class PeerState {
    Owned,        // a process holds it: `owner` is Found
    Unanswered,   // neither source answered: `owner` is Unavailable
    NotAccepted,  // it still waits to be accepted, so nobody holds it yet
    Missing,      // there is no such socket (any more)
};

// Among the entries, the peer's socket: `owner` is set for Owned and
// Unanswered, NotFound otherwise.
PeerState peerInEntries(const std::vector<Entry>& entries, const Endpoint& ours,
                        const Endpoint& peer, SocketOwner& owner) {
    bool pending = false;
    for (const Entry& entry : entries) {
        if (entry.local != peer.address || entry.localPort != peer.port ||
            entry.remote != ours.address || entry.remotePort != ours.port) {
            continue;
        }
        if (entry.inode == 0) {
            // Still a half-open request (the handshake's last ACK not yet
            // processed) or waiting in the accept queue: it will be owned.
            pending = entry.state == socket_table::kTcpEstablished ||
                      entry.state == socket_table::kTcpSynRecv;
            continue;
        }
        owner = found(entry);
        return PeerState::Owned;
    }
    owner = kNotFound;
    return pending ? PeerState::NotAccepted : PeerState::Missing;
}

PeerState peerOwnerOnce(int fd, OwnerSource source, SocketOwner& owner) {
    Endpoint ours;
    Endpoint peer;
    if (!endpointOf(fd, false, ours) || !endpointOf(fd, true, peer)) {
        owner = kNotFound;
        return PeerState::Missing;
    }
    std::vector<Entry> entries;
    const Answer answer = collect(
        source, [&](std::vector<Entry>& out) { return socket_table::netlinkPeer(ours, peer, out); },
        socket_table::procTcp, entries);
    if (answer == Answer::NoAnswer) {
        owner = SocketOwner{};
        return PeerState::Unanswered;
    }
    return peerInEntries(entries, ours, peer, owner);
}

}  // namespace

bool isTrustedOwner(uid_t uid) {
    return uid == ::geteuid() || uid == 0;
}

SocketOwner tcpPeerOwner(int fd, OwnerSource source) {
    const auto deadline = std::chrono::steady_clock::now() + kAcceptWait;
    SocketOwner owner;
    for (;;) {
        if (peerOwnerOnce(fd, source, owner) != PeerState::NotAccepted) {
            return owner;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The connection still waits in the accept queue of the listener on the
    // peer's port, so whoever owns that listener is the one who will take it.
    Endpoint peer;
    if (!endpointOf(fd, true, peer)) {
        return kNotFound;
    }
    return tcpListenerOwner(peer.port, source);
}

SocketOwner tcpPeerOwner(int fd) {
    return tcpPeerOwner(fd, OwnerSource::NetlinkThenProc);
}

SocketOwner tcpListenerOwner(std::uint16_t port, OwnerSource source) {
    std::vector<Entry> entries;
    const Answer answer = collect(
        source,
        [&](std::vector<Entry>& out) {
            return socket_table::netlinkDumpPort(IPPROTO_TCP, 1U << socket_table::kTcpListen, port,
                                                 out);
        },
        socket_table::procTcp, entries);
    if (answer == Answer::NoAnswer) {
        return SocketOwner{};
    }
    return pickOwner(boundOnPort(port, entries, true));
}

SocketOwner tcpListenerOwner(std::uint16_t port) {
    return tcpListenerOwner(port, OwnerSource::NetlinkThenProc);
}

std::vector<SocketOwner> udpSocketsOnPort(std::uint16_t port, OwnerSource source) {
    std::vector<Entry> entries;
    const Answer answer = collect(
        source,
        [&](std::vector<Entry>& out) {
            return socket_table::netlinkDumpPort(IPPROTO_UDP, ~0U, port, out);
        },
        socket_table::procUdp, entries);
    if (answer == Answer::NoAnswer) {
        return {SocketOwner{}};
    }
    return boundOnPort(port, entries, false);
}

std::vector<SocketOwner> udpSocketsOnPort(std::uint16_t port) {
    return udpSocketsOnPort(port, OwnerSource::NetlinkThenProc);
}

std::optional<std::vector<BoundUdpSocket>> udpSocketsOnLoopback(OwnerSource source) {
    std::vector<Entry> entries;
    const Answer answer = collect(
        source,
        [&](std::vector<Entry>& out) {
            return socket_table::netlinkDumpPorts(IPPROTO_UDP, ~0U, 0, 0xFFFF, out);
        },
        socket_table::procUdp, entries);
    if (answer == Answer::NoAnswer) {
        return std::nullopt;
    }
    std::vector<BoundUdpSocket> sockets;
    for (const Entry& entry : entries) {
        if (servesLoopback(entry.local) && entry.inode != 0) {
            sockets.push_back({entry.localPort, found(entry)});
        }
    }
    return sockets;
}

std::optional<std::vector<BoundUdpSocket>> udpSocketsOnLoopback() {
    return udpSocketsOnLoopback(OwnerSource::NetlinkThenProc);
}

std::optional<std::vector<UdpSocketDrops>> udpDropsOnPort(std::uint16_t port) {
    std::vector<Entry> entries;
    if (socket_table::procUdp(entries) == Answer::NoAnswer) {
        return std::nullopt;
    }
    std::vector<UdpSocketDrops> sockets;
    for (const Entry& entry : entries) {
        if (entry.local == kLoopback && entry.localPort == port) {
            sockets.push_back({entry.inode, entry.drops});
        }
    }
    return sockets;
}

bool processHoldsSocket(pid_t pid, std::uint64_t inode, const std::string& procRoot) {
    const std::string folder = procRoot + "/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return false;  // another user's process, or one that has just ended
    }
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    bool held = false;
    // The stream is this call's own, so readdir's shared state is not shared.
    while (const dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
        if (entry->d_name[0] == '.') {
            continue;
        }
        char target[64];
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
        if (n > 0 && std::string_view(target, static_cast<std::size_t>(n)) == wanted) {
            held = true;
            break;
        }
    }
    ::closedir(dir);
    return held;
}

}  // namespace tarnwell
