// The connection to the daemon's TCP port, made the one way the worker and
// the tools make it: a non-blocking connect that waits no longer than its
// deadline, then a blocking socket again, close-on-exec (a program the host
// starts must not inherit the connection, or the daemon would never see it
// close) and without Nagle's algorithm (each request is one small write
// followed by a wait for the answer, which could otherwise wait for the
// daemon's delayed ACK). Who owns the daemon's end is for the caller to ask
// (socket_owner).
//
// Thread safety: free of shared state; any thread.
#ifndef TARNWELL_CHANNEL_DAEMON_CONNECT_H_
#define TARNWELL_CHANNEL_DAEMON_CONNECT_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "base/posix_io.h"

namespace tarnwell {

struct DaemonSocket {
    enum class Outcome {
        Connected,  // `fd` holds the connection
        Refused,    // nothing listens there
        TimedOut,   // not accepted by the deadline
        Failed,     // any other failure; `error` holds its errno
    };
    Outcome outcome = Outcome::Failed;
    UniqueFd fd;
    int error = 0;
};

// To `address` (dotted IPv4), `port`, by `deadline`.
DaemonSocket connectToDaemon(const std::string& address, std::uint16_t port,
                             std::chrono::steady_clock::time_point deadline);

}  // namespace tarnwell

#endif  // TARNWELL_CHANNEL_DAEMON_CONNECT_H_
