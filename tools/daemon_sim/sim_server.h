// The simulated daemon's event loop: a TCP listener on 127.0.0.1, any number
// of client connections, the control commands on stdin and SIGINT/SIGTERM,
// all in one poll. Requests are framed by request_framing.h, answered by
// SimState; control commands (control.h) push notifications (notifier.h).
//
// Thread safety: single-threaded. Everything, including every stdout line and
// every socket, belongs to the thread that calls run(); no member is shared.
// Sockets are non-blocking and each connection has its own input and output
// buffer, so a client that sends half a request, or reads nothing, only ever
// holds up itself.
#ifndef TARNWELL_TOOLS_DAEMON_SIM_SIM_SERVER_H_
#define TARNWELL_TOOLS_DAEMON_SIM_SIM_SERVER_H_

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/posix_io.h"
#include "breakage.h"
#include "control.h"
#include "daemon_sim/request_framing.h"
#include "notifier.h"
#include "protocol/vocabulary.h"
#include "sim_state.h"

namespace tarnwell::sim {

// Responses waiting for a client that does not read. Past this the daemon
// stops reading that client's requests until it has caught up.
inline constexpr std::size_t kMaxPendingOutput = std::size_t{1} << 20;
inline constexpr std::size_t kMaxConnections = 1000;

struct Options {
    std::vector<std::string> roots;
    PairList statuses;  // path -> decimal status, in command-line order
    long defaultStatus = 0;
    std::uint16_t port = protocol::kCommandPort;
    std::uint16_t notifyPort = protocol::kNotifyPort;
    bool readStdin = true;
    // Each notification from a socket of its own, closed right after sendto,
    // as a daemon (or a script) that opens a socket per notification does.
    bool notifyFromFreshSockets = false;
    // Time spent before each "query_stat" answer, as a daemon that looks the
    // status up in its own records: the event loop waits that long.
    std::chrono::microseconds answerDelay{0};
    // Contract breaches asked for with --break; none by default.
    Breakage breaks;
};

class SimServer {
public:
    explicit SimServer(const Options& options);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Binds and listens, opens the notification socket and the signal
    // descriptor (SIGINT and SIGTERM must already be blocked). On failure
    // `error` says why.
    bool open(std::string& error);
    std::uint16_t port() const { return boundPort_; }

    // Serves until `quit`, end of stdin (when read) or a signal. Returns the
    // exit status.
    int run();

private:
    struct Connection {
        UniqueFd fd;
        RequestFramer input;
        std::string out;
        std::size_t outSent = 0;
        bool inputClosed = false;
        bool closing = false;
    };

    // The descriptors of one poll: signals, listener, stdin, then one per
    // connection in the order of connections_.
    void buildPollSet(std::vector<pollfd>& fds) const;
    // Serves the connections the last poll reported on, then forgets the
    // closed ones.
    void serveConnections(const std::vector<pollfd>& fds);
    void acceptClients();
    void readFrom(Connection& c);
    // Answers buffered requests while the output has room. False when the
    // client broke a limit and was dropped.
    bool processInput(Connection& c);
    // Waits the answer delay before a status answer, and what a --break
    // adds; nothing for others. False when SIGINT or SIGTERM came meanwhile:
    // the answer, and every one still queued, is dropped, so that a stop is
    // never held up by answers nobody will wait for.
    bool delayAnswer(const Request& request) const;
    void flush(Connection& c);
    void closeConnection(Connection& c);

    // Before notifier_, which keeps a reference to it.
    const Breakage breaks_;
    SimState state_;
    Notifier notifier_;
    ControlInput control_;
    const std::uint16_t requestedPort_;
    const bool useStdin_;
    const std::chrono::microseconds answerDelay_;
    std::uint16_t boundPort_ = 0;
    UniqueFd listenFd_;
    UniqueFd signalFd_;
    // Set when accept ran out of descriptors; cleared when a client leaves.
    bool acceptPaused_ = false;
    // Set when a stop signal ended an answer delay; run() then returns.
    bool stopping_ = false;
    std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace tarnwell::sim

#endif  // TARNWELL_TOOLS_DAEMON_SIM_SIM_SERVER_H_
