#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "canonical/canonicalize_path.h"
#include "conformance_checks.h"
#include "protocol/messages.h"

namespace tarnwell::doctor {

namespace {

using namespace std::chrono_literals;

// Long enough for bytes the daemon writes right behind an answer to arrive.
constexpr auto kStrayWait = 50ms;

const char* const kAnswerEveryPath =
    "answer every query_stat, also for a path outside your folders or one that does not exist: "
    "rsp, done (without stat)";
const char* const kEscapeFix =
    "in every key and value, read a backslash and t, a backslash and n, and two backslashes as a "
    "tab, a line feed and a backslash, and write those three bytes so";

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// A folder that exists and lies in no root; empty when every one does.
std::string pathOutsideRoots(const std::vector<std::string>& roots) {
    for (const char* candidate : {"/usr", "/etc", "/tmp", "/"}) {
        std::string path = canonicalizePath(candidate);
        if (exists(path) && protocol::rootHolding(roots, path).empty()) {
            return path;
        }
    }
    return {};
}

// A path in the first root (where the plug-in would ask about a file deleted
// while it was drawn) that does not exist.
std::string missingPath(const std::vector<std::string>& roots) {
    const std::string base = (roots.empty() ? std::string() : roots.front()) +
                             "/.tarnwell-doctor-missing-" + std::to_string(::getpid());
    std::string path = base;
    for (int i = 1; exists(path); ++i) {
        path = base + "-" + std::to_string(i);
    }
    return path;
}

void checkOneOddPath(const Conformance& run, const std::string& id, const std::string& what,
                     const std::string& path, Report& report) {
    Check& check = addCheck(report, id, what);
    if (path.empty()) {
        check.verdict = Verdict::Skipped;
        check.found = "every folder lies in a sync root";
        return;
    }
    check.detail("path", path);
    if (outOfTime(run, check)) {
        return;
    }
    Probe probe(run.options.port);
    const Probe::Answer answer = askStatus(probe, path, run.answerDeadline());
    if (answer.whole()) {
        check.found = path + " answered in " + milliseconds(answer.took);
        return;
    }
    fail(check, path + ": " + answer.why, kAnswerEveryPath);
}

struct OddPath {
    const char* kind;
    const char* name;
};

// Names with each byte that must be escaped on the wire; never created. The
// line feed comes before "done", which a daemon that writes the path back
// unescaped would send as a line of its own.
constexpr std::array<OddPath, 3> kOddNames{{
    {"a tab", "tarnwell doctor\tx"},
    {"a line feed", "tarnwell doctor\ndone"},
    {"a backslash", "tarnwell doctor\\n\\"},
}};

// Asks about `path` on `probe`; empty when the connection stays in step,
// else what went wrong. Bytes after "done" count only when a plain answer
// had none (`strayAfterPlain`): those are the after-done check's business.
// A "path" written back otherwise than asked goes to `oddity`: the plug-in
// reads no "path" in a status answer.
std::string askOdd(Probe& probe, const OddPath& odd, const std::string& path, bool strayAfterPlain,
                   const Deadline& deadline, std::string& oddity) {
    const Probe::Answer answer = askStatus(probe, path, deadline);
    const std::string kind = std::string("the path with ") + odd.kind;
    if (!answer.whole()) {
        return kind + " got no whole answer: " + answer.why;
    }
    const std::string* echoed = protocol::firstValue(answer.args, protocol::kPathKey);
    if (echoed != nullptr && *echoed != path && oddity.empty()) {
        oddity = kind + " came back in \"path\" as \"" + *echoed +
                 "\", which the plug-in does not read here; written so in get_tw_roots or "
                 "refresh_stat, it names another folder or file";
    }
    bool closed = false;
    const std::size_t stray = strayAfterPlain ? 0 : probe.strayBytes(kStrayWait, closed);
    if (stray > 0) {
        return std::to_string(stray) + " bytes came after the answer for " + kind;
    }
    return {};
}

}  // namespace

void checkOddPaths(const Conformance& run, Report& report) {
    checkOneOddPath(run, "outside_path", "a path outside every root", pathOutsideRoots(run.roots),
                    report);
    checkOneOddPath(run, "missing_path", "a path that does not exist", missingPath(run.roots),
                    report);
}

void checkEscaping(const Conformance& run, Report& report) {
    Check& check = addCheck(report, "escaping", "paths with a tab, a line feed, a backslash");
    if (outOfTime(run, check)) {
        return;
    }
    const std::string plain = run.roots.empty() ? "/" : run.roots.front();
    Probe probe(run.options.port);
    const Probe::Answer first = askStatus(probe, plain, run.answerDeadline());
    if (!first.whole()) {
        fail(check, "no whole answer for " + plain + ", before any odd path: " + first.why,
             kAnswerEveryPath);
        return;
    }
    bool closed = false;
    const bool strayAfterPlain = probe.strayBytes(kStrayWait, closed) > 0;
    const std::string folder = plain == "/" ? std::string() : plain;
    std::string oddity;
    for (const OddPath& odd : kOddNames) {
        const std::string fault = askOdd(probe, odd, folder + "/" + odd.name, strayAfterPlain,
                                         run.answerDeadline(), oddity);
        if (!fault.empty()) {
            fail(check, fault, kEscapeFix);
            return;
        }
    }
    const Probe::Answer after = askStatus(probe, plain, run.answerDeadline());
    if (!after.whole()) {
        fail(check, "the question after them got no whole answer: " + after.why, kEscapeFix);
        return;
    }
    if (!oddity.empty()) {
        warn(check, "each answered whole, and the connection stayed in step, but " + oddity,
             kEscapeFix);
        return;
    }
    check.found = "each answered whole, and the connection stayed in step";
}

}  // namespace tarnwell::doctor
