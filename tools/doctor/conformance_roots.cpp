#include <sys/stat.h>

#include <algorithm>

#include "canonical/canonicalize_path.h"
#include "conformance_checks.h"
#include "protocol/messages.h"

namespace tarnwell::doctor {

namespace {

using namespace std::chrono_literals;

// The plug-in asks for the roots on every connection and shows nothing until
// they come: past a second, emblems are noticeably late (past the plug-in's
// 3 s, there are none).
constexpr auto kRootsLate = 1000ms;

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

// Why the plug-in shows nothing under `root`, whose canonical form it keeps
// as `canonical`; empty when it can.
std::string canonicalFault(const std::string& root, const std::string& canonical) {
    if (canonical == "/") {
        return "the root / holds only / itself for the plug-in: nothing below it gets an emblem";
    }
    if (canonical != root) {
        return root + " is not in canonical form: the plug-in asks about paths under " + canonical +
               " instead, which a daemon that knows " + root +
               " does not recognise, so they get no emblem";
    }
    return {};
}

// How `canonical` stands to the roots kept before it; a warning, or empty.
std::string rootWarning(const std::string& root, const std::string& canonical,
                        const std::vector<std::string>& earlier) {
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

// The "path" lines among the first lines of an answer, through "done": the
// plug-in keeps only the last one, so more than one loses roots.
std::size_t pathLines(const std::string& raw) {
    std::size_t count = 0;
    const std::string key = std::string(protocol::kPathKey) + "\t";
    for (std::size_t at = 0; at < raw.size();) {
        const std::size_t end = raw.find('\n', at);
        const std::string line = raw.substr(at, end == std::string::npos ? end : end - at);
        if (line == protocol::kEndLine || end == std::string::npos) {
            break;
        }
        count += line.rfind(key, 0) == 0 ? 1 : 0;
        at = end + 1;
    }
    return count;
}

// A relative value right behind a root that, joined to it by a tab, names
// a folder: one root holding a tab, written without its escape and so read
// as two values.
std::string splitAtTab(const std::vector<std::string>& listed, std::size_t at) {
    struct stat info {};
    if (at == 0 || listed[at].empty() || listed[at][0] == '/') {
        return {};
    }
    const std::string whole = listed[at - 1] + "\t" + listed[at];
    if (::stat(whole.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return {};
    }
    return "\"" + listed[at - 1] + "\" and \"" + listed[at] + "\" are the folder " +
           listed[at - 1] + "<TAB>" + listed[at] +
           " split at a tab written without its escape (\\t): the plug-in keeps neither";
}

// How a root the plug-in can use differs from the form it keeps, when the
// plug-in still serves the files under it; else empty.
std::string harmlessForm(const std::string& root, const std::string& canonical) {
    if (root.empty()) {
        return "an empty value (a tab at the end of the line?), which the plug-in ignores";
    }
    if (root.size() > 1 && root == canonical + "/") {
        return root +
               " ends in a slash, which the plug-in drops: it asks about the sync folder "
               "itself as " +
               canonical + ", so answer for that form too";
    }
    return {};
}

RootFindings judgeRoots(const std::vector<std::string>& listed, std::vector<std::string>& kept) {
    RootFindings findings;
    for (std::size_t at = 0; at < listed.size(); ++at) {
        const std::string& root = listed[at];
        const std::string canonical = root.empty() ? root : canonicalizePath(root);
        const std::string split = at + 1 < listed.size() ? splitAtTab(listed, at + 1) : "";
        if (!split.empty()) {
            findings.faults.push_back(split);
            ++at;
            continue;
        }
        const std::string harmless = harmlessForm(root, canonical);
        const std::string fault = harmless.empty() ? rootFault(root) : "";
        if (!fault.empty()) {
            findings.faults.push_back(fault);
        }
        if (!harmless.empty()) {
            findings.warnings.push_back(harmless);
        }
        if (root.empty() || !fault.empty()) {
            continue;
        }
        const std::string notCanonical = canonicalFault(root, canonical);
        if (!notCanonical.empty() && harmless.empty()) {
            findings.faults.push_back(notCanonical);
        }
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
    const std::size_t lines = pathLines(answer.raw);
    if (lines > 1) {
        fail(check,
             took + " with the roots on " + std::to_string(lines) +
                 " \"path\" lines: the plug-in keeps only the last line's (" + joined(listed) +
                 "), so every root on the lines before it gets no emblem",
             "put every root on one line: path<TAB>/home/me/Tarnwell<TAB>/data/more");
    } else if (listed.empty()) {
        fail(check, took + " with no sync root: no file gets an emblem",
             "list every sync root as a value of \"path\", all on one line: "
             "path<TAB>/home/me/Tarnwell<TAB>/data/more");
    } else if (!findings.faults.empty()) {
        fail(check, took + ": " + joined(findings.faults),
             "list each sync root once, as an absolute path to a folder that exists, in the form "
             "realpath gives it");
    } else if (!findings.warnings.empty()) {
        warn(check, took + ": " + joined(findings.warnings),
             "list each root once, as realpath gives it, none inside another");
    } else if (answer.took > kRootsLate) {
        warn(check,
             took +
                 ": the plug-in waits up to 3 s for it, but shows no emblem meanwhile, on "
                 "every connection",
             "answer get_tw_roots from memory, at once");
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
    const Probe::Answer answer = probe.ask(protocol::kGetRoots, nullptr, run.answerDeadline());
    if (!answer.whole()) {
        fail(check, "no whole answer: " + answer.why,
             "answer get_tw_roots at once: rsp, path<TAB>ROOT..., done, each line ended by LF");
        return;
    }
    if (answer.outcome == Probe::Outcome::Refused) {
        fail(check,
             "get_tw_roots was refused (" + answer.why + "): the plug-in then shows no emblem",
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
