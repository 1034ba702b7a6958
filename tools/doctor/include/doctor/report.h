// The doctor's findings: one check a line, each passed, failed or a warning,
// with what was found and, for a failure or a warning, what to do about it.
// Printed as a checklist for people or as one JSON document for scripts.
//
// Plain values, built and read on the main thread only.
#ifndef TARNWELL_DOCTOR_REPORT_H_
#define TARNWELL_DOCTOR_REPORT_H_

#include <string>
#include <vector>

namespace tarnwell::doctor {

// Skipped: there was nothing to check (no icon, so no icon cache to compare).
enum class Verdict { Passed, Warning, Failed, Skipped };

// One named fact behind a finding, kept for the JSON document. A `raw`
// value is JSON already (a number, true/false, a list); any other is a string.
struct Detail {
    std::string key;
    std::string value;
    bool raw = false;
};

struct Check {
    std::string id;     // stable name for scripts: "daemon", "icons", ...
    std::string title;  // what was checked, for people: "daemon on 127.0.0.1:19080"
    Verdict verdict = Verdict::Passed;
    std::string found;  // what was found, one sentence
    std::string fix;    // what to do; empty when the check passed
    std::vector<Detail> details;

    Check& detail(std::string key, std::string value);
    Check& detailNumber(std::string key, long long value);
    Check& detailFlag(std::string key, bool value);
    Check& detailList(std::string key, const std::vector<std::string>& values);
};

struct Report {
    std::vector<Check> checks;

    // Warnings do not fail the run.
    bool anyFailed() const;
    int exitStatus() const { return anyFailed() ? 1 : 0; }
};

std::string formatText(const Report& report);
std::string formatJson(const Report& report);

// JSON string contents: quotes, backslashes and control bytes escaped, a
// byte that is not part of a UTF-8 character as U+FFFD; UTF-8 text as it is.
std::string jsonEscape(const std::string& text);

}  // namespace tarnwell::doctor

#endif  // TARNWELL_DOCTOR_REPORT_H_
