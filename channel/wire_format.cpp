#include "channel/wire_format.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>

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

std::string buildRequest(const std::string& name, const ArgumentMap* args) {
    std::string out = escapeField(name);
    out.push_back('\n');
    if (args != nullptr) {
        for (const auto& [key, values] : *args) {
            out += escapeField(key);
            for (const auto& value : values) {
                out.push_back('\t');
                out += escapeField(value);
            }
            out.push_back('\n');
        }
    }
    out += "done\n";
    return out;
}

bool readLine(int fd, std::string& line) {
    line.clear();
    char buffer[16 * 1024];
    for (;;) {
        // Look at what has arrived without taking it, then take exactly
        // through the LF: what follows belongs to the next line or the next
        // exchange and must stay in the socket.
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_PEEK);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // 0: end of stream. < 0: an error or the receive time-out.
        if (n <= 0) {
            return false;
        }
        const auto* lf = static_cast<const char*>(std::memchr(buffer, '\n', n));
        const std::size_t wanted =
            lf != nullptr ? static_cast<std::size_t>(lf - buffer) + 1 : static_cast<std::size_t>(n);
        const std::size_t content = lf != nullptr ? wanted - 1 : wanted;
        if (line.size() + content > kMaxLineBytes) {
            return false;
        }
        do {
            n = ::recv(fd, buffer, wanted, 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            return false;
        }
        // The peeked bytes are queued in the socket, so this read returns
        // them all; should it return fewer, the next round peeks again.
        const auto got = static_cast<std::size_t>(n);
        if (lf != nullptr && got == wanted) {
            line.append(buffer, got - 1);
            return true;
        }
        line.append(buffer, got);
    }
}

}  // namespace tarnwell
