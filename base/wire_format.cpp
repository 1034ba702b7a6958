#include "base/wire_format.h"

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

bool LineReader::next(std::string& line) {
    line.clear();
    for (;;) {
        const char* start = buffer_.data() + handedOut_;
        const std::size_t available = peeked_ - handedOut_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', available));
        if (lf != nullptr) {
            const auto length = static_cast<std::size_t>(lf - start);
            if (line.size() + length > kMaxLineBytes) {
                return false;
            }
            line.append(start, length);
            handedOut_ += length + 1;
            return true;
        }
        // The rest of what was peeked is the start of this line: keep it,
        // take everything peeked from the socket and wait for more.
        if (line.size() + available > kMaxLineBytes) {
            return false;
        }
        line.append(start, available);
        if (!take(peeked_)) {
            return false;
        }
        peeked_ = handedOut_ = 0;
        ssize_t n;
        do {
            n = ::recv(fd_, buffer_.data(), buffer_.size(), MSG_PEEK);
        } while (n < 0 && errno == EINTR);
        // 0: end of stream. < 0: an error or the receive time-out.
        if (n <= 0) {
            return false;
        }
        peeked_ = static_cast<std::size_t>(n);
    }
}

bool LineReader::finish() {
    const bool taken = take(handedOut_);
    peeked_ = handedOut_ = 0;
    return taken;
}

bool LineReader::take(std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        // Into the buffer, whose peeked copy of these bytes is no longer
        // needed; the bytes are queued already, so this does not wait.
        const ssize_t n = ::recv(fd_, buffer_.data(), count - done, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool readLine(int fd, std::string& line) {
    LineReader reader(fd);
    return reader.next(line) && reader.finish();
}

}  // namespace tarnwell
