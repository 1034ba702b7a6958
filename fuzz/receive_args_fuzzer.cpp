// The daemon's side of one exchange, played by a socketpair peer that sends
// arbitrary bytes. The exchange must report success exactly when those bytes
// hold the status line "rsp" and, after it, a "done" line, and give back the
// argument lines in between. How it may treat the bytes after that "done"
// depends on how it reads:
// - taking exactly what the answer needs (sendToDaemon), it must not take a
//   single byte past the "done", since those bytes belong to the next
//   exchange;
// - reading ahead (the worker's way), it may read bytes past the "done" only
//   to report them: the exchange then fails, and the bytes it did not read
//   are still on the socket. A success leaves every later byte on the socket.
//
// The first input byte picks the reading (bit 3: reading ahead) and, taken
// modulo 8, how the peer behaves after its bytes:
//   0        keeps the connection open and silent (a stalled daemon),
//   2        has closed the connection before the request (the write must
//            fail),
//   any other ends its stream (shutdown for writing: the client reads end of
//            stream).
// A stall costs a receive time-out per input, so it gets one value in eight
// rather than one in three. The remaining bytes are the peer's, written
// before the call.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/wire_format.h"
#include "channel/command_client.h"
#include "channel/exchange.h"
#include "fuzz_check.h"

namespace {

using tarnwell::ArgumentMap;

enum class PeerEnding { Stall, EndOfStream, Closed };

// More than any line or line count limit of the reader could matter for,
// and small enough to sit in the socket buffer before the call.
constexpr std::size_t kMaxPeerBytes = 32 * 1024;

// How long a stalled read waits. sendToDaemon sets no limit of its own; the
// worker thread's connection has one, and this stands in for it.
constexpr suseconds_t kStallMicros = 2000;

struct Expected {
    bool ok = false;
    // Bytes of the peer's output the client must have taken.
    std::size_t consumed = 0;
    ArgumentMap response;
};

// What a correct client does with `bytes` when nothing more arrives: a line
// is only complete with its LF; an incomplete line is read to the end of what
// is there before the read fails.
Expected model(const std::string& bytes) {
    using tarnwell::fuzz::tabFields;
    Expected expected;
    std::size_t pos = 0;
    const auto nextLine = [&](std::string& line) {
        const std::size_t lf = bytes.find('\n', pos);
        if (lf == std::string::npos) {
            pos = bytes.size();
            return false;
        }
        line = bytes.substr(pos, lf - pos);
        pos = lf + 1;
        return true;
    };
    std::string line;
    if (!nextLine(line)) {
        expected.consumed = pos;
        return expected;
    }
    const bool answer = line == "rsp";
    while (nextLine(line)) {
        if (line == "done") {
            expected.ok = answer;
            expected.consumed = pos;
            return expected;
        }
        if (!answer) {
            continue;
        }
        auto fields = tabFields(line);
        if (fields.size() < 2) {
            continue;
        }
        std::vector<std::string> values;
        for (std::size_t f = 1; f < fields.size(); ++f) {
            values.push_back(tarnwell::unescapeField(fields[f]));
        }
        expected.response[tarnwell::unescapeField(fields[0])] = std::move(values);
    }
    expected.consumed = pos;
    return expected;
}

// Everything queued on `fd` right now, without waiting.
std::string drain(int fd) {
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return out;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

// Writes as much of `bytes` as the socket takes without blocking and
// returns what went out.
std::string writeWhatFits(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return bytes.substr(0, done);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool readAhead = (data[0] & 8) != 0;
    const PeerEnding ending = data[0] % 8 == 0   ? PeerEnding::Stall
                              : data[0] % 8 == 2 ? PeerEnding::Closed
                                                 : PeerEnding::EndOfStream;
    std::string peerBytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (peerBytes.size() > kMaxPeerBytes) {
        peerBytes.resize(kMaxPeerBytes);
    }

    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    const int client = fds[0];
    int peer = fds[1];
    const timeval stall{0, kStallMicros};
    FUZZ_CHECK(::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &stall, sizeof stall) == 0);

    peerBytes = writeWhatFits(peer, peerBytes);
    if (ending == PeerEnding::EndOfStream) {
        FUZZ_CHECK(::shutdown(peer, SHUT_WR) == 0);
    } else if (ending == PeerEnding::Closed) {
        ::close(peer);
        peer = -1;
    }

    const ArgumentMap args{{"path", {"/sync/a\tb"}}};
    ArgumentMap response;
    bool ok;
    if (readAhead) {
        ok = tarnwell::exchange(client, "query_stat", &args, response,
                                tarnwell::LineReader::Mode::ReadAhead) ==
             tarnwell::ExchangeOutcome::Ok;
    } else {
        ok = tarnwell::CommandClient::sendToDaemon(client, "query_stat", &args, response);
    }
    const std::string left = drain(client);

    if (ending == PeerEnding::Closed) {
        // The request cannot be written, so nothing may be read.
        FUZZ_CHECK(!ok);
        FUZZ_CHECK(left == peerBytes);
    } else {
        const Expected expected = model(peerBytes);
        const std::string rest = peerBytes.substr(expected.consumed);
        if (!readAhead || ok || !expected.ok) {
            FUZZ_CHECK(ok == expected.ok);
            FUZZ_CHECK(readAhead ? rest.ends_with(left) : left == rest);
        } else {
            // A whole answer, failed only because bytes behind it were read
            // along with it.
            FUZZ_CHECK(left.size() < rest.size() && rest.ends_with(left));
        }
        if (ok) {
            FUZZ_CHECK(left == rest);
            FUZZ_CHECK(response == expected.response);
        }
        // The request arrived whole and escaped.
        FUZZ_CHECK(drain(peer) == "query_stat\npath\t/sync/a\\tb\ndone\n");
        ::close(peer);
    }
    ::close(client);
    return 0;
}
