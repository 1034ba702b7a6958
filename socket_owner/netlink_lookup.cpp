// The kernel's socket diagnostics (NETLINK_SOCK_DIAG, inet_diag): one request
// on a netlink socket of its own per lookup, and the sockets of the reply.
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "base/posix_io.h"
#include "socket_table.h"

namespace tarnwell::socket_table {
namespace {

using Clock = std::chrono::steady_clock;

// How long one netlink exchange may wait for the kernel; the receive timeout
// and the deadline of a multi-part dump.
constexpr std::chrono::milliseconds kNetlinkTimeout{100};

// A test of the local port in the kernel's filter bytecode: the op, then an
// op-sized operand that holds the port.
struct PortTest {
    inet_diag_bc_op op;
    inet_diag_bc_op port;
};
static_assert(sizeof(PortTest) == 2 * sizeof(inet_diag_bc_op), "a test has no padding");

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
    // Used by dumps only: "local port >= P and local port <= P", so that the
    // kernel sends back only the sockets on one port.
    nlattr filterAttr;
    PortTest filter[2];
};

// The kernel runs the filter from its first op; each op moves on by `yes` or
// `no` bytes from where it stands. Landing exactly on the end accepts the
// socket, jumping past it rejects. A passed test moves on to the next test (or
// onto the end, after the last); a failed one jumps one op past the end.
PortTest portTest(std::uint8_t code, std::size_t index, std::uint16_t port) {
    constexpr std::size_t kTestBytes = sizeof(PortTest);
    constexpr std::size_t kFilterBytes = sizeof(DiagRequest::filter);
    constexpr std::size_t kPastEnd = sizeof(inet_diag_bc_op);
    const std::size_t toEnd = kFilterBytes - index * kTestBytes;
    return {
        {code, static_cast<std::uint8_t>(kTestBytes), static_cast<std::uint16_t>(toEnd + kPastEnd)},
        {0, 0, port}};
}

std::atomic<std::uint32_t> nextSequence{1};

UniqueFd openDiagSocket() {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd.valid()) {
        return fd;
    }
    timeval tv{};
    tv.tv_usec = std::chrono::duration_cast<std::chrono::microseconds>(kNetlinkTimeout).count();
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        return UniqueFd();
    }
    return fd;
}

bool sendToKernel(int fd, const DiagRequest& req) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const ssize_t sent = retryInterrupted([&] {
        return ::sendto(fd, &req, req.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                        sizeof kernel);
    });
    return sent == static_cast<ssize_t>(req.header.nlmsg_len);
}

// One part of the reply into `buffer`: its length, or -1 when nothing came by
// `deadline` (also after interruptions), the receive failed, the part was
// cut short (MSG_TRUNC) or came from anyone but the kernel.
ssize_t receiveFromKernel(int fd, char* buffer, std::size_t size, Clock::time_point deadline) {
    sockaddr_nl from{};
    iovec iov{buffer, size};
    msghdr mh{};
    mh.msg_name = &from;
    mh.msg_namelen = sizeof from;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    const ssize_t got = retryInterrupted([&] {
        if (Clock::now() > deadline) {
            errno = ETIMEDOUT;
            return ssize_t{-1};
        }
        return ::recvmsg(fd, &mh, 0);
    });
    if (got < 0 || (mh.msg_flags & MSG_TRUNC) != 0 || from.nl_pid != 0) {
        return -1;
    }
    return got;
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

// Where a reply stands after one of its messages.
enum class Step { More, Answered, NoAnswer };

Step readDone(const nlmsghdr* message) {
    if (message->nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
        int status;
        std::memcpy(&status, NLMSG_DATA(message), sizeof status);
        if (status < 0) {
            return Step::NoAnswer;
        }
    }
    return Step::Answered;
}

// The kernel's "no such socket" answers an exact lookup; any other error,
// and every error of a dump, is no answer.
Step readError(const nlmsghdr* message, bool dump) {
    if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
        return Step::NoAnswer;
    }
    const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
    return error->error == -ENOENT && !dump ? Step::Answered : Step::NoAnswer;
}

Step readMessage(const nlmsghdr* message, bool dump, std::vector<Entry>& out) {
    switch (message->nlmsg_type) {
        case NLMSG_DONE:
            return readDone(message);
        case NLMSG_ERROR:
            return readError(message, dump);
        case SOCK_DIAG_BY_FAMILY:
            break;
        default:
            return Step::NoAnswer;
    }
    Entry entry;
    if (!readDiagMessage(message, entry)) {
        return Step::NoAnswer;
    }
    out.push_back(entry);
    // An exact lookup ends at its one answer; a dump at NLMSG_DONE.
    return dump ? Step::More : Step::Answered;
}

// The messages of one part of the reply; those of other requests are
// skipped.
Step readPart(char* buffer, std::size_t length, std::uint32_t sequence, bool dump,
              std::vector<Entry>& out) {
    auto remaining = static_cast<unsigned int>(length);
    for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(message, remaining);
         message = NLMSG_NEXT(message, remaining)) {
        if (message->nlmsg_seq != sequence) {
            continue;
        }
        const Step step = readMessage(message, dump, out);
        if (step != Step::More) {
            return step;
        }
    }
    // A message that claims more bytes than came is no answer.
    return remaining == 0 ? Step::More : Step::NoAnswer;
}

// Sends one request and collects the sockets of the reply. An exact lookup
// ends at its one answer (or the kernel's "no such socket", which is an
// answer with no entry); a dump ends at NLMSG_DONE. Anything else, including
// a reply that does not parse, a truncated one or the deadline passing, is
// NoAnswer.
Answer netlinkExchange(DiagRequest& req, bool dump, std::vector<Entry>& out) {
    const UniqueFd sock = openDiagSocket();
    if (!sock.valid()) {
        return Answer::NoAnswer;
    }
    const std::uint32_t sequence = nextSequence.fetch_add(1, std::memory_order_relaxed);
    req.header.nlmsg_seq = sequence;
    if (!sendToKernel(sock.get(), req)) {
        return Answer::NoAnswer;
    }
    const auto deadline = Clock::now() + kNetlinkTimeout;
    // The kernel puts at most 32 KiB of a dump into one read; a reply cut
    // short anyway (MSG_TRUNC) is no answer. On the stack: the callers are
    // the worker and listener threads, whose stacks have room.
    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
        const ssize_t got = receiveFromKernel(sock.get(), buffer, sizeof buffer, deadline);
        if (got < 0) {
            return Answer::NoAnswer;
        }
        const Step step = readPart(buffer, static_cast<std::size_t>(got), sequence, dump, out);
        if (step != Step::More) {
            return step == Step::Answered ? Answer::Answered : Answer::NoAnswer;
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

}  // namespace

Answer netlinkDumpPort(int protocol, std::uint32_t states, std::uint16_t port,
                       std::vector<Entry>& out) {
    return netlinkDumpPorts(protocol, states, port, port, out);
}

Answer netlinkDumpPorts(int protocol, std::uint32_t states, std::uint16_t first,
                        std::uint16_t last, std::vector<Entry>& out) {
    for (int family : {AF_INET, AF_INET6}) {
        DiagRequest req = makeRequest(family, protocol, states, true);
        req.filterAttr.nla_type = INET_DIAG_REQ_BYTECODE;
        req.filterAttr.nla_len = NLA_HDRLEN + sizeof req.filter;
        req.filter[0] = portTest(INET_DIAG_BC_S_GE, 0, first);
        req.filter[1] = portTest(INET_DIAG_BC_S_LE, 1, last);
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

// IPv6 lookups with mapped IPv4 addresses go to the same table in the kernel,
// so one request finds IPv4 and dual-stack peers alike.
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

}  // namespace tarnwell::socket_table
