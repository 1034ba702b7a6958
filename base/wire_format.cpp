#include "base/wire_format.h"

namespace tarnwell {

std::string escapeField(const std::string& field) {
    std::string out;
    out.reserve(field.size() * 2);
    for (char c : field) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string unescapeField(const std::string& field) {
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

void parseArgumentLine(std::string_view line, ArgumentMap& args) {
    std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) {
        return;
    }
    std::string key = unescapeField(std::string(line.substr(0, tab)));
    std::vector<std::string> values;
    std::size_t start = tab + 1;
    for (;;) {
        std::size_t next = line.find('\t', start);
        std::size_t end = (next == std::string_view::npos) ? line.size() : next;
        values.push_back(unescapeField(std::string(line.substr(start, end - start))));
        if (next == std::string_view::npos) {
            break;
        }
        start = next + 1;
    }
    args[std::move(key)] = std::move(values);
}

}  // namespace tarnwell
