#include <sys/stat.h>

#include <algorithm>

#include "canonical/canonicalize_path.h"
#include "conformance_checks.h"
#include "protocol/messages.h"

namespace tarnwell::doctor {

namespace {

using namespace std::chrono_literals;

// The plug-in asks for the roots on every connection and shows nothing until
// they come; a second is far more than any daemon needs.
constexpr auto kRootsLimit = 1000ms;

struct RootFindings {
    std::vector<std::string> faults;    // the plug-in cannot use the root
    std::vector<std::string> warnings;  // it can, but not as the daemon may think
};

std::string joined(const std::vector<std::string>& texts) {
    std::string text;
    for (const std::string& each : texts) {
        text += (text.empty() ? "" : "; ") + each;
    }
    return text;
}

// Whether the plug-in can use `root` at all; the fault when it cannot.
std::string rootFault(const std::string& root) {
    if (root.empty() || root[0] != '/') {
        return "\"" + root + "\" is not an absolute path, and the plug-in ignores it";
    }
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0) {
        return root + " does not exist";
    }
    return S_ISDIR(info.st_mode) ? std::string() : root + " is not a folder";
}

// How `canonical` (the form of `root` the plug-in keeps) stands to the roots
// kept before it; a warning, or empty.
std::string rootWarning(const std::string& root, const std::string& canonical,
                        const std::vector<std::string>& earlier) {
    if (canonical == "/") {
        return "the root / holds only / itself for the plug-in: nothing below it gets an emblem";
    }
    if (canonical != root) {
        return root + " is not in canonical form: the plug-in asks about paths under " + canonical;
    }
    for (const std::string& before : earlier) {
        if (before == canonical) {
            return root + " is listed twice";
        }
        if (protocol::rootHolds(before, canonical) || protocol::rootHolds(canonical, before)) {
            std::string warning = root;
            warning += " and " + before;
            warning += " lie one inside the other: the first listed wins";
            return warning;
        }
    }
    return {};
}

RootFindings judgeRoots(const std::vector<std::string>& listed, std::vector<std::string>& kept) {
    RootFindings findings;
    for (const std::string& root : listed) {
        const std::string fault = rootFault(root);
        if (!fault.empty()) {
            findings.faults.push_back(fault);
            continue;
        }
        const std::string canonical = canonicalizePath(root);
        const std::string warning = rootWarning(root, canonical, kept);
        if (!warning.empty()) {
            findings.warnings.push_back(warning);
        }
        if (std::find(kept.begin(), kept.end(), canonical) == kept.end()) {
            kept.push_back(canonical);
        }
    }
    return findings;
}

void judgeAnswer(const Probe::Answer& answer, const std::vector<std::string>& listed,
                 const RootFindings& findings, Check& check) {
    const std::string took = "answered in " + milliseconds(answer.took);
    if (listed.empty()) {
        fail(check, took + " with no sync root: no file gets an emblem",
             "list every sync root as a value of \"path\", all on one line: "
             "path<TAB>/home/me/Tarnwell<TAB>/data/more");
    } else if (!findings.faults.empty()) {
        fail(check, took + ": " + joined(findings.faults),
             "list each sync root as an absolute path to a folder that exists");
    } else if (!findings.warnings.empty()) {
        warn(check, took + ": " + joined(findings.warnings),
             "list each root once, as realpath gives it, none inside another");
    } else {
        check.found = took + ": " + std::to_string(listed.size()) +
                      (listed.size() == 1 ? " folder" : " folders") +
                      ", absolute, in canonical form";
    }
}

}  // namespace

void checkRootsAnswer(Conformance& run, Report& report) {
    Check& check = addCheck(report, "roots", "sync roots (get_tw_roots)");
    if (outOfTime(run, check)) {
        return;
    }
    Probe probe(run.options.port);
    const auto limit = std::min(run.options.answerLimit, std::chrono::milliseconds(kRootsLimit));
    const Probe::Answer answer =
        probe.ask(protocol::kGetRoots, nullptr, run.deadline.sooner(limit));
    if (!answer.whole()) {
        fail(check, "no whole answer within 1 s: " + answer.why,
             "answer get_tw_roots at once: rsp, path<TAB>ROOT..., done, each line ended by LF");
        return;
    }
    if (answer.outcome == Probe::Outcome::Refused) {
        fail(check, "get_tw_roots was " + answer.why + ": the plug-in then shows no emblem",
             "answer get_tw_roots with rsp and the roots you know, and send refresh_tw_root "
             "once you know more");
        return;
    }
    const auto values = answer.args.find(protocol::kPathKey);
    const std::vector<std::string> listed =
        values == answer.args.end() ? std::vector<std::string>{} : values->second;
    const RootFindings findings = judgeRoots(listed, run.roots);
    check.detailNumber("round_trip_us", answer.took.count()).detailList("listed", listed);
    check.detailList("roots", run.roots);
    judgeAnswer(answer, listed, findings, check);
}

}  // namespace tarnwell::doctor
