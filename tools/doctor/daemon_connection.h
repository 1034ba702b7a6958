// One connection to the daemon for the doctor's two questions ("get_tw_roots"
// and "query_stat"), made and used with the plug-in's own code: the channel's
// connect and its exchange, reading ahead as the worker does, so that the
// doctor reads the daemon exactly as the plug-in does. Every wait is bounded
// by the run's deadline, so a peer that accepts and never answers, or
// trickles bytes, cannot hold the run.
//
// Thread safety: one object belongs to one thread.
#ifndef TARNWELL_TOOLS_DOCTOR_DAEMON_CONNECTION_H_
#define TARNWELL_TOOLS_DOCTOR_DAEMON_CONNECTION_H_

#include <cstdint>
#include <string>

#include "base/argument_map.h"
#include "base/posix_io.h"
#include "deadline.h"

namespace tarnwell::doctor {

class DaemonConnection {
public:
    enum class Connect { Connected, Refused, TimedOut, Failed };

    // To 127.0.0.1:port. On Failed, `error` holds the reason.
    Connect connect(std::uint16_t port, const Deadline& deadline, std::string& error);
    int fd() const { return fd_.get(); }

    // Sends one request and reads its answer ("rsp", argument lines, "done")
    // into `response`. False, with the reason in `error`, when the plug-in
    // would not take the answer either. After an answer that is broken (not
    // whole by the deadline, too large, followed by more bytes) the stream is
    // out of step, and the connection is closed.
    bool ask(const std::string& name, const ArgumentMap* args, const Deadline& deadline,
             ArgumentMap& response, std::string& error);

private:
    UniqueFd fd_;
};

}  // namespace tarnwell::doctor

#endif  // TARNWELL_TOOLS_DOCTOR_DAEMON_CONNECTION_H_
