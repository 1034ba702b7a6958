// Whether a notification came from a socket of this process's own effective
// user. A datagram carries no sender identity, so the check asks who holds
// its source port; the answers are cached per port for a few milliseconds,
// since a burst from the daemon would otherwise cost one lookup per datagram.
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
    enum class Sender { Own, Foreign, Unknown };
    struct Verdict {
        Sender sender = Sender::Unknown;
        uid_t uid = 0;  // the other user, when Foreign
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
