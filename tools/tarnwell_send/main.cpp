// tarnwell-send: sends one command to the sync daemon in the plug-in's own
// wire format (the channel's exchange) and prints what went out and what came
// back. Like the plug-in, it sends nothing to a daemon of another user (root
// excepted, whom the plug-in trusts as well). See docs/tools.md.
//
// One thread; every wait is bounded by a deadline.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "channel/daemon_connect.h"
#include "channel/exchange.h"
#include "protocol/vocabulary.h"
#include "socket_owner/socket_owner.h"
#include "tools_common/event_line.h"
#include "tools_common/options.h"
#include "tools_common/program.h"
#include "tools_common/utf8_text.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A daemon that accepts but is slow to do so gets this long; one that nobody
// runs (the connection refused) is reported at once.
constexpr auto kConnectLimit = 5s;
constexpr auto kRetryPause = 100ms;
// The whole answer must have come within this.
constexpr auto kAnswerLimit = 10s;

constexpr const char* kUsage =
    "usage: tarnwell-send [--port P] NAME [KEY VALUE]...\n"
    "       tarnwell-send --help | --version\n"
    "  sends the command NAME with the given arguments to your daemon on 127.0.0.1\n"
    "  (port 19080 unless --port, 1 to 65535) and prints the response. Options may\n"
    "  stand anywhere before --; a NAME, KEY or VALUE that begins with - goes after --.\n"
    "  exit status: 0 the daemon answered \"rsp\" (possibly without arguments);\n"
    "  1 nothing listens, no connection within 5 s, a daemon of another user, an\n"
    "  error answer, or no whole answer within 10 s; 2 bad arguments\n";

int usageError(const std::string& message) {
    return tarnwell::tools::usageError("tarnwell-send", message);
}

int failure(const std::string& message) {
    std::fprintf(stderr, "tarnwell-send: %s\n", message.c_str());
    return 1;
}

bool printLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::string error;
    if (tarnwell::tools::flushStandardOutput(error)) {
        return true;
    }
    failure("cannot write to stdout: " + error);
    return false;
}

// The refusal of a daemon that is not the user's own (nor root's), or of one
// whose owner cannot be told; empty for a daemon the plug-in would trust.
std::string untrustedDaemon(const tarnwell::SocketOwner& owner, const std::string& where) {
    if (owner.result == tarnwell::OwnerLookup::Found) {
        return tarnwell::isTrustedOwner(owner.uid)
                   ? std::string()
                   : "the daemon on " + where + " belongs to uid " + std::to_string(owner.uid) +
                         ", neither you nor root; nothing sent";
    }
    return "cannot tell who owns the daemon on " + where + "; nothing sent";
}

// A connection to a daemon the plug-in would trust on 127.0.0.1:`port` (the
// user's own, or root's), or none with the reason in `error`. A refused
// connection fails at once: nothing listens, and waiting would only delay the
// message. Retries while the daemon's end vanishes before its owner is seen
// (a daemon restarting) or while connecting times out.
tarnwell::UniqueFd connectToOwnDaemon(std::uint16_t port, std::string& error) {
    const std::string where = "127.0.0.1:" + std::to_string(port);
    const auto until = Clock::now() + kConnectLimit;
    do {
        tarnwell::DaemonSocket daemon =
            tarnwell::connectToDaemon("127.0.0.1", port, std::min(until, Clock::now() + 1s));
        using Outcome = tarnwell::DaemonSocket::Outcome;
        if (daemon.outcome == Outcome::Refused || daemon.outcome == Outcome::Failed) {
            error = "no connection to " + where + ": " +
                    (daemon.outcome == Outcome::Refused
                         ? std::string("nothing listens there (connection refused)")
                         : std::generic_category().message(daemon.error));
            return tarnwell::UniqueFd();
        }
        if (daemon.outcome == Outcome::Connected) {
            const tarnwell::SocketOwner owner = tarnwell::tcpPeerOwner(daemon.fd.get());
            if (owner.result != tarnwell::OwnerLookup::NotFound) {
                error = untrustedDaemon(owner, where);
                return error.empty() ? std::move(daemon.fd) : tarnwell::UniqueFd();
            }
        }
        std::this_thread::sleep_for(kRetryPause);
    } while (Clock::now() < until);
    error = "no connection to " + where + " within 5 s";
    return tarnwell::UniqueFd();
}

struct Request {
    std::uint16_t port = tarnwell::protocol::kCommandPort;
    std::string name;
    tarnwell::ArgumentMap args;
};

// `text` as the one-line escaped form the tools print names and values in.
std::string shown(const std::string& text) {
    return tarnwell::tools::escapeForLine(text);
}

// Fills `request` from the command line; -1 to go on, else the exit status.
// Options are read wherever they stand before "--", also after NAME (as most
// commands read them); any other argument that begins with "-" is refused
// rather than sent, since it is far likelier a mistyped option than a name.
int parseArguments(int argc, char** argv, Request& request) {
    using tarnwell::tools::Option;
    std::vector<std::string> words;
    const char* shownText = nullptr;
    const Option table[] = {
        tarnwell::tools::showOption("--help", "-h", shownText, kUsage),
        tarnwell::tools::showOption("--version", "", shownText,
                                    "tarnwell-send " TARNWELL_VERSION "\n"),
        {"--port", "", true, "",
         [&](const std::string& value) {
             if (!tarnwell::tools::parsePort(value, request.port) || request.port == 0) {
                 return "--port wants a port from 1 to 65535 in digits, got: '" + shown(value) +
                        "'";
             }
             return std::string();
         }},
    };
    tarnwell::tools::OptionRules rules;
    rules.dashDashEndsOptions = true;
    rules.word = [&](const std::string& word) {
        words.push_back(word);
        return std::string();
    };
    // Read first: `shownText` is set while the command line is read.
    std::string refused = tarnwell::tools::parseCommandLine(argc, argv, table, rules);
    if (refused.rfind(rules.unknown, 0) == 0) {
        refused = rules.unknown + shown(refused.substr(rules.unknown.size())) +
                  " (a NAME, KEY or VALUE that begins with - goes after --)";
    }
    const int outcome = tarnwell::tools::commandLineOutcome("tarnwell-send", refused, shownText);
    if (outcome >= 0) {
        return outcome;
    }
    if (words.empty() || words.front().empty()) {
        return usageError(words.empty() ? "no command NAME given" : "the command NAME is empty");
    }
    if (words.size() % 2 != 1) {
        return usageError("arguments come in KEY VALUE pairs; '" + shown(words.back()) +
                          "' has no value");
    }
    request.name = words.front();
    for (std::size_t i = 1; i + 1 < words.size(); i += 2) {
        request.args[words[i]].push_back(words[i + 1]);
    }
    return -1;
}

// The exit status: 0 only for an "rsp" answer read through its "done".
int sendRequest(int fd, const Request& request) {
    if (!printLine(tarnwell::sim::formatEvent("sent", request.name, request.args))) {
        return 1;
    }
    tarnwell::ArgumentMap response;
    const tarnwell::ExchangeOutcome outcome = tarnwell::exchange(
        fd, request.name, request.args.empty() ? nullptr : &request.args, response,
        tarnwell::LineReader::Mode::TakeExactly, Clock::now() + kAnswerLimit);
    const bool timedOut = errno == ETIMEDOUT;
    switch (outcome) {
        case tarnwell::ExchangeOutcome::Ok:
            return printLine(response.empty() ? "response (empty)"
                                              : "response" + tarnwell::sim::formatArgs(response))
                       ? 0
                       : 1;
        case tarnwell::ExchangeOutcome::Refused:
            return failure("the daemon refused " + shown(request.name) +
                           ": it answered with an error");
        case tarnwell::ExchangeOutcome::Broken:
            break;
    }
    return failure(timedOut ? "no answer to " + shown(request.name) + " within " +
                                  std::to_string(kAnswerLimit.count()) + " s"
                            : "no whole answer to " + shown(request.name) +
                                  ": the daemon closed the connection or answered out of form");
}

}  // namespace

int main(int argc, char** argv) {
    tarnwell::tools::openClosedStandardDescriptors();
    Request request;
    const int status = parseArguments(argc, argv, request);
    if (status >= 0) {
        return status;
    }
    std::string error;
    const tarnwell::UniqueFd daemon = connectToOwnDaemon(request.port, error);
    if (!daemon.valid()) {
        return failure(error);
    }
    return sendRequest(daemon.get(), request);
}
