#include "daemon_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>

#include "base/posix_io.h"
#include "channel/daemon_connect.h"
#include "channel/exchange.h"

namespace tarnwell::doctor {

namespace {

enum class Arrival { Bytes, EndOfStream, Nothing, Error };

// Waits for the answer's first bytes and copies them without taking them:
// the channel's reader then reads the answer exactly as the plug-in would.
Arrival peekFirstBytes(int fd, const Deadline& deadline, std::string& bytes) {
    pollfd wait{fd, POLLIN, 0};
    const int ready = pollUntil(&wait, 1, deadline.end());
    if (ready == 0) {
        return Arrival::Nothing;
    }
    char buffer[kFirstBytesShown];
    const ssize_t n = ready < 0 ? -1 : retryInterrupted([&] {
        return ::recv(fd, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
    });
    if (n > 0) {
        bytes.assign(buffer, static_cast<std::size_t>(n));
        return Arrival::Bytes;
    }
    return n == 0 ? Arrival::EndOfStream : Arrival::Error;
}

// Every answer of the daemon begins with its status line, a lower-case word
// ("rsp", "err"). What begins otherwise ("HTTP/1.1 400", "SSH-2.0-", binary)
// comes from a program that speaks another protocol.
bool beginsLikeTheDaemon(const std::string& bytes) {
    constexpr std::size_t kLongestStatus = 32;
    for (std::size_t i = 0; i < bytes.size() && i <= kLongestStatus; ++i) {
        const char c = bytes[i];
        if (c == '\n') {
            return i > 0;
        }
        if ((c < 'a' || c > 'z') && c != '_') {
            return false;
        }
    }
    return bytes.size() <= kLongestStatus;
}

std::string quotedFirstBytes(const std::string& bytes) {
    // The report escapes control bytes and broken UTF-8 when it prints.
    return "\"" + bytes + "\"" + (bytes.size() >= kFirstBytesShown ? "..." : "");
}

// The sentence for an answer that arrived but that the plug-in would not take.
void judgeAnswer(ExchangeOutcome outcome, const std::string& why, const std::string& name,
                 const std::string& within, bool late, AskFailure& failure) {
    if (!beginsLikeTheDaemon(failure.firstBytes)) {
        failure.kind = AskFailure::Kind::NotTheDaemon;
        failure.text = "what listens does not speak the daemon's protocol: it answered " + name +
                       " with " + quotedFirstBytes(failure.firstBytes);
    } else if (outcome == ExchangeOutcome::Refused) {
        failure.kind = AskFailure::Kind::Refused;
        failure.text = "the daemon refused " + name + ": " + why;
    } else if (why == LineReader::kBytesAfterAnswer) {
        failure.kind = AskFailure::Kind::Broken;
        failure.text = "the daemon answered " + name +
                       ", then sent more bytes after its \"done\", which the plug-in takes for a "
                       "broken connection";
    } else {
        failure.kind = AskFailure::Kind::Broken;
        failure.text = late ? "the answer to " + name + " did not come whole within " + within
                            : "the answer to " + name + " broke off: " + why;
    }
}

// The sentence for a question that got no byte of an answer. `why` is the
// failed send's reason, if that was what failed.
void judgeSilence(Arrival arrival, const std::string& why, const std::string& name,
                  const std::string& within, AskFailure& failure) {
    switch (arrival) {
        case Arrival::Nothing:
            failure.kind = AskFailure::Kind::NoAnswer;
            failure.text = "no answer to " + name + " within " + within;
            return;
        case Arrival::EndOfStream:
            failure.kind = AskFailure::Kind::HungUp;
            failure.text = "the connection was closed without an answer to " + name;
            return;
        case Arrival::Bytes:
        case Arrival::Error:
            break;
    }
    failure.kind = AskFailure::Kind::Broken;
    failure.text = "the connection failed at " + name + ": " + (why.empty() ? errnoText() : why);
}

}  // namespace

DaemonConnection::Connect DaemonConnection::connect(std::uint16_t port, const Deadline& deadline,
                                                    std::string& error) {
    DaemonSocket daemon = connectToDaemon("127.0.0.1", port, deadline.end());
    fd_ = std::move(daemon.fd);
    switch (daemon.outcome) {
        case DaemonSocket::Outcome::Connected:
            return Connect::Connected;
        case DaemonSocket::Outcome::Refused:
            return Connect::Refused;
        case DaemonSocket::Outcome::TimedOut:
            return Connect::TimedOut;
        case DaemonSocket::Outcome::Failed:
            break;
    }
    error = std::generic_category().message(daemon.error);
    return Connect::Failed;
}

bool DaemonConnection::ask(const std::string& name, const ArgumentMap* args,
                           const Deadline& deadline, const std::string& within,
                           ArgumentMap& response, AskFailure& failure) {
    response.clear();
    failure = AskFailure{};
    if (!fd_.valid() || deadline.passed()) {
        failure.text =
            !fd_.valid() && !endedBecause_.empty()
                ? "not asked, since the connection ended at the question before: " + endedBecause_
                : "not asked: " +
                      std::string(fd_.valid() ? "the doctor's time was up" : "not connected");
        return false;
    }
    std::string why;
    const Arrival arrival = sendRequest(fd_.get(), name, args, deadline.end(), why)
                                ? peekFirstBytes(fd_.get(), deadline, failure.firstBytes)
                                : Arrival::Error;
    ExchangeOutcome outcome = ExchangeOutcome::Broken;
    if (arrival == Arrival::Bytes) {
        LineReader reader(fd_.get(), LineReader::Mode::ReadAhead, deadline.end());
        outcome = readAnswer(reader, response, why);
        if (outcome == ExchangeOutcome::Ok) {
            return true;
        }
        response.clear();
        judgeAnswer(outcome, why, name, within, deadline.passed(), failure);
    } else {
        judgeSilence(arrival, why, name, within, failure);
    }
    if (outcome == ExchangeOutcome::Broken) {
        // The stream is out of step: what still comes would be read as the
        // next question's answer.
        fd_.reset();
        endedBecause_ = failure.text;
    }
    return false;
}

bool DaemonConnection::ask(const std::string& name, const ArgumentMap* args,
                           const Deadline& deadline, ArgumentMap& response, std::string& error) {
    AskFailure failure;
    const bool answered = ask(name, args, deadline, "the time it had", response, failure);
    error = std::move(failure.text);
    return answered;
}

}  // namespace tarnwell::doctor
