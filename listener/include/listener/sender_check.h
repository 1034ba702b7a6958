// Whether a notification may be handled. A datagram carries no sender
// identity, so the check asks who holds its source port. It asks once for
// every UDP socket on loopback and keeps that table for a few milliseconds:
// a daemon that opens a socket per notification sends each from another
// port, and one lookup per port (a socket-diagnostics dump each) would cap
// the listener at a few ten thousand notifications a second.
//
// A notification is only a hint: it makes the core ask its own, vetted daemon
// again, and carries no status or root of its own. So only a sender that is
// known to be a stranger is refused: a socket of another user (neither ours
// nor root's) on the source port, or a source address other than 127.0.0.1.
// A sender that can no longer be told (it closed its socket right after
// sending, as a daemon that opens a socket per notification does, or the
// lookup is unavailable) is accepted; so is a port the table, taken at most
// kTableLifetime ago, does not list: a socket bound since then can as well
// have sent and closed at once, which passes anyway.
//
// Thread safety: none; the listener thread owns its one instance.
#ifndef TARNWELL_LISTENER_SENDER_CHECK_H_
#define TARNWELL_LISTENER_SENDER_CHECK_H_

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <unordered_map>

namespace tarnwell {

class SenderCheck {
public:
    enum class Sender {
        Trusted,       // every socket on the source port is ours or root's
        Untold,        // nobody holds the port any more, or nothing could be asked
        Foreign,       // a socket of another user holds the source port
        OtherAddress,  // not sent from 127.0.0.1
    };
    struct Verdict {
        Sender sender = Sender::Untold;
        uid_t uid = 0;  // the other user, when Foreign
        bool accepted() const { return sender == Sender::Trusted || sender == Sender::Untold; }
    };

    // How long the table of sockets is used without asking the kernel again.
    // Every datagram later than this gets a fresh table.
    static constexpr std::chrono::milliseconds kTableLifetime{5};

    Verdict check(const sockaddr_in& from, std::chrono::steady_clock::time_point now);

private:
    // Asks the kernel for every UDP socket on loopback, and files a verdict
    // per port in table_.
    void refresh(std::chrono::steady_clock::time_point now);

    // Source port (host order) -> the verdict about the sockets bound to it,
    // as of refreshed_. Holds the ports of this machine's UDP sockets, a few
    // dozen on a desktop.
    std::unordered_map<std::uint16_t, Verdict> table_;
    // False when the last refresh could not ask: every sender is untold.
    bool answered_ = false;
    std::chrono::steady_clock::time_point expires_{};
};

}  // namespace tarnwell

#endif  // TARNWELL_LISTENER_SENDER_CHECK_H_
