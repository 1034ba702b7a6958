#include "core/drawn_paths.h"

#include <functional>

namespace tarnwell {

std::atomic<std::uint32_t>& DrawnPaths::stampOf(std::string_view path) const {
    return stamps_[std::hash<std::string_view>()(path) & (kStamps - 1)];
}

std::uint32_t DrawnPaths::tickAt(Clock::time_point now) const {
    return static_cast<std::uint32_t>((now - epoch_) / kTick) + 1;
}

void DrawnPaths::note(std::string_view path, Clock::time_point now) {
    std::atomic<std::uint32_t>& stamp = stampOf(path);
    const std::uint32_t tick = tickAt(now);
    // Written once a tick at most: a line that every draw wrote would move
    // between the host's threads at every call.
    if (stamp.load(std::memory_order_relaxed) != tick) {
        stamp.store(tick, std::memory_order_relaxed);
    }
}

bool DrawnPaths::drawnRecently(std::string_view path, Clock::time_point now) const {
    const std::uint32_t stamp = stampOf(path).load(std::memory_order_relaxed);
    // Unsigned arithmetic: the ticks wrap after about eight years, and a stamp from the
    // future (another thread's clock read a moment later) is recent too.
    return stamp != 0 && static_cast<std::int32_t>(tickAt(now) - stamp) <=
                             static_cast<std::int32_t>(kRecently / kTick);
}

}  // namespace tarnwell
