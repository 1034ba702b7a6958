// The text wire format of the command channel and of notifications: lines
// ended by LF, fields separated by TAB, and backslash escapes for LF, TAB and
// backslash inside a field.
//
// All functions here are free of shared state and safe on any thread.
#ifndef TARNWELL_BASE_WIRE_FORMAT_H_
#define TARNWELL_BASE_WIRE_FORMAT_H_

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "base/argument_map.h"

namespace tarnwell {

// Backslash -> "\\", LF -> "\n", TAB -> "\t"; every other byte unchanged.
std::string escapeField(const std::string& field);

// Undoes escapeField. A backslash before any other byte, or at the end, is
// kept as it is.
std::string unescapeField(const std::string& field);

// Reads one LF-terminated line from a socket into `line` (without the LF).
// Never takes a byte past the LF from the socket, so the stream stays in step
// for the next exchange. False on end of stream, an error, the socket's
// receive time-out, or a line longer than kMaxLineBytes.
bool readLine(int fd, std::string& line);

// Reads the lines of one answer from a socket without ever taking a byte past
// the last line handed out, so that the stream stays in step for the next
// exchange. It peeks at what has arrived, hands out the complete lines in it,
// and takes from the socket exactly the bytes of the lines handed out: before
// it waits for more, and in finish. An answer that arrived in one piece costs
// one peek and one read, not two calls per line.
//
// Thread safety: one reader belongs to one thread and one exchange.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line, without its LF. False on end of stream, an error, the
    // socket's receive time-out, or a line longer than kMaxLineBytes.
    bool next(std::string& line);
    // Takes the bytes of the lines handed out from the socket, and nothing
    // after them. Call once the answer is complete.
    bool finish();

private:
    // Reads `count` bytes that a peek has shown to be waiting.
    bool take(std::size_t count);

    const int fd_;
    std::array<char, std::size_t{16} * 1024> buffer_;
    std::size_t peeked_ = 0;     // bytes in buffer_ from the last peek
    std::size_t handedOut_ = 0;  // of those, bytes handed out but not yet taken
};

// A response line longer than this fails the exchange: far above anything a
// daemon sends (a path is at most 4 KiB), and it keeps a misbehaving peer from
// growing the file manager's memory without bound.
inline constexpr std::size_t kMaxLineBytes = 1 << 20;
// Likewise for the number of argument lines in one response, and for their
// bytes together (without this, 65536 lines of 1 MiB would still be allowed).
inline constexpr std::size_t kMaxResponseLines = 1 << 16;
inline constexpr std::size_t kMaxResponseBytes = 16 << 20;

// Splits a response or notification argument line at every TAB and stores
// unescaped key -> values in `args`, replacing an earlier entry of that key.
// A line without a TAB is ignored.
void parseArgumentLine(std::string_view line, ArgumentMap& args);

// The whole request as it goes on the wire: name line, one line per key of
// `args` (if not null), and "done".
std::string buildRequest(const std::string& name, const ArgumentMap* args);

}  // namespace tarnwell

#endif  // TARNWELL_BASE_WIRE_FORMAT_H_
