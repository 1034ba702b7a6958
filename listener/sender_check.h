// Whether a notification may be handled. A datagram carries no sender
// identity, so the check asks who holds its source port; the answers are
// cached per port for a few milliseconds, since a burst from the daemon would
// otherwise cost one lookup per datagram.
//
// A notification is only a hint: it makes the core ask its own, vetted daemon
// again, and carries no status or root of its own. So only a sender that is
// known to be a stranger is refused: a socket of another user (neither ours
// nor root's) on the source port, or a source address other than 127.0.0.1.
// A sender that can no longer be told (it closed its socket right after
// sending, as a daemon that opens a socket per notification does, or the
// lookup is unavailable) is accepted.
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

    // How long a verdict about one source port is reused without asking the
    // kernel again. Every datagram later than this gets a fresh lookup.
    static constexpr std::chrono::milliseconds kVerdictLifetime{5};

    Verdict check(const sockaddr_in& from, std::chrono::steady_clock::time_point now);

private:
    struct Cached {
        Verdict verdict;
        std::chrono::steady_clock::time_point expires;
    };
    static Verdict lookUp(std::uint16_t port);

    // Source port (host order) -> the last verdict. Bounded: cleared whenever
    // it grows past a few hundred ports, which only a flood from many
    // sockets makes happen.
    std::unordered_map<std::uint16_t, Cached> cache_;
};

}  // namespace tarnwell

#endif  // TARNWELL_LISTENER_SENDER_CHECK_H_
