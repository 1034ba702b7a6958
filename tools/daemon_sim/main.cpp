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

#include "control.h"
#include "sim_output.h"
#include "sim_server.h"
#include "tools_common/options.h"
#include "tools_common/program.h"

namespace {

constexpr const char* kUsage =
    "usage: tarnwell-daemon-sim --root DIR [--root DIR ...] [--status PATH=N ...]\n"
    "                           [--default-status N] [--port P] [--notify-port P]\n"
    "                           [--no-stdin] [--notify-fresh-socket] [--answer-delay-us N]\n"
    "                           [--break KIND ...]\n"
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
    "  --break KIND        break the daemon's side of the contract on purpose, to see\n"
    "                      tarnwell-doctor --daemon flag it (repeatable): slow, hang,\n"
    "                      relative-root, missing-root, bad-status, empty-status,\n"
    "                      no-done, extra-bytes, no-escape, one-at-a-time,\n"
    "                      close-after-answer, relative-notify (docs/tools.md)\n"
    "control commands on stdin, one a line:\n"
    "  set PATH N | roots DIR... | notify NAME [KEY VALUE]... | quit\n"
    "  (blank lines are ignored; the end of stdin ends the daemon unless --no-stdin)\n";

// A status or a delay as the command line gives it; "" when accepted, else
// the error.
std::string takeNumber(const std::string& option, const std::string& text, long long min,
                       long long max, const std::string& wanted, long long& number) {
    return tarnwell::tools::parseInteger(text, min, max, number)
               ? std::string()
               : option + " wants " + wanted + ", got: " + text;
}

std::string takeStatus(const std::string& pair, tarnwell::sim::Options& options) {
    const std::size_t eq = pair.rfind('=');
    long long number = 0;
    if (eq == std::string::npos || eq == 0 ||
        !tarnwell::tools::parseInteger(pair.substr(eq + 1), LONG_MIN, LONG_MAX, number)) {
        return "--status wants PATH=N, got: " + pair;
    }
    options.statuses.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
    return {};
}

std::string takePort(const std::string& option, const std::string& text, std::uint16_t& port) {
    if (!tarnwell::tools::parsePort(text, port)) {
        return option + " wants a port from 0 to 65535 in digits, got: '" + text + "'";
    }
    return option == "--notify-port" && port == 0 ? "--notify-port cannot be 0" : "";
}

// The options of the command line; -1 to run with them, else the status to
// exit with at once (--help, --version, an error).
int parseArguments(int argc, char** argv, tarnwell::sim::Options& options) {
    using tarnwell::tools::Option;
    const char* shown = nullptr;
    long long number = 0;
    const Option table[] = {
        tarnwell::tools::showOption("--help", "-h", shown, kUsage),
        tarnwell::tools::showOption("--version", "", shown, "tarnwell-daemon-sim " TARNWELL_VERSION "\n"),
        {"--no-stdin", "", false, "", [&](const std::string&) { options.readStdin = false; return std::string(); }},
        tarnwell::tools::flagOption("--notify-fresh-socket", "", options.notifyFromFreshSockets),
        {"--root", "", true, "",
         [&](const std::string& value) {
             const std::string refused = tarnwell::sim::refusedRoot(value);
             if (!refused.empty()) {
                 return "--root: " + refused;
             }
             tarnwell::sim::warnIfNoFolder(value);
             options.roots.push_back(value);
             return std::string();
         }},
        {"--status", "", true, "", [&](const std::string& value) { return takeStatus(value, options); }},
        {"--default-status", "", true, "",
         [&](const std::string& value) {
             std::string refused =
                 takeNumber("--default-status", value, LONG_MIN, LONG_MAX, "a number", number);
             options.defaultStatus = static_cast<long>(number);
             return refused;
         }},
        {"--answer-delay-us", "", true, "",
         [&](const std::string& value) {
             std::string refused =
                 takeNumber("--answer-delay-us", value, 0, 10'000'000, "0 to 10000000", number);
             options.answerDelay = std::chrono::microseconds(number);
             return refused;
         }},
        {"--break", "", true, "",
         [&](const std::string& value) {
             return options.breaks.add(value)
                        ? std::string()
                        : "--break wants one of " + tarnwell::sim::Breakage::kindNames() +
                              ", got: " + value;
         }},
        {"--port", "", true, "",
         [&](const std::string& value) { return takePort("--port", value, options.port); }},
        {"--notify-port", "", true, "",
         [&](const std::string& value) { return takePort("--notify-port", value, options.notifyPort); }},
    };
    tarnwell::tools::OptionRules rules;
    rules.unknown = "unknown argument: ";
    // Read first: `shown` is set while the command line is read.
    const std::string refused = tarnwell::tools::parseCommandLine(argc, argv, table, rules);
    return tarnwell::tools::commandLineOutcome("tarnwell-daemon-sim", refused, shown);
}

// A client that hangs up must not end the daemon; sends use MSG_NOSIGNAL as
// well. SIGINT and SIGTERM arrive through a signalfd in the event loop, so
// they are blocked before any descriptor exists.
void prepareSignals() {
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    tarnwell::tools::openClosedStandardDescriptors();
    tarnwell::sim::Options options;
    const int exitNow = parseArguments(argc, argv, options);
    if (exitNow >= 0) {
        return exitNow;
    }
    prepareSignals();
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
