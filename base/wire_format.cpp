#include "base/wire_format.h"

namespace tarnwell {

void appendEscapedField(std::string& out, std::string_view field) {
    // Copied in runs between the bytes to escape: a path has none, mostly.
    std::size_t from = 0;
    for (std::size_t at = 0; at < field.size(); ++at) {
        const char c = field[at];
        if (c != '\\' && c != '\n' && c != '\t') {
            continue;
        }
        out.append(field.substr(from, at - from));
        out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : "\\t";
        from = at + 1;
    }
    out.append(field.substr(from));
}

std::string escapeField(const std::string& field) {
    std::string out;
    out.reserve(field.size() + 8);
    appendEscapedField(out, field);
    return out;
}

namespace {

std::string unescape(std::string_view field) {
    if (field.find('\\') == std::string_view::npos) {
        return std::string(field);
    }
    std::string out;
    out.reserve(field.size());
    std::size_t i = 0;
    while (i < field.size()) {
        if (field[i] == '\\' && i + 1 < field.size()) {
            const char next = field[i + 1];
            if (next == 'n' || next == 't' || next == '\\') {
                out.push_back(next == 'n' ? '\n' : next == 't' ? '\t' : '\\');
                i += 2;
                continue;
            }
        }
        // An unknown escape keeps its backslash; the byte after it is then
        // handled as an ordinary byte on the next round.
        out.push_back(field[i]);
        ++i;
    }
    return out;
}

}  // namespace

std::string unescapeField(const std::string& field) {
    return unescape(field);
}

void parseArgumentLine(std::string_view line, ArgumentMap& args) {
    std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) {
        return;
    }
    std::string key = unescape(line.substr(0, tab));
    std::vector<std::string> values;
    std::size_t start = tab + 1;
    for (;;) {
        std::size_t next = line.find('\t', start);
        std::size_t end = (next == std::string_view::npos) ? line.size() : next;
        values.push_back(unescape(line.substr(start, end - start)));
        if (next == std::string_view::npos) {
            break;
        }
        start = next + 1;
    }
    args[std::move(key)] = std::move(values);
}

}  // namespace tarnwell
