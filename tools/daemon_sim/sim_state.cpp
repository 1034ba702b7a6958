#include "sim_state.h"

#include <algorithm>

#include "protocol/tables.h"

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
    if (r == "/") {
        // Every absolute path lies below the file-system root; the plug-in's
        // rule, for canonical roots, would take it for "/" alone.
        return !p.empty() && p[0] == '/';
    }
    return protocol::rootHolds(r, p);
}

bool SimState::isInSyncDir(const std::string& path) const {
    return std::any_of(roots_.begin(), roots_.end(),
                       [&](const std::string& root) { return isUnderRoot(path, root); });
}

std::string SimState::respond(const std::string& name, const ArgumentMap& args) const {
    if (name == protocol::kGetRoots) {
        PairList roots;
        for (const auto& root : roots_) {
            roots.emplace_back(protocol::kPathKey, root);
        }
        return protocol::buildAnswer(roots);
    }
    if (name == protocol::kQueryStat) {
        const std::string* path = protocol::firstValue(args, protocol::kPathKey);
        if (path == nullptr || !isInSyncDir(*path)) {
            return protocol::buildAnswer();
        }
        auto status = statuses_.find(normalizePath(*path));
        const long stat = status == statuses_.end() ? defaultStatus_ : status->second;
        return protocol::buildAnswer({{protocol::kStatKey, std::to_string(stat)}});
    }
    if (protocol::menuActionWithCommand(name) != nullptr) {
        return protocol::buildAnswer();
    }
    return protocol::buildRefusal();
}

}  // namespace tarnwell::sim
