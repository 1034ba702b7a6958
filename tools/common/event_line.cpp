#include "tools_common/event_line.h"

#include <algorithm>
#include <vector>

#include "base/wire_format.h"

namespace tarnwell::sim {

std::string formatArgs(const ArgumentMap& args) {
    std::vector<const ArgumentMap::value_type*> sorted;
    sorted.reserve(args.size());
    for (const auto& entry : args) {
        sorted.push_back(&entry);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    std::string text;
    for (const auto* entry : sorted) {
        const std::string key = escapeField(entry->first);
        if (entry->second.empty()) {
            text += " " + key;
        }
        for (const auto& value : entry->second) {
            text += " " + key + "=" + escapeField(value);
        }
    }
    return text;
}

std::string formatEvent(const std::string& kind, const std::string& name, const ArgumentMap& args) {
    return kind + " " + escapeField(name) + formatArgs(args);
}

}  // namespace tarnwell::sim
