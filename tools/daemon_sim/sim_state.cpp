#include "sim_state.h"

#include <algorithm>
#include <string_view>

#include "base/wire_format.h"

namespace tarnwell::sim {

std::string normalizePath(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') {
        --end;
    }
    return path.substr(0, end);
}

bool isUnderRoot(const std::string& path, const std::string& root) {
    const std::string p = normalizePath(path);
    const std::string r = normalizePath(root);
    if (r.empty()) {
        return false;
    }
    if (p == r) {
        return true;
    }
    if (r == "/") {
        // Every absolute path lies below the file-system root; the generic
        // "root + /" prefix test would look for "//" and match nothing.
        return !p.empty() && p[0] == '/';
    }
    return p.size() > r.size() && p[r.size()] == '/' && p.compare(0, r.size(), r) == 0;
}

std::string buildDatagram(const std::string& name, const PairList& pairs) {
    // Group repeated keys on one line, keeping first-appearance order.
    std::vector<std::pair<std::string, std::vector<std::string>>> lines;
    for (const auto& [key, value] : pairs) {
        // clang 14 cannot capture a structured binding; a plain reference it can.
        const std::string& wanted = key;
        auto it = std::find_if(lines.begin(), lines.end(),
                               [&](const auto& line) { return line.first == wanted; });
        if (it == lines.end()) {
            lines.push_back({key, {value}});
        } else {
            it->second.push_back(value);
        }
    }
    std::string out = name + "\n";
    for (const auto& [key, values] : lines) {
        out += escapeField(key);
        for (const auto& value : values) {
            out += "\t" + escapeField(value);
        }
        out += "\n";
    }
    out += "done\n";
    return out;
}

bool SimState::isInSyncDir(const std::string& path) const {
    return std::any_of(roots_.begin(), roots_.end(),
                       [&](const std::string& root) { return isUnderRoot(path, root); });
}

std::string SimState::respond(const std::string& name, const ArgumentMap& args) const {
    if (name == "get_tw_roots") {
        if (roots_.empty()) {
            return "rsp\ndone\n";
        }
        std::string out = "rsp\npath";
        for (const auto& root : roots_) {
            out += "\t" + escapeField(root);
        }
        return out + "\ndone\n";
    }
    if (name == "query_stat") {
        auto it = args.find("path");
        if (it == args.end() || it->second.empty() || !isInSyncDir(it->second.front())) {
            return "rsp\ndone\n";
        }
        auto status = statuses_.find(normalizePath(it->second.front()));
        const long stat = status == statuses_.end() ? defaultStatus_ : status->second;
        return "rsp\nstat\t" + std::to_string(stat) + "\ndone\n";
    }
    for (const char* menu : kMenuCommands) {
        if (name == menu) {
            return "rsp\ndone\n";
        }
    }
    return "err\ndone\n";
}

}  // namespace tarnwell::sim
