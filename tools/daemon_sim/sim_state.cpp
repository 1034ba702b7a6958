#include "sim_state.h"

#include <algorithm>

#include "canonical/canonicalize_path.h"
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

void SimState::setRoots(std::vector<std::string> roots) {
    roots_ = std::move(roots);
    aliases_.clear();
    for (const std::string& root : roots_) {
        const std::string given = normalizePath(root);
        if (std::string canonical = canonicalizePath(root); !given.empty() && canonical != given) {
            aliases_.push_back({std::move(canonical), given});
        }
    }
}

bool SimState::isInSyncDir(const std::string& path) const {
    return std::any_of(roots_.begin(), roots_.end(),
                       [&](const std::string& root) { return isUnderRoot(path, root); }) ||
           std::any_of(aliases_.begin(), aliases_.end(),
                       [&](const RootAlias& root) { return isUnderRoot(path, root.canonical); });
}

const long* SimState::setStatusOf(const std::string& path) const {
    const std::string normalized = normalizePath(path);
    if (const auto found = statuses_.find(normalized); found != statuses_.end()) {
        return &found->second;
    }
    for (const RootAlias& root : aliases_) {
        if (!isUnderRoot(normalized, root.canonical)) {
            continue;
        }
        const std::string below =
            root.canonical == "/" ? normalized : normalized.substr(root.canonical.size());
        const auto found = statuses_.find(root.given + below);
        if (found != statuses_.end()) {
            return &found->second;
        }
    }
    return nullptr;
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
        const long* status = setStatusOf(*path);
        const long stat = status == nullptr ? defaultStatus_ : *status;
        return protocol::buildAnswer({{protocol::kStatKey, std::to_string(stat)}});
    }
    if (protocol::menuActionWithCommand(name) != nullptr) {
        return protocol::buildAnswer();
    }
    return protocol::buildRefusal();
}

}  // namespace tarnwell::sim
