// tarnwell-daemon-sim: a stand-in for the sync client's daemon. It answers the
// plug-in's commands from a small in-memory state, prints every request and
// notification on stdout, and takes control commands on stdin. See
// docs/tools.md for the command line, the control commands and the output.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_output.h"
#include "sim_server.h"
#include "tools_common/program.h"

namespace {

constexpr const char* kUsage =
    "usage: tarnwell-daemon-sim --root DIR [--root DIR ...] [--status PATH=N ...]\n"
    "                           [--default-status N] [--port P] [--notify-port P]\n"
    "                           [--no-stdin] [--notify-fresh-socket] [--answer-delay-us N]\n"
    "       tarnwell-daemon-sim --help | --version\n"
    "  --root DIR          a sync root, an absolute path (repeatable; answered to\n"
    "                      get_tw_roots in order)\n"
    "  --status PATH=N     the status of one path (repeatable)\n"
    "  --default-status N  the status of every other path inside a root (default 0)\n"
    "  --port P            TCP port on 127.0.0.1 (default 19080; 0 picks a free one)\n"
    "  --notify-port P     UDP port on 127.0.0.1 that notifications go to (default 19081)\n"
    "  --no-stdin          take no control commands; run until SIGINT or SIGTERM\n"
    "  --notify-fresh-socket  send each notification from a new socket, closed at once\n"
    "  --answer-delay-us N    wait N microseconds before each query_stat answer\n"
    "control commands on stdin, one a line:\n"
    "  set PATH N | roots DIR... | notify NAME [KEY VALUE]... | quit\n"
    "  (blank lines are ignored; the end of stdin ends the daemon unless --no-stdin)\n";

bool parseNumber(const char* text, long min, long max, long& value) {
    if (*text == '\0') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
}

// One line naming what is wrong, instead of the whole usage.
int usageError(const std::string& message) {
    std::fprintf(stderr, "tarnwell-daemon-sim: %s; see --help\n", message.c_str());
    return 2;
}

// A root the plug-in could use: absolute, since it ignores any other. One
// that is not a folder (yet) is allowed, for the tests of a daemon that lists
// such a root, but named on stderr. Empty when accepted, else why not.
std::string checkRoot(const std::string& root) {
    if (root.empty()) {
        return "--root needs a folder, got an empty value";
    }
    if (root[0] != '/') {
        return "--root " + root + " is not an absolute path, and the plug-in ignores such roots";
    }
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0) {
        tarnwell::sim::complain("warning: the root " + root + " does not exist");
    } else if (!S_ISDIR(info.st_mode)) {
        tarnwell::sim::complain("warning: the root " + root + " is not a folder");
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    tarnwell::tools::openClosedStandardDescriptors();
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
        std::uint16_t port = 0;
        if (arg == "--root") {
            const std::string refused = checkRoot(value);
            if (!refused.empty()) {
                return usageError(refused);
            }
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
        } else if (!tarnwell::tools::parsePort(value, port)) {
            return usageError(arg + " wants a port from 0 to 65535 in digits, got: '" +
                              std::string(value) + "'");
        } else if (arg == "--port") {
            options.port = port;
        } else {
            if (port == 0) {
                return usageError("--notify-port cannot be 0");
            }
            options.notifyPort = port;
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
    tarnwell::sim::emitEvent("listening port=" + std::to_string(server.port()) +
                             " notify-port=" + std::to_string(options.notifyPort));
    return server.run();
}
