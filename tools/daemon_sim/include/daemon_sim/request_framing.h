// Request framing: the bytes a client sends, cut into complete requests. A
// request is a name line, argument lines (KEY TAB VALUE...), and "done", each
// ended by LF. No sockets here: the event loop receives into the framer and
// asks it for the requests that are complete.
//
// Thread safety: none needed; one framer belongs to one connection of the
// single-threaded event loop.
#ifndef TARNWELL_TOOLS_DAEMON_SIM_REQUEST_FRAMING_H_
#define TARNWELL_TOOLS_DAEMON_SIM_REQUEST_FRAMING_H_

#include <cstddef>
#include <string>

#include "base/argument_map.h"

namespace tarnwell::sim {

// A request's total size beyond which its connection is dropped: the line and
// line-count limits alone would still let one request hold 64 GiB.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{16} << 20;

struct Request {
    std::string name;  // unescaped; the first line is the name, even "done"
    ArgumentMap args;  // a key sent without values maps to no values
};

class RequestFramer {
public:
    enum class Result {
        kRequest,    // `request` holds the next complete request
        kNeedMore,   // no complete request in what has arrived
        kMalformed,  // a limit was broken; `why` says which. Drop the client.
    };

    // Room for `count` more bytes at the end of the input; commit(received)
    // then keeps the bytes actually received there. Nothing else may come
    // between the two.
    char* reserve(std::size_t count);
    void commit(std::size_t received);

    // Takes the lines of the next complete request out of the input.
    Result next(Request& request, std::string& why);
    // Drops the lines already taken from the front of the input. Call when
    // done asking next for now: once per batch, not per request, so that a
    // burst of small requests is not moved through memory once each.
    void compact();
    // Whether input is waiting that next has not looked at yet.
    bool hasUnscannedInput() const { return scanFrom_ < in_.size(); }
    // Gives back the memory of the input and any partial request.
    void release();

private:
    // False when the line broke a limit; true with `done` set when it ended
    // the request.
    bool takeLine(const std::string& line, Request& request, bool& done, std::string& why);

    std::string in_;
    std::size_t reservedFrom_ = 0;  // where reserve's room begins
    std::size_t consumed_ = 0;      // bytes of in_ already turned into lines
    std::size_t scanFrom_ = 0;      // no LF in [consumed_, scanFrom_)
    // The request being read.
    bool haveName_ = false;
    Request partial_;
    std::size_t argLines_ = 0;
    std::size_t requestBytes_ = 0;
};

}  // namespace tarnwell::sim

#endif  // TARNWELL_TOOLS_DAEMON_SIM_REQUEST_FRAMING_H_
