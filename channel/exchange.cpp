#include "channel/exchange.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/posix_io.h"
#include "base/wire_format.h"
#include "protocol/messages.h"
#include "socket_io.h"

namespace tarnwell {

namespace {

std::string lineTooLong() {
    return "an answer line longer than " + std::to_string(kMaxLineBytes) + " bytes";
}

}  // namespace

bool LineReader::next(std::string& line) {
    line.clear();
    for (;;) {
        const char* start = buffer_.data() + handedOut_;
        const std::size_t available = filled_ - handedOut_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', available));
        if (lf != nullptr) {
            const auto length = static_cast<std::size_t>(lf - start);
            if (line.size() + length > kMaxLineBytes) {
                return fail(lineTooLong());
            }
            line.append(start, length);
            handedOut_ += length + 1;
            return true;
        }
        // The rest of what arrived is the start of this line: keep it and
        // wait for more.
        if (line.size() + available > kMaxLineBytes) {
            return fail(lineTooLong());
        }
        line.append(start, available);
        handedOut_ = filled_;
        if (!settle() || !receiveMore()) {
            return false;
        }
    }
}

bool LineReader::receiveMore() {
    for (;;) {
        if (!socket_io::waitToReceive(fd_, deadline_)) {
            return fail(errno == ETIMEDOUT ? "no complete answer in time" : errnoText());
        }
        // With a deadline the receive does not block: the wait is poll's.
        const int flags =
            (mode_ == Mode::TakeExactly ? MSG_PEEK : 0) | (deadline_ ? MSG_DONTWAIT : 0);
        const ssize_t n = socket_io::receiveSome(fd_, buffer_.data(), buffer_.size(), flags);
        if (n > 0) {
            filled_ = static_cast<std::size_t>(n);
            return true;
        }
        if (n == 0) {
            return fail("the daemon closed the connection");
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return fail(errnoText());
        }
        // Without a deadline: the socket's receive time-out.
        if (!deadline_) {
            return fail("no complete answer in time");
        }
    }
}

bool LineReader::fail(std::string why) {
    failure_ = std::move(why);
    return false;
}

bool LineReader::finish() {
    if (mode_ == Mode::ReadAhead) {
        return handedOut_ == filled_ || fail(kBytesAfterAnswer);
    }
    return settle() || fail(errnoText());
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
        if (line == protocol::kEndLine) {
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

bool skipThroughDone(LineReader& reader) {
    std::string line;
    for (std::size_t count = 0; count <= kMaxResponseLines; ++count) {
        if (!reader.next(line)) {
            return false;
        }
        if (line == protocol::kEndLine) {
            return true;
        }
    }
    return false;
}

bool sendRequest(int fd, const std::string& name, const ArgumentMap* args,
                 LineReader::Deadline deadline, std::string& why) {
    const std::string request = protocol::buildRequest(name, args);
    if (deadline ? writeAllBy(fd, request, *deadline) : writeAll(fd, request)) {
        return true;
    }
    why = errno == ETIMEDOUT ? "the request could not be sent in time"
                             : "the request could not be sent: " + errnoText();
    return false;
}

ExchangeOutcome readAnswer(LineReader& reader, ArgumentMap& response, std::string& why) {
    std::string status;
    if (!reader.next(status)) {
        why = reader.failure();
        return ExchangeOutcome::Broken;
    }
    const bool answer = status == protocol::kAnswerStatus;
    const bool read = answer ? readArguments(reader, response) : skipThroughDone(reader);
    if (!read || !reader.finish()) {
        // A read that failed without a reader's failure went over a limit.
        why =
            reader.failure().empty() ? "an answer larger than any daemon sends" : reader.failure();
        return ExchangeOutcome::Broken;
    }
    if (!answer) {
        why = "the answer began with \"" + status.substr(0, 40) + "\" instead of \"rsp\"";
        return ExchangeOutcome::Refused;
    }
    return ExchangeOutcome::Ok;
}

ExchangeOutcome exchange(int fd, const std::string& name, const ArgumentMap* args,
                         ArgumentMap& response, LineReader::Mode mode,
                         LineReader::Deadline deadline, std::string* why) {
    std::string reason;
    ExchangeOutcome outcome = ExchangeOutcome::Broken;
    if (sendRequest(fd, name, args, deadline, reason)) {
        LineReader reader(fd, mode, deadline);
        outcome = readAnswer(reader, response, reason);
    }
    if (why != nullptr) {
        *why = std::move(reason);
    }
    return outcome;
}

}  // namespace tarnwell
