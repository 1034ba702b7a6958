#include "plugin_fill.h"

#include <malloc.h>

#include <string>
#include <vector>

#include "core/wanted_queries.h"

namespace tarnwell::chaos {

namespace {

// As the copies' samples count the heap (stats.cpp).
std::size_t heapBytes() {
    const struct mallinfo2 heap = ::mallinfo2();
    return heap.uordblks + heap.hblkhd;
}

}  // namespace

double heldAnswersKiB(const Tree& tree) {
    // Built first: its buckets for the whole bound are there from the
    // plug-in's start, before any warm-up.
    WantedQueries wanted;
    std::vector<std::string> dropped;
    std::vector<std::string> toSend;
    const auto now = WantedQueries::Clock::now();
    const std::size_t empty = heapBytes();
    // As a flood's "refresh_stat" asks for paths that nobody drew, and the
    // daemon's answers come once its changes have paused.
    for (const std::string& path : tree.paths) {
        wanted.ask(path, WantedQueries::Priority::Unseen, now, dropped);
    }
    while (wanted.size() > 0) {
        toSend.clear();
        wanted.takeToSend(toSend, now, true);
        if (toSend.empty()) {
            break;
        }
        for (const std::string& path : toSend) {
            wanted.finish(path, 0, /*stored=*/false, now);
        }
    }
    dropped = {};
    toSend = {};
    const std::size_t full = heapBytes();
    return full > empty ? static_cast<double>(full - empty) / 1024 : 0;
}

}  // namespace tarnwell::chaos
