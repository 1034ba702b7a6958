// Both sources describe a socket by the same numbers: its local and remote
// address as the raw 32-bit words the kernel keeps (network byte order in
// memory), its ports, its TCP state, the uid of its file and its inode. Every
// address is compared in one canonical form, IPv6 with IPv4 mapped into it,
// so that a dual-stack IPv6 socket serving 127.0.0.1 matches like an IPv4 one.
//
// Why inode 0 never counts: the kernel reports uid 0 and inode 0 for a socket
// that no process holds (a connection still waiting in a listener's accept
// queue, a half-open request, an orphan closing down). Taking that uid 0 for
// "root" would be a wrong owner, so such an entry is skipped.
#include "socket_owner/socket_owner.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

namespace tarnwell {
namespace {

using Address = std::array<std::uint32_t, 4>;  // canonical: IPv4 mapped into IPv6

constexpr int kTcpEstablished = 1;
constexpr int kTcpSynRecv = 3;  // also how the kernel reports a request socket
constexpr int kTcpListen = 10;
// How long one netlink exchange may wait for the kernel; the receive timeout
// and the deadline of a multi-part dump.
constexpr std::chrono::milliseconds kNetlinkTimeout{100};
// How long tcpPeerOwner waits for the daemon to accept our connection before
// it asks who owns the listener that will hand it out.
constexpr std::chrono::milliseconds kAcceptWait{50};

struct Entry {
    Address local{};
    std::uint16_t localPort = 0;  // host order
    Address remote{};
    std::uint16_t remotePort = 0;
    int state = 0;
    uid_t uid = 0;
    std::uint64_t inode = 0;
};

// What a source said: Answered (the entries are all there is, maybe none) or
// NoAnswer (it could not be asked, failed, timed out or replied garbage).
enum class Answer { Answered, NoAnswer };

Address mapIpv4(std::uint32_t v4) noexcept {
    return {0, 0, htonl(0xffffU), v4};
}

Address canonical(int family, const std::uint32_t* words) {
    if (family == AF_INET) {
        return mapIpv4(words[0]);
    }
    return {words[0], words[1], words[2], words[3]};
}

const Address kLoopback = mapIpv4(htonl(INADDR_LOOPBACK));
const Address kAnyV4 = mapIpv4(htonl(INADDR_ANY));
const Address kAnyV6 = {0, 0, 0, 0};

// A socket bound here takes traffic for, or sends from, 127.0.0.1.
bool servesLoopback(const Address& local) {
    return local == kLoopback || local == kAnyV4 || local == kAnyV6;
}

// ---- netlink ---------------------------------------------------------------

class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    ~FdGuard() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
    // Used by dumps only: "local port >= P and local port <= P", so that the
    // kernel sends back only the sockets on one port.
    nlattr filterAttr;
    inet_diag_bc_op filter[4];
};

std::atomic<std::uint32_t> nextSequence{1};

int openDiagSocket() {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        return -1;
    }
    timeval tv{};
    tv.tv_usec = std::chrono::duration_cast<std::chrono::microseconds>(kNetlinkTimeout).count();
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool readDiagMessage(const nlmsghdr* message, Entry& entry) {
    if (message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        return false;
    }
    const auto* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
    if (msg->idiag_family != AF_INET && msg->idiag_family != AF_INET6) {
        return false;
    }
    entry.local = canonical(msg->idiag_family, msg->id.idiag_src);
    entry.localPort = ntohs(msg->id.idiag_sport);
    entry.remote = canonical(msg->idiag_family, msg->id.idiag_dst);
    entry.remotePort = ntohs(msg->id.idiag_dport);
    entry.state = msg->idiag_state;
    entry.uid = msg->idiag_uid;
    entry.inode = msg->idiag_inode;
    return true;
}

// Sends one request and collects the sockets of the reply. An exact lookup
// ends at its one answer (or the kernel's "no such socket", which is an
// answer with no entry); a dump ends at NLMSG_DONE. Anything else, including
// a reply that does not parse, a truncated one or the deadline passing, is
// NoAnswer.
Answer netlinkExchange(DiagRequest& req, bool dump, std::vector<Entry>& out) {
    FdGuard sock(openDiagSocket());
    if (sock.get() < 0) {
        return Answer::NoAnswer;
    }
    const std::uint32_t sequence = nextSequence.fetch_add(1, std::memory_order_relaxed);
    req.header.nlmsg_seq = sequence;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(sock.get(), &req, req.header.nlmsg_len, 0,
                        reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(req.header.nlmsg_len)) {
        return Answer::NoAnswer;
    }

    const auto deadline = std::chrono::steady_clock::now() + kNetlinkTimeout;
    // The kernel puts at most 32 KiB of a dump into one read; a reply cut
    // short anyway (MSG_TRUNC) is no answer. On the stack: the callers are
    // the worker and listener threads, whose stacks have room.
    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            return Answer::NoAnswer;
        }
        sockaddr_nl from{};
        socklen_t fromLen = sizeof from;
        iovec iov{buffer, sizeof buffer};
        msghdr mh{};
        mh.msg_name = &from;
        mh.msg_namelen = fromLen;
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        ssize_t got = ::recvmsg(sock.get(), &mh, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Answer::NoAnswer;  // includes the receive timeout
        }
        if ((mh.msg_flags & MSG_TRUNC) != 0 || from.nl_pid != 0) {
            return Answer::NoAnswer;
        }
        auto remaining = static_cast<unsigned int>(got);
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(message, remaining);
             message = NLMSG_NEXT(message, remaining)) {
            if (message->nlmsg_seq != sequence) {
                continue;
            }
            if (message->nlmsg_type == NLMSG_DONE) {
                if (message->nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
                    int status;
                    std::memcpy(&status, NLMSG_DATA(message), sizeof status);
                    if (status < 0) {
                        return Answer::NoAnswer;
                    }
                }
                return Answer::Answered;
            }
            if (message->nlmsg_type == NLMSG_ERROR) {
                if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
                    return Answer::NoAnswer;
                }
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
                if (error->error == -ENOENT && !dump) {
                    return Answer::Answered;
                }
                return Answer::NoAnswer;
            }
            if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY) {
                return Answer::NoAnswer;
            }
            Entry entry;
            if (!readDiagMessage(message, entry)) {
                return Answer::NoAnswer;
            }
            out.push_back(entry);
            if (!dump) {
                return Answer::Answered;
            }
        }
        if (remaining != 0) {
            return Answer::NoAnswer;  // a message that claims more bytes than came
        }
    }
}

DiagRequest makeRequest(int family, int protocol, std::uint32_t states, bool dump) {
    DiagRequest req{};
    req.header.nlmsg_len = NLMSG_LENGTH(sizeof(inet_diag_req_v2));
    req.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    req.header.nlmsg_flags = NLM_F_REQUEST | (dump ? NLM_F_DUMP : 0);
    req.request.sdiag_family = static_cast<std::uint8_t>(family);
    req.request.sdiag_protocol = static_cast<std::uint8_t>(protocol);
    req.request.idiag_states = states;
    req.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    req.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return req;
}

Answer netlinkDumpPort(int protocol, std::uint32_t states, std::uint16_t port,
                       std::vector<Entry>& out) {
    for (int family : {AF_INET, AF_INET6}) {
        DiagRequest req = makeRequest(family, protocol, states, true);
        // The filter's jumps count bytes from the op that makes them; jumping
        // 4 bytes past the end rejects the socket, landing exactly on the end
        // accepts it.
        req.filterAttr.nla_type = INET_DIAG_REQ_BYTECODE;
        req.filterAttr.nla_len = NLA_HDRLEN + sizeof req.filter;
        req.filter[0] = {INET_DIAG_BC_S_GE, 8, 20};
        req.filter[1] = {0, 0, port};
        req.filter[2] = {INET_DIAG_BC_S_LE, 8, 12};
        req.filter[3] = {0, 0, port};
        req.header.nlmsg_len = sizeof req;
        std::vector<Entry> found;
        if (netlinkExchange(req, true, found) != Answer::Answered) {
            if (family == AF_INET) {
                return Answer::NoAnswer;
            }
            // A kernel without IPv6 refuses the second dump; the IPv4 one stands.
            break;
        }
        out.insert(out.end(), found.begin(), found.end());
    }
    return Answer::Answered;
}

// ---- /proc -----------------------------------------------------------------

bool parseHexWord(const char* text, std::size_t length, std::uint32_t& value) {
    value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        std::uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else {
            return false;
        }
        value = (value << 4) | digit;
    }
    return true;
}

// "0100007F:4E98" (IPv4) or 32 hex digits, a colon and the port (IPv6). The
// address words are printed as the raw 32-bit values the kernel keeps, which
// is how canonical() expects them.
bool parseProcEndpoint(const std::string& field, int family, Address& address,
                       std::uint16_t& port) {
    const std::size_t words = family == AF_INET ? 1 : 4;
    if (field.size() != words * 8 + 5 || field[words * 8] != ':') {
        return false;
    }
    std::uint32_t raw[4] = {};
    for (std::size_t i = 0; i < words; ++i) {
        if (!parseHexWord(field.data() + i * 8, 8, raw[i])) {
            return false;
        }
    }
    std::uint32_t portValue;
    if (!parseHexWord(field.data() + words * 8 + 1, 4, portValue)) {
        return false;
    }
    address = canonical(family, raw);
    port = static_cast<std::uint16_t>(portValue);
    return true;
}

bool parseDecimal(const std::string& field, std::uint64_t max, std::uint64_t& value) {
    if (field.empty() || field.size() > 20) {
        return false;
    }
    value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

// One line of /proc/net/{tcp,udp}[6]:
//   sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...
// A line that does not have this shape is skipped, never guessed at.
bool parseProcLine(const std::string& line, int family, Entry& entry) {
    std::string fields[10];
    std::size_t count = 0;
    std::size_t pos = 0;
    while (count < 10) {
        pos = line.find_first_not_of(' ', pos);
        if (pos == std::string::npos) {
            return false;
        }
        std::size_t end = line.find(' ', pos);
        fields[count++] = line.substr(pos, end == std::string::npos ? end : end - pos);
        if (end == std::string::npos) {
            break;
        }
        pos = end;
    }
    if (count < 10) {
        return false;
    }
    std::uint32_t state;
    std::uint64_t uid;
    std::uint64_t inode;
    if (!parseProcEndpoint(fields[1], family, entry.local, entry.localPort) ||
        !parseProcEndpoint(fields[2], family, entry.remote, entry.remotePort) ||
        fields[3].size() != 2 || !parseHexWord(fields[3].data(), 2, state) ||
        !parseDecimal(fields[7], static_cast<uid_t>(-1) - 1U, uid) ||
        !parseDecimal(fields[9], UINT64_MAX, inode)) {
        return false;
    }
    entry.state = static_cast<int>(state);
    entry.uid = static_cast<uid_t>(uid);
    entry.inode = inode;
    return true;
}

// Reads one table; NoAnswer when it cannot be opened or read.
Answer readProcTable(const char* path, int family, std::vector<Entry>& out) {
    std::FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return Answer::NoAnswer;
    }
    char* line = nullptr;
    std::size_t capacity = 0;
    bool header = true;
    for (;;) {
        errno = 0;
        ssize_t length = ::getline(&line, &capacity, file);
        if (length < 0) {
            break;
        }
        if (header) {
            header = false;
            continue;
        }
        Entry entry;
        if (parseProcLine(std::string(line, static_cast<std::size_t>(length)), family, entry)) {
            out.push_back(entry);
        }
    }
    const bool failed = std::ferror(file) != 0;
    std::free(line);
    std::fclose(file);
    return failed ? Answer::NoAnswer : Answer::Answered;
}

// The IPv4 table must answer; the IPv6 one is missing on kernels without IPv6.
Answer readProcTables(const char* v4, const char* v6, std::vector<Entry>& out) {
    if (readProcTable(v4, AF_INET, out) != Answer::Answered) {
        return Answer::NoAnswer;
    }
    std::vector<Entry> six;
    if (readProcTable(v6, AF_INET6, six) == Answer::Answered) {
        out.insert(out.end(), six.begin(), six.end());
    }
    return Answer::Answered;
}

// ---- picking the answer ----------------------------------------------------

SocketOwner found(const Entry& entry) {
    return {OwnerLookup::Found, entry.uid, entry.inode};
}

// Of several sockets the caller cannot tell apart, one that is not its own
// user's, so that a check for "mine" fails safe.
SocketOwner pickOwner(const std::vector<SocketOwner>& owners) {
    if (owners.empty()) {
        return {OwnerLookup::NotFound, 0, 0};
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

Answer procTcp(std::vector<Entry>& out) {
    return readProcTables("/proc/net/tcp", "/proc/net/tcp6", out);
}

Answer procUdp(std::vector<Entry>& out) {
    return readProcTables("/proc/net/udp", "/proc/net/udp6", out);
}

std::vector<SocketOwner> boundOnPort(std::uint16_t port, const std::vector<Entry>& entries,
                                     bool listenersOnly) {
    std::vector<SocketOwner> owners;
    for (const Entry& entry : entries) {
        if (entry.localPort == port && servesLoopback(entry.local) && entry.inode != 0 &&
            (!listenersOnly || entry.state == kTcpListen)) {
            owners.push_back(found(entry));
        }
    }
    return owners;
}

struct Endpoint {
    Address address{};
    std::uint16_t port = 0;
};

bool endpointOf(int fd, bool peer, Endpoint& endpoint) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    if ((peer ? ::getpeername(fd, address, &length) : ::getsockname(fd, address, &length)) != 0) {
        return false;
    }
    if (storage.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
        endpoint.address = mapIpv4(in->sin_addr.s_addr);
        endpoint.port = ntohs(in->sin_port);
        return true;
    }
    if (storage.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        std::uint32_t words[4];
        std::memcpy(words, &in6->sin6_addr, sizeof words);
        endpoint.address = canonical(AF_INET6, words);
        endpoint.port = ntohs(in6->sin6_port);
        return true;
    }
    return false;
}

bool isMappedIpv4(const Address& address) {
    return address[0] == 0 && address[1] == 0 && address[2] == htonl(0xffffU);
}

// The exact lookup of the peer's socket: its local end is `peer`, its remote
// end is `ours`. IPv6 lookups with mapped IPv4 addresses go to the same
// table in the kernel, so one request finds IPv4 and dual-stack peers alike.
Answer netlinkPeer(const Endpoint& ours, const Endpoint& peer, std::vector<Entry>& out) {
    const bool v4 = isMappedIpv4(ours.address) && isMappedIpv4(peer.address);
    DiagRequest req = makeRequest(v4 ? AF_INET : AF_INET6, IPPROTO_TCP, ~0U, false);
    req.request.id.idiag_sport = htons(peer.port);
    req.request.id.idiag_dport = htons(ours.port);
    if (v4) {
        req.request.id.idiag_src[0] = peer.address[3];
        req.request.id.idiag_dst[0] = ours.address[3];
    } else {
        std::memcpy(req.request.id.idiag_src, peer.address.data(), sizeof peer.address);
        std::memcpy(req.request.id.idiag_dst, ours.address.data(), sizeof ours.address);
    }
    return netlinkExchange(req, false, out);
}

enum class PeerState { Owned, NotAccepted, Missing };

PeerState peerOwnerOnce(int fd, OwnerSource source, SocketOwner& owner) {
    Endpoint ours;
    Endpoint peer;
    if (!endpointOf(fd, false, ours) || !endpointOf(fd, true, peer)) {
        owner = {OwnerLookup::NotFound, 0, 0};
        return PeerState::Missing;
    }
    std::vector<Entry> entries;
    const Answer answer = collect(
        source, [&](std::vector<Entry>& out) { return netlinkPeer(ours, peer, out); }, procTcp,
        entries);
    if (answer == Answer::NoAnswer) {
        owner = SocketOwner{};
        return PeerState::Owned;
    }
    bool pending = false;
    for (const Entry& entry : entries) {
        if (entry.local != peer.address || entry.localPort != peer.port ||
            entry.remote != ours.address || entry.remotePort != ours.port) {
            continue;
        }
        if (entry.inode == 0) {
            // Still a half-open request (the handshake's last ACK not yet
            // processed) or waiting in the accept queue: it will be owned.
            pending = entry.state == kTcpEstablished || entry.state == kTcpSynRecv;
            continue;
        }
        owner = found(entry);
        return PeerState::Owned;
    }
    owner = {OwnerLookup::NotFound, 0, 0};
    return pending ? PeerState::NotAccepted : PeerState::Missing;
}

}  // namespace

bool isTrustedOwner(uid_t uid) {
    return uid == ::geteuid() || uid == 0;
}

SocketOwner tcpPeerOwner(int fd, OwnerSource source) {
    const auto deadline = std::chrono::steady_clock::now() + kAcceptWait;
    SocketOwner owner;
    for (;;) {
        PeerState state = peerOwnerOnce(fd, source, owner);
        if (state != PeerState::NotAccepted) {
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
        return {OwnerLookup::NotFound, 0, 0};
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
            return netlinkDumpPort(IPPROTO_TCP, 1U << kTcpListen, port, out);
        },
        procTcp, entries);
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
        [&](std::vector<Entry>& out) { return netlinkDumpPort(IPPROTO_UDP, ~0U, port, out); },
        procUdp, entries);
    if (answer == Answer::NoAnswer) {
        return {SocketOwner{}};
    }
    return boundOnPort(port, entries, false);
}

std::vector<SocketOwner> udpSocketsOnPort(std::uint16_t port) {
    return udpSocketsOnPort(port, OwnerSource::NetlinkThenProc);
}

SocketOwner udpSocketOwner(std::uint16_t port) {
    return pickOwner(udpSocketsOnPort(port, OwnerSource::NetlinkThenProc));
}

}  // namespace tarnwell
