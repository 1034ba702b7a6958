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

// How long a new connection is watched for a greeting before the first
// question: a daemon that greets does so as it accepts.
constexpr std::chrono::milliseconds kGreetingWait{100};

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
    const std::string framing = framingFault(failure.firstBytes);
    if (!framing.empty()) {
        failure.kind = outcome == ExchangeOutcome::Refused ? AskFailure::Kind::Refused
                                                           : AskFailure::Kind::Broken;
        failure.text = "the plug-in cannot read the answer to " + name + ": " + framing;
    } else if (!beginsLikeTheDaemon(failure.firstBytes)) {
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

std::string shownBytes(const std::string& bytes, std::size_t most) {
    std::string shown;
    for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            static const char* const kHex = "0123456789abcdef";
            shown += std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
        } else {
            shown += static_cast<char>(c);
        }
    }
    return "\"" + shown + "\"" + (bytes.size() > most ? "..." : "");
}

std::string framingFault(const std::string& firstBytes) {
    const std::size_t lf = firstBytes.find('\n');
    const std::string status = firstBytes.substr(0, lf);
    const std::string shown =
        shownBytes(firstBytes.substr(0, lf == std::string::npos ? lf : lf + 1));
    if (lf == 0) {
        return "it began with an empty line (\"\\n\"), which the plug-in reads as a status other "
               "than \"rsp\", so it takes the answer for a refusal; write nothing but answers, "
               "no keep-alive";
    }
    // Only a status word of the daemon's kind (lower case, as "rsp" and
    // "err") is read as the daemon's mistake; "HTTP/1.1 400" is another
    // protocol, and said so by the caller.
    const auto isWord = [](const std::string& text) {
        return !text.empty() &&
               text.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") == std::string::npos;
    };
    if (!status.empty() && status.back() == '\r' && isWord(status.substr(0, status.size() - 1))) {
        return "its lines end in CR LF (" + shown +
               "): the plug-in ends a line at the LF alone, so \"rsp\\r\" is no \"rsp\" and "
               "\"done\\r\" no \"done\"";
    }
    const std::size_t word = status.find_first_of(" \t");
    if (word != std::string::npos && isWord(status.substr(0, word)) &&
        status.find_first_not_of(" \t", word) == std::string::npos) {
        return "the status line " + shown + " has " + (status[word] == ' ' ? "a space" : "a tab") +
               " after \"" + status.substr(0, word) +
               "\": the plug-in compares it byte for byte, so it is no \"rsp\" and the answer "
               "counts as refused";
    }
    if (status == "done") {
        return "it began with \"done\" (" + shown +
               "), an answer's end without its status line \"rsp\"";
    }
    return {};
}

std::string unaskedBytes(int fd, std::chrono::milliseconds wait, std::size_t most) {
    pollfd ready{fd, POLLIN, 0};
    if (pollUntil(&ready, 1, std::chrono::steady_clock::now() + wait) <= 0) {
        return {};
    }
    std::string buffer(most, '\0');
    const ssize_t n = retryInterrupted(
        [&] { return ::recv(fd, buffer.data(), buffer.size(), MSG_PEEK | MSG_DONTWAIT); });
    buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buffer;
}

DaemonConnection::Connect DaemonConnection::connect(std::uint16_t port, const Deadline& deadline,
                                                    std::string& error) {
    DaemonSocket daemon = connectToDaemon("127.0.0.1", port, deadline.end());
    fd_ = std::move(daemon.fd);
    asked_ = false;
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

bool DaemonConnection::greeted(AskFailure& failure) {
    if (asked_) {
        return false;
    }
    // The plug-in looks before its first request: bytes already there were
    // never asked for, and it closes the connection on them.
    asked_ = true;
    failure.firstBytes = unaskedBytes(fd_.get(), kGreetingWait);
    if (failure.firstBytes.empty()) {
        return false;
    }
    failure.kind = AskFailure::Kind::Unasked;
    failure.text = "the daemon wrote " + shownBytes(failure.firstBytes) +
                   " on connecting, before any request (a greeting): the plug-in takes bytes it "
                   "did not ask for as a broken connection, closes it and connects again, so no "
                   "emblem ever shows";
    fd_.reset();
    endedBecause_ = failure.text;
    return true;
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
    if (greeted(failure)) {
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
