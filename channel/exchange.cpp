#include "channel/exchange.h"

#include <sys/socket.h>

#include <cstring>

#include "base/wire_format.h"
#include "socket_io.h"

namespace tarnwell {

bool LineReader::next(std::string& line) {
    line.clear();
    for (;;) {
        const char* start = buffer_.data() + handedOut_;
        const std::size_t available = filled_ - handedOut_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', available));
        if (lf != nullptr) {
            const auto length = static_cast<std::size_t>(lf - start);
            if (line.size() + length > kMaxLineBytes) {
                return false;
            }
            line.append(start, length);
            handedOut_ += length + 1;
            return true;
        }
        // The rest of what arrived is the start of this line: keep it and
        // wait for more.
        if (line.size() + available > kMaxLineBytes) {
            return false;
        }
        line.append(start, available);
        handedOut_ = filled_;
        if (!settle()) {
            return false;
        }
        const int flags = mode_ == Mode::TakeExactly ? MSG_PEEK : 0;
        const ssize_t n = socket_io::receiveSome(fd_, buffer_.data(), buffer_.size(), flags);
        // 0: end of stream. < 0: an error or the receive time-out.
        if (n <= 0) {
            return false;
        }
        filled_ = static_cast<std::size_t>(n);
    }
}

bool LineReader::finish() {
    if (mode_ == Mode::ReadAhead) {
        return handedOut_ == filled_;
    }
    return settle();
}

bool LineReader::settle() {
    // Into the buffer, whose peeked copy of these bytes is no longer needed;
    // the bytes are queued already, so this does not wait.
    const bool taken =
        mode_ == Mode::ReadAhead || socket_io::receiveExactly(fd_, buffer_.data(), handedOut_);
    filled_ = handedOut_ = 0;
    return taken;
}

bool readLine(int fd, std::string& line) {
    LineReader reader(fd);
    return reader.next(line) && reader.finish();
}

bool readArguments(LineReader& reader, ArgumentMap& response) {
    std::string line;
    std::size_t bytes = 0;
    for (std::size_t count = 0; count <= kMaxResponseLines; ++count) {
        if (!reader.next(line)) {
            return false;
        }
        if (line == "done") {
            return true;
        }
        bytes += line.size();
        if (bytes > kMaxResponseBytes) {
            return false;
        }
        parseArgumentLine(line, response);
    }
    return false;
}

namespace {

// Skips the rest of an answer that is not "rsp" through its "done", to stay
// in step. The status line itself is not taken for the terminator.
bool skipThroughDone(LineReader& reader) {
    std::string line;
    for (std::size_t count = 0; count <= kMaxResponseLines; ++count) {
        if (!reader.next(line)) {
            return false;
        }
        if (line == "done") {
            return true;
        }
    }
    return false;
}

}  // namespace

ExchangeOutcome exchange(int fd, const std::string& name, const ArgumentMap* args,
                         ArgumentMap& response, LineReader::Mode mode) {
    if (!socket_io::sendAll(fd, buildRequest(name, args))) {
        return ExchangeOutcome::Broken;
    }
    LineReader reader(fd, mode);
    std::string status;
    if (!reader.next(status)) {
        return ExchangeOutcome::Broken;
    }
    const bool answer = status == "rsp";
    const bool read = answer ? readArguments(reader, response) : skipThroughDone(reader);
    if (!read || !reader.finish()) {
        return ExchangeOutcome::Broken;
    }
    return answer ? ExchangeOutcome::Ok : ExchangeOutcome::Refused;
}

}  // namespace tarnwell
