// One exchange on the command connection: the request out in one piece, the
// answer in, line by line, within the limits on its size.
//
// Thread safety: free of shared state; a descriptor and a LineReader belong to
// one thread for the length of an exchange.
#ifndef TARNWELL_CHANNEL_EXCHANGE_H_
#define TARNWELL_CHANNEL_EXCHANGE_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "channel/tarnwell_command.h"

namespace tarnwell {

// Reads the lines of one answer from a socket, in one of two ways:
// - TakeExactly never takes a byte past the last line handed out, so the
//   stream stays in step for whatever reads it next. It peeks at what has
//   arrived, hands out the complete lines in it, and takes from the socket
//   exactly the bytes of the lines handed out: before it waits for more, and
//   in finish. An answer that arrived in one piece costs one peek and one read.
// - ReadAhead reads what has arrived, so an answer that arrived in one piece
//   costs one read. Bytes read past the last line handed out are not put back:
//   finish reports them, and the connection they came from is out of step.
//
// Without a deadline each receive waits as long as the socket's receive
// time-out lets it; with one, no receive waits past it.
class LineReader {
public:
    // failure() after finish found bytes past the answer (ReadAhead): the
    // peer sent more than it was asked for.
    static constexpr const char* kBytesAfterAnswer = "bytes came after the answer";

    enum class Mode { TakeExactly, ReadAhead };
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;

    explicit LineReader(int fd, Mode mode = Mode::TakeExactly, Deadline deadline = std::nullopt)
        : fd_(fd), mode_(mode), deadline_(deadline) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line, without its LF. False on end of stream, an error, the
    // socket's receive time-out or the deadline, or a line longer than
    // kMaxLineBytes.
    bool next(std::string& line);
    // Call once the answer is complete. TakeExactly: takes the bytes of the
    // lines handed out from the socket, and nothing after them. ReadAhead:
    // false when bytes past the last line handed out were read.
    bool finish();
    // Why next or finish last failed, in words for people; empty otherwise.
    const std::string& failure() const { return failure_; }

private:
    // Makes the bytes of the lines handed out no longer the socket's.
    bool settle();
    // Waits for more bytes and puts what arrived into buffer_.
    bool receiveMore();
    bool fail(std::string why);

    const int fd_;
    const Mode mode_;
    const Deadline deadline_;
    std::string failure_;
    std::array<char, std::size_t{16} * 1024> buffer_;
    std::size_t filled_ = 0;     // bytes in buffer_ from the last peek or read
    std::size_t handedOut_ = 0;  // of those, bytes handed out in lines
};

// Reads one LF-terminated line from a socket into `line` (without the LF),
// taking no byte past the LF. False on end of stream, an error, the socket's
// receive time-out, or a line longer than kMaxLineBytes.
bool readLine(int fd, std::string& line);

// Reads argument lines through "done" into `response`, within kMaxResponseLines
// and kMaxResponseBytes.
bool readArguments(LineReader& reader, ArgumentMap& response);

// Skips the rest of an answer that is not "rsp" through its "done", within
// kMaxResponseLines, to stay in step. The status line itself is not taken
// for the terminator.
bool skipThroughDone(LineReader& reader);

// Ok: the status line was "rsp" and everything through "done" was read.
// Refused: the status line was something else, but the answer was read
// through its "done", so the stream is still in step and the connection can
// carry the next request.
// Broken: a write failed, a read failed (end of stream, error, time-out, a
// line or an answer over its limit) before the answer's end was found, or,
// reading ahead, bytes came after the answer. What the daemon still sends
// would be read as the next command's answer, so the connection must end.
enum class ExchangeOutcome { Ok, Refused, Broken };

// The two halves of exchange, for a caller that looks at what arrives in
// between (tarnwell-doctor shows the first bytes of a peer that is not the
// daemon). sendRequest writes the request in one piece, no longer than the
// deadline allows; false, with the reason in `why`, when that fails.
// readAnswer reads the answer with `reader` into `response`, with the
// outcomes of exchange.
bool sendRequest(int fd, const std::string& name, const ArgumentMap* args,
                 LineReader::Deadline deadline, std::string& why);
ExchangeOutcome readAnswer(LineReader& reader, ArgumentMap& response, std::string& why);

// Writes the request for `name` and `args` (null: no argument lines) in one
// piece and reads its answer into `response`. With a deadline, neither the
// write nor any read waits past it. When the outcome is not Ok and `why` is
// given, it receives the reason in words for people (the tools print it).
ExchangeOutcome exchange(int fd, const std::string& name, const ArgumentMap* args,
                         ArgumentMap& response, LineReader::Mode mode,
                         LineReader::Deadline deadline = std::nullopt, std::string* why = nullptr);

}  // namespace tarnwell

#endif  // TARNWELL_CHANNEL_EXCHANGE_H_
