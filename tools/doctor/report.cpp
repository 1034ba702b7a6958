#include "doctor/report.h"

#include <cstdio>

namespace tarnwell::doctor {

namespace {

const char* verdictWord(Verdict verdict) {
    switch (verdict) {
        case Verdict::Passed:
            return "passed";
        case Verdict::Warning:
            return "warning";
        case Verdict::Failed:
            return "failed";
    }
    return "failed";
}

}  // namespace

Check& Check::detail(std::string key, std::string value) {
    details.push_back({std::move(key), std::move(value), false});
    return *this;
}

Check& Check::detailNumber(std::string key, long long value) {
    details.push_back({std::move(key), std::to_string(value), true});
    return *this;
}

Check& Check::detailFlag(std::string key, bool value) {
    details.push_back({std::move(key), value ? "true" : "false", true});
    return *this;
}

Check& Check::detailList(std::string key, const std::vector<std::string>& values) {
    std::string list = "[";
    for (const std::string& value : values) {
        list += (list.size() > 1 ? ",\"" : "\"") + jsonEscape(value) + "\"";
    }
    details.push_back({std::move(key), list + "]", true});
    return *this;
}

bool Report::anyFailed() const {
    for (const Check& check : checks) {
        if (check.verdict == Verdict::Failed) {
            return true;
        }
    }
    return false;
}

std::string formatText(const Report& report) {
    std::string out;
    int failed = 0;
    int warnings = 0;
    for (const Check& check : report.checks) {
        failed += check.verdict == Verdict::Failed ? 1 : 0;
        warnings += check.verdict == Verdict::Warning ? 1 : 0;
        char mark[16];
        std::snprintf(mark, sizeof mark, "%-8s", verdictWord(check.verdict));
        out += mark + check.title + ": " + check.found + "\n";
        if (!check.fix.empty()) {
            out += "        fix: " + check.fix + "\n";
        }
    }
    out += failed == 0 ? "all checks passed" : std::to_string(failed) + " failed";
    if (warnings > 0) {
        out += ", " + std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings");
    }
    out += "\n";
    return out;
}

std::string jsonEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string formatJson(const Report& report) {
    auto quoted = [](const std::string& text) { return "\"" + jsonEscape(text) + "\""; };
    std::string out = "{\"passed\":";
    out += report.anyFailed() ? "false" : "true";
    out += ",\"checks\":[";
    bool firstCheck = true;
    for (const Check& check : report.checks) {
        out += firstCheck ? "\n" : ",\n";
        firstCheck = false;
        out += "{\"check\":" + quoted(check.id) + ",\"title\":" + quoted(check.title) +
               ",\"result\":" + quoted(verdictWord(check.verdict)) +
               ",\"found\":" + quoted(check.found);
        if (!check.fix.empty()) {
            out += ",\"fix\":" + quoted(check.fix);
        }
        out += ",\"details\":{";
        bool firstDetail = true;
        for (const Detail& detail : check.details) {
            out += firstDetail ? "" : ",";
            firstDetail = false;
            out += quoted(detail.key) + ":" + (detail.raw ? detail.value : quoted(detail.value));
        }
        out += "}}";
    }
    out += "\n]}\n";
    return out;
}

}  // namespace tarnwell::doctor
