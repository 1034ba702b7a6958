#include "protocol/messages.h"

#include <cerrno>
#include <cstdlib>

#include "base/wire_format.h"

namespace tarnwell::protocol {
namespace {

void appendLine(std::string& out, const std::string& key, const std::vector<std::string>& values) {
    appendEscapedField(out, key);
    for (const std::string& value : values) {
        out.push_back('\t');
        appendEscapedField(out, value);
    }
    out.push_back('\n');
}

// The argument lines of `pairs`, a repeated key's values gathered on the line
// where the key first appears. A key whose values are all missing has no line:
// a line without a TAB carries nothing the reader keeps.
void appendPairs(std::string& out, const PairList& pairs) {
    std::vector<std::pair<std::string, std::vector<std::string>>> lines;
    for (const auto& pair : pairs) {
        auto line = lines.begin();
        while (line != lines.end() && line->first != pair.first) {
            ++line;
        }
        if (line == lines.end()) {
            lines.push_back({pair.first, {pair.second}});
        } else {
            line->second.push_back(pair.second);
        }
    }
    for (const auto& [key, values] : lines) {
        appendLine(out, key, values);
    }
}

std::string endLine() {
    return std::string(kEndLine) + "\n";
}

}  // namespace

std::string buildRequest(const std::string& name, const ArgumentMap* args) {
    // Built in place: the channel's worker builds one per exchange.
    std::string out;
    out.reserve(128);
    appendEscapedField(out, name);
    out.push_back('\n');
    if (args != nullptr) {
        for (const auto& [key, values] : *args) {
            appendLine(out, key, values);
        }
    }
    out += kEndLine;
    out.push_back('\n');
    return out;
}

std::string buildAnswer(const PairList& pairs) {
    std::string out = std::string(kAnswerStatus) + "\n";
    appendPairs(out, pairs);
    return out + endLine();
}

std::string buildRefusal() {
    return std::string(kRefusalStatus) + "\n" + endLine();
}

std::string buildNotification(const std::string& name, const PairList& pairs) {
    std::string out = name + "\n";
    appendPairs(out, pairs);
    return out + endLine();
}

const std::string* firstValue(const ArgumentMap& args, const std::string& key) {
    const auto it = args.find(key);
    return it == args.end() || it->second.empty() ? nullptr : &it->second.front();
}

SyncStatus statusInReply(const ArgumentMap& answer) {
    const std::string* text = firstValue(answer, kStatKey);
    if (text == nullptr) {
        return NotCached;
    }
    // Narrowing a value too large for 32 bits would wrap it into the valid
    // range ("4294967297" would become 1, Syncing): ERANGE and the range
    // check come first.
    errno = 0;
    const long value = std::strtol(text->c_str(), nullptr, 10);
    if (errno == ERANGE || value < UpToDate || value > ReadOnly) {
        return NotCached;
    }
    return static_cast<SyncStatus>(value);
}

std::vector<std::string> rootsInReply(const ArgumentMap& answer,
                                      std::vector<std::string>* ignored) {
    std::vector<std::string> roots;
    const auto it = answer.find(kPathKey);
    if (it == answer.end()) {
        return roots;
    }
    roots.reserve(it->second.size());
    for (const std::string& value : it->second) {
        if (!value.empty() && value.front() == '/') {
            roots.push_back(value);
        } else if (ignored != nullptr) {
            ignored->push_back(value);
        }
    }
    return roots;
}

bool rootHolds(const std::string& root, const std::string& path) {
    return path.size() >= root.size() && path.compare(0, root.size(), root) == 0 &&
           (path.size() == root.size() || path[root.size()] == '/');
}

std::string rootHolding(const std::vector<std::string>& roots, const std::string& path) {
    for (const std::string& root : roots) {
        if (rootHolds(root, path)) {
            return root;
        }
    }
    return std::string();
}

}  // namespace tarnwell::protocol
