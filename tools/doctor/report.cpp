#include "doctor/report.h"

#include <cstdio>

#include "tools_common/utf8_text.h"

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
        case Verdict::Skipped:
            return "skipped";
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
    int skipped = 0;
    for (const Check& check : report.checks) {
        failed += check.verdict == Verdict::Failed ? 1 : 0;
        warnings += check.verdict == Verdict::Warning ? 1 : 0;
        skipped += check.verdict == Verdict::Skipped ? 1 : 0;
        char mark[16];
        std::snprintf(mark, sizeof mark, "%-8s", verdictWord(check.verdict));
        // Paths come from the command line and the daemon: a line feed or a
        // byte that is not UTF-8 in one must not break the checklist's lines.
        out += mark + tools::escapeForLine(check.title) + ": " + tools::escapeForLine(check.found) +
               "\n";
        if (!check.fix.empty()) {
            out += "        fix: " + tools::escapeForLine(check.fix) + "\n";
        }
    }
    out += failed == 0 ? "all checks passed" : std::to_string(failed) + " failed";
    if (warnings > 0) {
        out += ", " + std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings");
    }
    if (skipped > 0) {
        out += ", " + std::to_string(skipped) + " skipped";
    }
    out += "\n";
    return out;
}

std::string jsonEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        char32_t code = 0;
        const std::size_t length = byte < 0x80 ? 1 : tools::utf8CharLength(text, i, code);
        if (length == 0) {
            // A path is bytes and JSON text is UTF-8: a byte that is not part
            // of a character would make the document invalid.
            out += "\\ufffd";
        } else if (length > 1) {
            out.append(text, i, length);
            i += length - 1;
        } else if (c == '"' || c == '\\') {
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
