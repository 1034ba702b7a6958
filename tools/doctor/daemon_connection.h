// One connection to the daemon for the doctor's two questions ("get_tw_roots"
// and "query_stat"), made and used with the plug-in's own code: the channel's
// connect and its exchange, reading ahead as the worker does, so that the
// doctor reads the daemon exactly as the plug-in does. Every wait is bounded
// by the run's deadline, so a peer that accepts and never answers, or
// trickles bytes, cannot hold the run.
//
// Beyond the plug-in, it keeps the first bytes each answer began with: when
// what listens on the port is not the daemon at all (a web server, a proxy),
// those bytes are what tells the user so.
//
// Thread safety: one object belongs to one thread.
#ifndef TARNWELL_TOOLS_DOCTOR_DAEMON_CONNECTION_H_
#define TARNWELL_TOOLS_DOCTOR_DAEMON_CONNECTION_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "base/argument_map.h"
#include "base/posix_io.h"
#include "deadline.h"

namespace tarnwell::doctor {

inline constexpr std::size_t kFirstBytesShown = 64;

// What a question that got no usable answer ran into.
struct AskFailure {
    enum class Kind {
        NotAsked,      // the connection had ended, or the run's time was up
        NoAnswer,      // not a byte came before the deadline
        HungUp,        // the peer closed the connection without a byte
        NotTheDaemon,  // the answer began with bytes no daemon sends first
        Unasked,       // bytes came before the question was sent (a greeting)
        Refused,       // a status other than "rsp", read through its "done"
        Broken,        // began as the daemon's answer, then went wrong
    };
    Kind kind = Kind::NotAsked;
    std::string text;        // one sentence for the user
    std::string firstBytes;  // the first bytes that came, at most kFirstBytesShown
};

// After the plug-in's reader has refused an answer: the mistake of framing
// its first bytes show, in words that name the bytes (a CR before the LF, a
// space after "rsp", an empty line, a "done" first); empty when they show
// none of these.
std::string framingFault(const std::string& firstBytes);
// `bytes` for people, control bytes written as \r, \n, \t or \xHH, cut
// after `most` bytes.
std::string shownBytes(const std::string& bytes, std::size_t most = kFirstBytesShown);

// Bytes the peer sent that nobody asked for, waiting up to `wait` for them,
// left in the socket; at most `most`.
std::string unaskedBytes(int fd, std::chrono::milliseconds wait,
                         std::size_t most = kFirstBytesShown);

class DaemonConnection {
public:
    enum class Connect { Connected, Refused, TimedOut, Failed };

    // To 127.0.0.1:port. On Failed, `error` holds the reason.
    Connect connect(std::uint16_t port, const Deadline& deadline, std::string& error);
    int fd() const { return fd_.get(); }

    // Sends one request and reads its answer ("rsp", argument lines, "done")
    // into `response`. False, with what happened in `failure`, when the
    // plug-in would not take the answer either. After an answer that is
    // broken (not whole by the deadline, too large, followed by more bytes)
    // the stream is out of step and the connection is closed; later
    // questions are not asked, and say why. `within` names the time the
    // question had, for the user ("1 s").
    bool ask(const std::string& name, const ArgumentMap* args, const Deadline& deadline,
             const std::string& within, ArgumentMap& response, AskFailure& failure);
    // The same, with only the sentence, in `error`.
    bool ask(const std::string& name, const ArgumentMap* args, const Deadline& deadline,
             ArgumentMap& response, std::string& error);

private:
    // Before the first question on a connection: true, with the failure,
    // when the daemon wrote before it was asked anything.
    bool greeted(AskFailure& failure);

    UniqueFd fd_;
    bool asked_ = false;        // a question went out on fd_
    std::string endedBecause_;  // why fd_ was closed after it was connected, for later questions
};

}  // namespace tarnwell::doctor

#endif  // TARNWELL_TOOLS_DOCTOR_DAEMON_CONNECTION_H_
