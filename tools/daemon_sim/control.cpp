#include "control.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>
#include <vector>

#include "protocol/vocabulary.h"
#include "tools_common/options.h"
#include "sim_output.h"

namespace tarnwell::sim {
namespace {

// Control arguments: TAB-separated when the line holds a TAB (so values may
// contain spaces), otherwise separated by runs of spaces.
std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    if (text.find('\t') != std::string::npos) {
        std::size_t start = 0;
        for (;;) {
            std::size_t tab = text.find('\t', start);
            words.push_back(text.substr(start, tab - start));
            if (tab == std::string::npos) {
                break;
            }
            start = tab + 1;
        }
        return words;
    }
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') {
            ++i;
        }
        std::size_t end = text.find(' ', i);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > i) {
            words.push_back(text.substr(i, end - i));
        }
        i = end;
    }
    return words;
}

}  // namespace

bool parseStatus(const std::string& text, long& status) {
    long long value = 0;
    if (!tools::parseInteger(text, LONG_MIN, LONG_MAX, value)) {
        return false;
    }
    status = static_cast<long>(value);
    return true;
}

bool ControlInput::readFrom(int fd) {
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) {
            return true;
        }
        n = 0;
    }
    if (n == 0) {
        // A last command without a newline still counts.
        if (!buffer_.empty() && run(std::move(buffer_)) == Result::kQuit) {
            return false;
        }
        complain("end of the control input on stdin: quitting (--no-stdin keeps running)");
        return false;
    }
    buffer_.append(buf, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t lf; (lf = buffer_.find('\n', start)) != std::string::npos;) {
        std::string line = buffer_.substr(start, lf - start);
        start = lf + 1;
        if (run(std::move(line)) == Result::kQuit) {
            return false;
        }
    }
    buffer_.erase(0, start);
    return true;
}

ControlInput::Result ControlInput::run(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    const std::size_t space = line.find_first_of(" \t");
    const std::string command = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);

    if (line.find_first_not_of(" \t") == std::string::npos) {
        return Result::kContinue;
    }
    if (command == "quit") {
        return Result::kQuit;
    }
    if (command == "set") {
        // The path may contain spaces: the status is the last word.
        const std::size_t last = rest.find_last_of(" \t");
        long status = 0;
        if (last == std::string::npos || last == 0 || !parseStatus(rest.substr(last + 1), status)) {
            complain("bad control command (want: set PATH N): " + line);
            return Result::kContinue;
        }
        const std::string path = rest.substr(0, last);
        state_.setStatus(path, status);
        notifier_.notify(protocol::kRefreshStat, {{protocol::kPathKey, path}});
        return Result::kContinue;
    }
    if (command == "roots") {
        state_.setRoots(rest.empty() ? std::vector<std::string>{} : splitWords(rest));
        notifier_.notify(protocol::kRefreshRoots, {});
        return Result::kContinue;
    }
    if (command == "notify") {
        std::vector<std::string> words = splitWords(rest);
        if (words.empty() || words.front().empty() || words.size() % 2 != 1) {
            complain("bad control command (want: notify NAME [KEY VALUE]...): " + line);
            return Result::kContinue;
        }
        PairList pairs;
        for (std::size_t i = 1; i + 1 < words.size(); i += 2) {
            pairs.emplace_back(words[i], words[i + 1]);
        }
        notifier_.notify(words.front(), pairs);
        return Result::kContinue;
    }
    complain("unknown control command: " + line);
    return Result::kContinue;
}

}  // namespace tarnwell::sim
