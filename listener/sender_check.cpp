// Why the table is safe to use for kTableLifetime: a verdict Trusted says
// that, when the table was taken, every UDP socket bound to the source port
// (on 127.0.0.1, the wildcard, or dual-stack IPv6) belonged to this user or
// root. For another user's socket to send from that port within the next few
// milliseconds it would have to be bound beside ours, which the kernel allows
// only when both set SO_REUSEADDR, or right after our socket freed the port;
// a port the table does not list was bound since, or its socket is closed.
// Either way the stranger could as well have closed its socket at once and
// passed as untold, which is accepted (a notification is only a hint).
// Foreign verdicts are used the same way: using them can only drop.
#include "listener/sender_check.h"

#include <arpa/inet.h>

#include <optional>
#include <vector>

#include "socket_owner/socket_owner.h"

namespace tarnwell {

void SenderCheck::refresh(std::chrono::steady_clock::time_point now) {
    // Timed from before the lookup, so that the kernel's answer is never
    // used for longer than the lifetime.
    expires_ = now + kTableLifetime;
    table_.clear();
    const std::optional<std::vector<BoundUdpSocket>> sockets = udpSocketsOnLoopback();
    answered_ = sockets.has_value();
    if (!answered_) {
        return;
    }
    for (const BoundUdpSocket& socket : *sockets) {
        // A socket of a stranger among several on the port refuses the
        // datagram, whichever of them sent it.
        Verdict& verdict = table_.try_emplace(socket.port, Verdict{Sender::Trusted, 0}).first->second;
        if (socket.owner.result != OwnerLookup::Found) {
            if (verdict.sender == Sender::Trusted) {
                verdict.sender = Sender::Untold;
            }
        } else if (!isTrustedOwner(socket.owner.uid)) {
            verdict = {Sender::Foreign, socket.owner.uid};
        }
    }
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
    if (now >= expires_) {
        refresh(now);
    }
    // Not listed: nobody held the port when the table was taken, and a
    // sender that closed its socket since cannot be told.
    const auto it = table_.find(ntohs(from.sin_port));
    if (!answered_ || it == table_.end()) {
        return {Sender::Untold, 0};
    }
    return it->second;
}

}  // namespace tarnwell
