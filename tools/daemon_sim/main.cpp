// tarnwell-daemon-sim: a stand-in for the sync client's daemon. It answers the
// plug-in's commands from a small in-memory state, prints every request and
// notification on stdout, and takes control commands on stdin. See
// docs/tools.md for the command line, the control commands and the output.
#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_server.h"

namespace {

constexpr const char* kUsage =
    "usage: tarnwell-daemon-sim --root DIR [--root DIR ...] [--status PATH=N ...]\n"
    "                           [--default-status N] [--port P] [--notify-port P]\n"
    "                           [--no-stdin] [--notify-fresh-socket] [--answer-delay-us N]\n"
    "       tarnwell-daemon-sim --help | --version\n"
    "  --root DIR          a sync root (repeatable; answered to get_tw_roots in order)\n"
    "  --status PATH=N     the status of one path (repeatable)\n"
    "  --default-status N  the status of every other path inside a root (default 0)\n"
    "  --port P            TCP port on 127.0.0.1 (default 19080; 0 picks a free one)\n"
    "  --notify-port P     UDP port on 127.0.0.1 that notifications go to (default 19081)\n"
    "  --no-stdin          take no control commands; run until SIGINT or SIGTERM\n"
    "  --notify-fresh-socket  send each notification from a new socket, closed at once\n"
    "  --answer-delay-us N    wait N microseconds before each query_stat answer\n"
    "control commands on stdin, one a line:\n"
    "  set PATH N | roots DIR... | notify NAME [KEY VALUE]... | quit\n";

bool parseNumber(const char* text, long min, long max, long& value) {
    if (*text == '\0') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "tarnwell-daemon-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    tarnwell::sim::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::fputs("tarnwell-daemon-sim " TARNWELL_VERSION "\n", stdout);
            return 0;
        }
        if (arg == "--no-stdin") {
            options.readStdin = false;
            continue;
        }
        if (arg == "--notify-fresh-socket") {
            options.notifyFromFreshSockets = true;
            continue;
        }
        if (arg != "--root" && arg != "--status" && arg != "--default-status" && arg != "--port" &&
            arg != "--notify-port" && arg != "--answer-delay-us") {
            return usageError("unknown argument: " + arg);
        }
        if (i + 1 >= argc) {
            return usageError(arg + " needs a value");
        }
        const char* value = argv[++i];
        long number = 0;
        if (arg == "--root") {
            options.roots.emplace_back(value);
        } else if (arg == "--status") {
            const std::string pair = value;
            const std::size_t eq = pair.rfind('=');
            if (eq == std::string::npos || eq == 0 ||
                !parseNumber(pair.c_str() + eq + 1, LONG_MIN, LONG_MAX, number)) {
                return usageError("--status wants PATH=N, got: " + pair);
            }
            options.statuses.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
        } else if (arg == "--default-status") {
            if (!parseNumber(value, LONG_MIN, LONG_MAX, number)) {
                return usageError("--default-status wants a number, got: " + std::string(value));
            }
            options.defaultStatus = number;
        } else if (arg == "--answer-delay-us") {
            if (!parseNumber(value, 0, 10'000'000, number)) {
                return usageError("--answer-delay-us wants 0 to 10000000, got: " +
                                  std::string(value));
            }
            options.answerDelay = std::chrono::microseconds(number);
        } else if (!parseNumber(value, 0, 65535, number)) {
            return usageError(arg + " wants a port from 0 to 65535, got: " + std::string(value));
        } else if (arg == "--port") {
            options.port = static_cast<std::uint16_t>(number);
        } else {
            if (number == 0) {
                return usageError("--notify-port cannot be 0");
            }
            options.notifyPort = static_cast<std::uint16_t>(number);
        }
    }

    // A client that hangs up must not end the daemon; sends use MSG_NOSIGNAL
    // as well. SIGINT and SIGTERM arrive through a signalfd in the event loop,
    // so they are blocked before any descriptor exists.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    tarnwell::sim::SimServer server(options);
    std::string error;
    if (!server.open(error)) {
        std::fprintf(stderr, "tarnwell-daemon-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening port=%u notify-port=%u\n", static_cast<unsigned>(server.port()),
                static_cast<unsigned>(options.notifyPort));
    std::fflush(stdout);
    return server.run();
}
