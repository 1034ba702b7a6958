// Notifications to the plug-in: one UDP datagram to 127.0.0.1 each, and an
// event line on stdout for each one sent.
//
// Thread safety: none needed; the single-threaded event loop owns it.
#ifndef TARNWELL_TOOLS_DAEMON_SIM_NOTIFIER_H_
#define TARNWELL_TOOLS_DAEMON_SIM_NOTIFIER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/posix_io.h"
#include "breakage.h"
#include "sim_state.h"

namespace tarnwell::sim {

class Notifier {
public:
    // With `freshSockets`, each notification goes out from a socket of its
    // own that is closed right after sending. `breaks` must outlive it.
    Notifier(std::uint16_t port, bool freshSockets, const Breakage& breaks)
        : port_(port), freshSockets_(freshSockets), breaks_(breaks) {}
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Creates the socket. On failure `error` says why.
    bool open(std::string& error);
    // A datagram longer than the listener reads is still sent, with a
    // complaint, so that tests can see what the plug-in makes of it.
    void notify(const std::string& name, const PairList& pairs);

private:
    // Sends one datagram from fd_, or from a fresh socket; false with errno.
    bool sendDatagram(const std::string& datagram);

    const std::uint16_t port_;
    const bool freshSockets_;
    const Breakage& breaks_;
    UniqueFd fd_;
};

}  // namespace tarnwell::sim

#endif  // TARNWELL_TOOLS_DAEMON_SIM_NOTIFIER_H_
