// Why a cached verdict is safe to reuse for kVerdictLifetime: a verdict
// Trusted says that, at the moment of the lookup, every UDP socket bound to
// the source port (on 127.0.0.1, the wildcard, or dual-stack IPv6) belonged to
// this user or root. For another user's socket to send from that port within
// the next few milliseconds it would have to be bound beside ours, which the
// kernel allows only when both set SO_REUSEADDR, or right after our socket
// freed the port; either way the stranger could as well have closed its
// socket at once and passed as untold, which is accepted (a notification is
// only a hint). Foreign verdicts are cached the same way: reusing them can
// only drop.
#include "sender_check.h"

#include <arpa/inet.h>

#include <vector>

#include "socket_owner/socket_owner.h"

namespace tarnwell {

namespace {

constexpr std::size_t kMaxCachedPorts = 256;

}  // namespace

SenderCheck::Verdict SenderCheck::lookUp(std::uint16_t port) {
    const std::vector<SocketOwner> owners = udpSocketsOnPort(port);
    // Nobody holds the port any more (the sender closed its socket before we
    // looked), or nothing could be asked: the sender cannot be told. A socket
    // of a stranger found beside untold entries still refuses the datagram.
    Verdict verdict{Sender::Trusted, 0};
    if (owners.empty()) {
        verdict.sender = Sender::Untold;
    }
    for (const SocketOwner& owner : owners) {
        if (owner.result != OwnerLookup::Found) {
            verdict.sender = Sender::Untold;
        } else if (!isTrustedOwner(owner.uid)) {
            return {Sender::Foreign, owner.uid};
        }
    }
    return verdict;
}

SenderCheck::Verdict SenderCheck::check(const sockaddr_in& from,
                                        std::chrono::steady_clock::time_point now) {
    // The lookup finds sockets bound to 127.0.0.1 or the wildcard. A socket
    // bound to another loopback address (127.0.0.2) may share the port
    // number with ours and would hide behind our socket, so only 127.0.0.1
    // counts as a sender address.
    if (from.sin_family != AF_INET || from.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) {
        return {Sender::OtherAddress, 0};
    }
    const std::uint16_t port = ntohs(from.sin_port);
    const auto cached = cache_.find(port);
    if (cached != cache_.end() && now < cached->second.expires) {
        return cached->second.verdict;
    }
    const Verdict verdict = lookUp(port);
    if (cache_.size() >= kMaxCachedPorts) {
        cache_.clear();
    }
    // Timed from before the lookup, so that the kernel's answer is never
    // reused for longer than the lifetime.
    cache_[port] = Cached{verdict, now + kVerdictLifetime};
    return verdict;
}

}  // namespace tarnwell
