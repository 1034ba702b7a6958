// One connection to the daemon for the doctor's two questions ("get_tw_roots"
// and "query_stat"), on the channel's wire format but with every wait bounded
// by the run's deadline: a non-blocking connect, and poll with the time left
// before every read, so a peer that accepts and never answers, or trickles
// bytes, cannot hold the run.
//
// Thread safety: one object belongs to one thread.
#ifndef TARNWELL_TOOLS_DOCTOR_DAEMON_CONNECTION_H_
#define TARNWELL_TOOLS_DOCTOR_DAEMON_CONNECTION_H_

#include <cstdint>
#include <string>

#include "base/argument_map.h"
#include "deadline.h"

namespace tarnwell::doctor {

class DaemonConnection {
public:
    enum class Connect { Connected, Refused, TimedOut, Failed };

    DaemonConnection() = default;
    ~DaemonConnection();
    DaemonConnection(const DaemonConnection&) = delete;
    DaemonConnection& operator=(const DaemonConnection&) = delete;

    // To 127.0.0.1:port. On Failed, `error` holds the reason.
    Connect connect(std::uint16_t port, const Deadline& deadline, std::string& error);
    int fd() const { return fd_; }

    // Sends one request and reads its answer ("rsp", argument lines, "done")
    // into `response`. False, with the reason in `error`, when the request
    // cannot be written, the answer is not "rsp", is too large, or is not
    // complete by the deadline. After a false the stream is out of step, so
    // the connection is closed.
    bool ask(const std::string& name, const ArgumentMap* args, const Deadline& deadline,
             ArgumentMap& response, std::string& error);

private:
    // The next line (without LF) from buffered bytes or the socket.
    bool nextLine(const Deadline& deadline, std::string& line, std::string& error);
    void close();

    int fd_ = -1;
    std::string buffered_;  // bytes read past the last line handed out
};

}  // namespace tarnwell::doctor

#endif  // TARNWELL_TOOLS_DOCTOR_DAEMON_CONNECTION_H_
