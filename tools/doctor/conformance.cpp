#include "conformance_checks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "checks.h"
#include "daemon_connection.h"
#include "doctor/conformance.h"
#include "tools_common/options.h"
#include "tools_common/program.h"

namespace tarnwell::doctor {

namespace {

// Who listens, found by the doctor's own daemon check. Its other findings
// (the roots) are left to the checks that follow, which hold them to a
// daemon's rules rather than a user's. False when nothing more may be asked:
// nobody listens, or the daemon may be another user's, who must not get the
// user's paths.
bool checkListening(const Conformance& run, Report& report) {
    Report scratch;
    DaemonFindings findings;
    {
        // Closed before the next check connects: a daemon that serves one
        // connection at a time would answer nobody else meanwhile.
        DaemonConnection connection;
        findings = checkDaemon(connection, run.options.port, run.deadline, scratch,
                               run.options.answerLimit);
    }
    const auto named = [&](const char* id) {
        return std::find_if(scratch.checks.begin(), scratch.checks.end(),
                            [id](const Check& check) { return check.id == id; });
    };
    const auto daemon = named("daemon");
    if (daemon == scratch.checks.end()) {
        return false;
    }
    Check& check = report.checks.emplace_back(*daemon);
    if (!findings.mayAsk && check.verdict != Verdict::Failed) {
        check.verdict = Verdict::Failed;
        check.found += "; nothing more was asked, since your paths must not reach another user";
    }
    // The first answer, when the plug-in could not read it: what is wrong
    // on every connection (a greeting, CR LF) shows there first. Other
    // faults of that answer are left to the checks meant for them.
    const auto answers = named("daemon_answers");
    if (answers != scratch.checks.end() && findings.unreadable) {
        report.checks.push_back(*answers);
    }
    return findings.mayAsk;
}

// The value of a port option; "" when accepted.
std::string takePort(const std::string& name, const std::string& value, std::uint16_t& port) {
    return tools::parsePort(value, port) && port != 0
               ? std::string()
               : name + " wants a port from 1 to 65535 in digits";
}

// An option of 1 to 3000 milliseconds.
tools::Option millisecondsOption(const std::string& name, std::chrono::milliseconds& time) {
    return {name, "", true, "", [name, &time](const std::string& value) {
                long long number = 0;
                if (!tools::parseInteger(value, 1, 3000, number)) {
                    return name + " wants 1 to 3000, got: " + value;
                }
                time = std::chrono::milliseconds(number);
                return std::string();
            }};
}

// One --expect PATH=STATUS into `options`; "" when accepted.
std::string takeExpectation(const std::string& value, ConformanceOptions& options) {
    const std::size_t equals = value.rfind('=');
    const std::string path = equals == std::string::npos ? std::string() : value.substr(0, equals);
    const std::string status =
        equals == std::string::npos ? std::string() : value.substr(equals + 1);
    const bool digit = status.size() == 1 && status[0] >= '0' && status[0] <= '3';
    if (path.empty() || (!digit && status != "none")) {
        return "--expect wants PATH=STATUS, STATUS 0, 1, 2, 3 or none, got: " + value;
    }
    options.expected.emplace_back(path, status);
    return {};
}

// Fills `options` and `json` from the command line; -1 to go on, else the
// exit status.
int parseArguments(int argc, char** argv, const char* usage, ConformanceOptions& options,
                   bool& json) {
    const char* shown = nullptr;
    bool daemon = false;
    long long number = 0;
    const tools::Option table[] = {
        tools::showOption("--help", "-h", shown, usage),
        tools::showOption("--version", "", shown, "tarnwell-doctor " TARNWELL_VERSION "\n"),
        tools::flagOption("--daemon", "", daemon),
        tools::flagOption("--json", "", json),
        {"--port", "", true, "--port needs a port",
         [&](const std::string& value) { return takePort("--port", value, options.port); }},
        {"--notify-port", "", true, "--notify-port needs a port",
         [&](const std::string& value) {
             return takePort("--notify-port", value, options.notifyPort);
         }},
        {"--watch", "", true, "--watch needs SECONDS",
         [&](const std::string& value) {
             const bool taken = tools::parseInteger(value, 1, 3600, number);
             options.watch = std::chrono::seconds(number);
             return taken ? std::string() : "--watch wants 1 to 3600 seconds, got: " + value;
         }},
        {"--act", "", true, "--act needs a PATH",
         [&](const std::string& value) {
             options.actPath = value;
             return value.empty() ? "--act needs a PATH" : std::string();
         }},
        {"--expect", "", true, "--expect needs PATH=STATUS",
         [&](const std::string& value) { return takeExpectation(value, options); }},
        // Not in the help: let tests shorten the wait for an answer that
        // never comes, allow a loaded machine's answer times, and watch as a
        // user without CAP_NET_RAW does.
        millisecondsOption("--answer-limit-ms", options.answerLimit),
        millisecondsOption("--slow-answer-ms", options.slowAnswer),
        {"--no-wire-tap", "", false, "",
         [&](const std::string&) {
             options.wireTap = false;
             return std::string();
         }},
    };
    const std::string refused = tools::parseCommandLine(argc, argv, table);
    return tools::commandLineOutcome("tarnwell-doctor", refused, shown);
}

}  // namespace

Report runConformance(const ConformanceOptions& options) {
    Conformance run(options);
    Report report;
    if (!checkListening(run, report)) {
        return report;
    }
    checkRootsAnswer(run, report);
    checkStatuses(run, report);
    checkOddPaths(run, report);
    checkEscaping(run, report);
    checkAfterDone(run, report);
    checkUnknownRequest(run, report);
    // The first of the two connections, once both were served, is left idle
    // while the checks after it run, as the plug-in holds its connection for
    // hours; a daemon that serves one connection at a time gets none held.
    Probe idle(run.options.port);
    checkTwoConnections(run, idle, report);
    const auto idleSince = Deadline::Clock::now();
    checkDroppedConnection(run, report);
    checkKeepsConnection(run, report);
    if (!options.expected.empty()) {
        checkExpectedStatuses(run, report);
    }
    checkIdleConnection(idle, idleSince, report);
    if (!options.actPath.empty()) {
        checkMenuCommands(run, report);
    }
    if (options.watch.count() > 0) {
        watchNotifications(run, report);
    }
    return report;
}

bool wantsDaemonCheck(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--daemon") == 0) {
            return true;
        }
    }
    return false;
}

int daemonCheckMain(int argc, char** argv, const char* usage) {
    ConformanceOptions options;
    bool json = false;
    const int status = parseArguments(argc, argv, usage, options, json);
    if (status >= 0) {
        return status;
    }
    const Report report = runConformance(options);
    const std::string text = json ? formatJson(report) : formatText(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::string error;
    if (!tools::flushStandardOutput(error)) {
        std::fprintf(stderr, "tarnwell-doctor: cannot write the report to stdout: %s\n",
                     error.c_str());
        return 1;
    }
    return report.exitStatus();
}

}  // namespace tarnwell::doctor
