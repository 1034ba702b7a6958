// The simulated daemon's event loop: a TCP listener on 127.0.0.1, any number
// of client connections, the control commands on stdin, SIGINT/SIGTERM, and a
// UDP socket that pushes notifications.
//
// Thread safety: single-threaded. Everything, including every stdout line and
// every socket, belongs to the thread that calls run(); no member is shared.
// Sockets are non-blocking and each connection has its own input and output
// buffer, so a client that sends half a request, or reads nothing, only ever
// holds up itself.
#ifndef TARNWELL_TOOLS_DAEMON_SIM_SIM_SERVER_H_
#define TARNWELL_TOOLS_DAEMON_SIM_SIM_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/argument_map.h"
#include "sim_state.h"

namespace tarnwell::sim {

// A request's total size beyond which its connection is dropped: the line and
// line-count limits alone would still let one request hold 64 GiB.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{16} << 20;
// Responses waiting for a client that does not read. Past this the daemon
// stops reading that client's requests until it has caught up.
inline constexpr std::size_t kMaxPendingOutput = std::size_t{1} << 20;
inline constexpr std::size_t kMaxConnections = 1000;
// What the plug-in's listener reads of one datagram.
inline constexpr std::size_t kMaxDatagramBytes = 2047;

struct Options {
    std::vector<std::string> roots;
    PairList statuses;  // path -> decimal status, in command-line order
    long defaultStatus = 0;
    std::uint16_t port = 19080;
    std::uint16_t notifyPort = 19081;
    bool readStdin = true;
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
        int fd = -1;
        std::string in;
        std::size_t consumed = 0;  // bytes of `in` already turned into lines
        std::size_t scanFrom = 0;  // no LF in [consumed, scanFrom)
        std::string out;
        std::size_t outSent = 0;
        bool inputClosed = false;
        bool closing = false;
        // The request being read.
        bool haveName = false;
        std::string name;
        ArgumentMap args;
        std::size_t argLines = 0;
        std::size_t requestBytes = 0;
    };
    enum class ControlResult { kContinue, kQuit };

    void acceptClients();
    void readFrom(Connection& c);
    // Turns buffered lines into responses while the output has room. False
    // when the client broke a limit and must be dropped.
    bool processInput(Connection& c);
    bool handleLine(Connection& c, const std::string& line);
    void flush(Connection& c);
    void dropMalformed(Connection& c, const std::string& why);
    void closeConnection(Connection& c);

    // False on end of stdin or `quit`.
    bool readStdin();
    ControlResult handleControl(std::string line);
    void notify(const std::string& name, const PairList& pairs);

    static void emit(const std::string& line);
    static void complain(const std::string& message);

    SimState state_;
    const std::uint16_t requestedPort_;
    const std::uint16_t notifyPort_;
    const bool useStdin_;
    std::uint16_t boundPort_ = 0;
    int listenFd_ = -1;
    int notifyFd_ = -1;
    int signalFd_ = -1;
    bool stdinOpen_ = true;
    std::string stdinBuffer_;
    // Set when accept ran out of descriptors; cleared when a client leaves.
    bool acceptPaused_ = false;
    std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace tarnwell::sim

#endif  // TARNWELL_TOOLS_DAEMON_SIM_SIM_SERVER_H_
