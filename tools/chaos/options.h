// The options of a chaos run, as tarnwell-chaos parses them.
//
// Thread safety: set once by main before the run, then only read.
#ifndef TARNWELL_TOOLS_CHAOS_OPTIONS_H_
#define TARNWELL_TOOLS_CHAOS_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>

#include "chaos_daemon.h"
#include "oracle.h"

namespace tarnwell::chaos {

inline constexpr int kMostCopies = 8;

struct Options {
    double minutes = 3;
    std::optional<std::uint64_t> seed;
    std::string pluginPath = TARNWELL_CHAOS_PLUGIN_PATH;
    std::string pluginLog = "/dev/null";
    std::string treeParent;
    int files = 2000;
    int windowMs = 5000;
    // Copies of the plug-in: one runs in the chaos program's own process;
    // two and more run each in a process of its own.
    int copies = 1;
    Bounds bounds;
    DaemonOptions daemon;
};

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_OPTIONS_H_
