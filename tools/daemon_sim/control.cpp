#include "control.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "protocol/vocabulary.h"
#include "sim_output.h"
#include "tools_common/options.h"
#include "tools_common/utf8_text.h"

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

// A control line as a complaint quotes it: on one line, and cut after a
// screenful, since a line may be megabytes long.
std::string quoted(const std::string& line) {
    constexpr std::size_t kShown = 200;
    if (line.size() <= kShown) {
        return tools::escapeForLine(line);
    }
    return tools::escapeForLine(line.substr(0, kShown)) + "... (" + std::to_string(line.size()) +
           " bytes)";
}

}  // namespace

std::string refusedRoot(const std::string& root) {
    if (root.empty()) {
        return "a root must be a folder, not an empty value";
    }
    const std::string shown = tools::escapeForLine(root);
    if (root[0] != '/') {
        return "the root " + shown + " is not an absolute path, and the plug-in ignores such roots";
    }
    return {};
}

void warnIfNoFolder(const std::string& root) {
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0) {
        complain("warning: the root " + tools::escapeForLine(root) + " does not exist");
    } else if (!S_ISDIR(info.st_mode)) {
        complain("warning: the root " + tools::escapeForLine(root) + " is not a folder");
    }
}

bool parseStatus(const std::string& text, long& status) {
    long long value = 0;
    if (!tools::parseInteger(text, LONG_MIN, LONG_MAX, value)) {
        return false;
    }
    status = static_cast<long>(value);
    return true;
}

bool ControlInput::readFrom(int fd) {
    char buf[65536];
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
    for (std::size_t lf;
         (lf = buffer_.find('\n', std::max(start, scanned_))) != std::string::npos;) {
        std::string line = buffer_.substr(start, lf - start);
        start = lf + 1;
        if (run(std::move(line)) == Result::kQuit) {
            return false;
        }
    }
    buffer_.erase(0, start);
    scanned_ = buffer_.size();
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
        if (rest.find_first_not_of(" \t") != std::string::npos) {
            complain("bad control command (want: quit): " + quoted(line));
            return Result::kContinue;
        }
        return Result::kQuit;
    }
    if (command == "set") {
        // The path may contain spaces: the status is the last word.
        const std::size_t last = rest.find_last_of(" \t");
        long status = 0;
        if (last == std::string::npos || last == 0 || !parseStatus(rest.substr(last + 1), status)) {
            complain("bad control command (want: set PATH N): " + quoted(line));
            return Result::kContinue;
        }
        const std::string path = rest.substr(0, last);
        state_.setStatus(path, status);
        notifier_.notify(protocol::kRefreshStat, {{protocol::kPathKey, path}});
        return Result::kContinue;
    }
    if (command == "roots") {
        setRoots(line, rest);
        return Result::kContinue;
    }
    if (command == "notify") {
        std::vector<std::string> words = splitWords(rest);
        if (words.empty() || words.front().empty() || words.size() % 2 != 1) {
            complain("bad control command (want: notify NAME [KEY VALUE]...): " + quoted(line));
            return Result::kContinue;
        }
        PairList pairs;
        for (std::size_t i = 1; i + 1 < words.size(); i += 2) {
            pairs.emplace_back(words[i], words[i + 1]);
        }
        notifier_.notify(words.front(), pairs);
        return Result::kContinue;
    }
    complain("unknown control command: " + quoted(line));
    return Result::kContinue;
}

// The roots are replaced only when every one would be taken on the command
// line: a list the plug-in would read differently from the daemon is refused
// whole, as the command line refuses it.
void ControlInput::setRoots(const std::string& line, const std::string& rest) {
    const std::vector<std::string> roots =
        rest.empty() ? std::vector<std::string>{} : splitWords(rest);
    for (const std::string& root : roots) {
        if (const std::string refused = refusedRoot(root); !refused.empty()) {
            complain("bad control command (" + refused + "; roots unchanged): " + quoted(line));
            return;
        }
    }
    for (const std::string& root : roots) {
        warnIfNoFolder(root);
    }
    state_.setRoots(roots);
    notifier_.notify(protocol::kRefreshRoots, {});
}

}  // namespace tarnwell::sim
