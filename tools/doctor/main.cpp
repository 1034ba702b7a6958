// tarnwell-doctor: tells a user, within two seconds, why the file manager
// shows no Tarnwell emblems. Prints a checklist (or, with --json, one JSON
// document) and exits 1 when any check failed. It changes nothing and sends
// the daemon nothing but "get_tw_roots" and "query_stat". See docs/tools.md.
// With --daemon it checks the daemon for its developers instead
// (doctor/conformance.h).
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "doctor/conformance.h"
#include "doctor/doctor.h"
#include "protocol/vocabulary.h"
#include "tools_common/options.h"
#include "tools_common/own_folders.h"
#include "tools_common/program.h"
#include "tools_common/utf8_text.h"

namespace {

constexpr const char* kUsage =
    "usage: tarnwell-doctor [--plugin PATH] [--icons DIR]... [--json] [PATH...]\n"
    "       tarnwell-doctor --daemon [--port P] [--watch SECONDS] [--act PATH]\n"
    "                       [--expect PATH=STATUS]... [--json]\n"
    "       tarnwell-doctor --help | --version\n"
    "\n"
    "Tells why the file manager shows no Tarnwell emblems: checks the plug-in, its\n"
    "icons, the sync daemon and the notification port, and explains each PATH\n"
    "given (its sync folder, its status and the emblem that would show).\n"
    "\n"
    "  --plugin PATH   the plug-in to check (default: the one installed beside this\n"
    "                  program, in <bin>/" TARNWELL_DOCTOR_PLUGIN_DIR_FROM_BINDIR
    ", else\n"
    "                  " TARNWELL_DOCTOR_PLUGIN_PATH
    ",\n"
    "                  where the file manager looks)\n"
    "  --icons DIR     a hicolor theme folder to search for the icons before the\n"
    "                  system's (repeatable)\n"
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
    "Run from a build tree (bin/tarnwell-doctor beside CMakeCache.txt), it checks\n"
    "the plug-in and the icons built there unless --plugin says otherwise; installed,\n"
    "it searches the icons installed beside it first.\n"
    "PATHs may be relative to the current folder, or file:// URLs.\n"
    "\n"
    "With --daemon it checks the running sync daemon instead, for the daemon's\n"
    "developers: each thing the plug-in needs of a daemon (docs/protocol.md), one\n"
    "line each. It sends \"get_tw_roots\", \"query_stat\" and one request no daemon\n"
    "knows, creates no file, and ends within 30 seconds whatever the daemon does\n"
    "(plus --watch).\n"
    "\n"
    "  --daemon          check the daemon rather than the user's setup\n"
    "  --port P          the daemon's TCP port (default 19080)\n"
    "  --notify-port P   the port the daemon sends notifications to (default 19081)\n"
    "  --watch SECONDS   then check the notifications the daemon sends for SECONDS,\n"
    "                    heard as one more copy of the plug-in: no file manager\n"
    "                    misses one. Make the daemon change statuses meanwhile\n"
    "                    (touch a file in a sync folder): each path announced is\n"
    "                    asked at once and 1 s later, and a status that changed\n"
    "                    with no refresh_stat after it was stored after its\n"
    "                    notification (fails). The watch may run 4 s over SECONDS\n"
    "                    for that; with no change, nothing is judged\n"
    "  --act PATH        also send the seven menu commands for PATH (the daemon\n"
    "                    acts on them)\n"
    "  --expect PATH=STATUS  (repeatable) the status PATH has, 0 to 3 or none: the\n"
    "                    check cannot know it, and only this catches statuses\n"
    "                    numbered from 1 or escapes undone out of order (name a\n"
    "                    file such as dir\\new.txt)\n"
    "\n"
    "Exit status: 0 when every check passed (warnings allowed), 1 when any check\n"
    "failed or the report could not be written (a reader that went away), 2 for\n"
    "bad options.\n";

// The build tree this program runs from, or empty when it is installed: a
// developer checking a build means the plug-in and the icons built beside it,
// not an installed copy that may be missing or stale.
std::filesystem::path buildTreeOfProgram(const std::filesystem::path& folder) {
    std::filesystem::path tree = folder.parent_path();
    std::error_code error;
    if (folder.empty() || !std::filesystem::exists(tree / "CMakeCache.txt", error)) {
        return {};
    }
    return tree;
}

// The plug-in and icons to check unless the command line names others: those
// of the build tree the program runs from; else those installed beside it,
// found from its own folder, so that a tree installed under another prefix
// (cmake --install --prefix, a DESTDIR, a moved tree) checks itself; else
// where the file manager looks, as configured at build time.
void setDefaultPlaces(tarnwell::doctor::Options& options) {
    namespace fs = std::filesystem;
    options.pluginPath = TARNWELL_DOCTOR_PLUGIN_PATH;
    const fs::path folder = tarnwell::tools::programFolder();
    if (folder.empty()) {
        return;
    }
    const fs::path buildTree = buildTreeOfProgram(folder);
    if (!buildTree.empty()) {
        options.pluginPath = (buildTree / "lib" / tarnwell::protocol::kPluginFileName).string();
        options.iconThemeDirs.push_back((buildTree / "share/icons/hicolor").string());
        return;
    }
    std::error_code error;
    const fs::path plugin =
        (folder / TARNWELL_DOCTOR_PLUGIN_DIR_FROM_BINDIR / tarnwell::protocol::kPluginFileName)
            .lexically_normal();
    if (fs::exists(plugin, error)) {
        options.pluginPath = plugin.string();
    }
    const fs::path icons =
        (folder / TARNWELL_DOCTOR_DATA_DIR_FROM_BINDIR / "icons/hicolor").lexically_normal();
    if (fs::is_directory(icons, error)) {
        options.iconThemeDirs.push_back(icons.string());
    }
}

// The value of --icons: a folder that is not there would be searched
// without a word, and the icons reported missing for the wrong reason.
std::string takeIconFolder(const std::string& value, std::vector<std::string>& folders) {
    if (value.empty()) {
        return "--icons needs a DIR";
    }
    std::error_code error;
    if (!std::filesystem::is_directory(value, error)) {
        return "--icons " + tarnwell::tools::escapeForLine(value) +
               (std::filesystem::exists(value, error) ? ": not a folder" : ": no such folder");
    }
    folders.push_back(value);
    return {};
}

// The value of --plugin: refused when empty, which would name no file.
std::string takePath(const std::string& value, const std::string& missing, std::string& path) {
    if (value.empty()) {
        return missing;
    }
    path = value;
    return {};
}

// Not in this mode's help: --port and --notify-port, spelt as in the --daemon
// mode, let tests run the doctor against a daemon on a free port instead of
// the plug-in's fixed ones.
tarnwell::tools::Option portOption(const std::string& name, std::uint16_t& port) {
    const std::string wanted = name + " wants a port from 1 to 65535 in digits";
    return {name, "", true, wanted, [&port, wanted](const std::string& value) {
                return tarnwell::tools::parsePort(value, port) && port != 0 ? std::string()
                                                                            : wanted;
            }};
}

// Fills `options` and `json` from the command line; -1 to go on, else the
// exit status.
int parseArguments(int argc, char** argv, tarnwell::doctor::Options& options, bool& json) {
    using tarnwell::tools::Option;
    const char* shown = nullptr;
    const Option table[] = {
        tarnwell::tools::showOption("--help", "-h", shown, kUsage),
        tarnwell::tools::showOption("--version", "", shown,
                                    "tarnwell-doctor " TARNWELL_VERSION "\n"),
        tarnwell::tools::flagOption("--json", "", json),
        {"--plugin", "", true, "--plugin needs a PATH",
         [&](const std::string& value) {
             return takePath(value, "--plugin needs a PATH", options.pluginPath);
         }},
        {"--icons", "", true, "--icons needs a DIR",
         [&](const std::string& value) { return takeIconFolder(value, options.iconThemeDirs); }},
        portOption("--port", options.daemonPort),
        portOption("--notify-port", options.notifyPort),
    };
    tarnwell::tools::OptionRules rules;
    rules.dashDashEndsOptions = true;
    rules.word = [&](const std::string& path) {
        if (path.empty()) {
            return std::string("an empty PATH: give a file or folder");
        }
        options.paths.push_back(path);
        return std::string();
    };
    // Read first: `shown` is set while the command line is read.
    const std::string refused = tarnwell::tools::parseCommandLine(argc, argv, table, rules);
    return tarnwell::tools::commandLineOutcome("tarnwell-doctor", refused, shown);
}

}  // namespace

int main(int argc, char** argv) {
    tarnwell::tools::openClosedStandardDescriptors();
    // A reader that goes away (`tarnwell-doctor | head -1`) must not end the
    // doctor unseen through SIGPIPE: the write fails with EPIPE instead, and
    // the doctor says so below. Children (ldd) get the default back.
    std::signal(SIGPIPE, SIG_IGN);
    if (tarnwell::doctor::wantsDaemonCheck(argc, argv)) {
        return tarnwell::doctor::daemonCheckMain(argc, argv, kUsage);
    }
    tarnwell::doctor::Options options;
    setDefaultPlaces(options);
    bool json = false;
    const int status = parseArguments(argc, argv, options, json);
    if (status >= 0) {
        return status;
    }

    const tarnwell::doctor::Report report = tarnwell::doctor::runDoctor(options);
    const std::string text =
        json ? tarnwell::doctor::formatJson(report) : tarnwell::doctor::formatText(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::string error;
    if (!tarnwell::tools::flushStandardOutput(error)) {
        std::fprintf(stderr, "tarnwell-doctor: cannot write the report to stdout: %s\n",
                     error.c_str());
        return 1;
    }
    return report.exitStatus();
}
