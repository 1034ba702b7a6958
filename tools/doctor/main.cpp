// tarnwell-doctor: tells a user, within two seconds, why the file manager
// shows no Tarnwell emblems. Prints a checklist (or, with --json, one JSON
// document) and exits 1 when any check failed. It changes nothing and sends
// the daemon nothing but "get_tw_roots" and "query_stat". See docs/tools.md.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "doctor/doctor.h"

namespace {

constexpr const char* kUsage =
    "Usage: tarnwell-doctor [--plugin PATH] [--json] [PATH...]\n"
    "Tells why the file manager shows no Tarnwell emblems: checks the plug-in, its\n"
    "icons, the sync daemon and the notification port, and explains each PATH\n"
    "given (its sync folder, its status and the emblem that would show).\n"
    "\n"
    "  --plugin PATH   the plug-in to check (default: " TARNWELL_DOCTOR_PLUGIN_PATH
    ",\n"
    "                  where the file manager looks)\n"
    "  --json          print one JSON document instead of the checklist\n"
    "  --help          print this help and exit\n"
    "  --version       print the version and exit\n"
    "\n"
    "Each check prints one line, marked passed, warning or failed, with what it\n"
    "found, and for a failure or a warning a line on what to do. The doctor\n"
    "changes nothing, sends the daemon nothing but \"get_tw_roots\" and\n"
    "\"query_stat\", talks to no daemon of another user, and ends within two\n"
    "seconds.\n"
    "\n"
    "Exit status: 0 when every check passed (warnings allowed), 1 when any check\n"
    "failed, 2 for bad options.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "tarnwell-doctor: %s\n%s", message.c_str(), kUsage);
    return 2;
}

bool parsePort(const char* text, std::uint16_t& port) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || value < 1 || value > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    tarnwell::doctor::Options options;
    options.pluginPath = TARNWELL_DOCTOR_PLUGIN_PATH;
    bool json = false;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsDone || arg.empty() || arg[0] != '-' || arg == "-") {
            options.paths.push_back(arg);
        } else if (arg == "--") {
            optionsDone = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::fputs("tarnwell-doctor " TARNWELL_VERSION "\n", stdout);
            return 0;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--plugin") {
            if (i + 1 >= argc) {
                return usageError("--plugin needs a path");
            }
            options.pluginPath = argv[++i];
        } else if (arg == "--daemon-port" || arg == "--notify-port") {
            // Not in the help: they let tests run the doctor against a daemon
            // on a free port instead of the plug-in's fixed ones.
            if (i + 1 >= argc) {
                return usageError(arg + " needs a port");
            }
            std::uint16_t& port = arg == "--daemon-port" ? options.daemonPort : options.notifyPort;
            if (!parsePort(argv[++i], port)) {
                return usageError(arg + " wants a port from 1 to 65535, got: " + argv[i]);
            }
        } else {
            return usageError("unknown option: " + arg);
        }
    }

    const tarnwell::doctor::Report report = tarnwell::doctor::runDoctor(options);
    const std::string text =
        json ? tarnwell::doctor::formatJson(report) : tarnwell::doctor::formatText(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return report.exitStatus();
}
