// Which paths the host drew in the last moments: what a person has on the
// screen. When notifications were lost, those statuses stay visible while
// they are asked again, and a change announced for one of them is asked
// before changes nobody sees.
//
// The host draws every visible file 60 times a second from several threads,
// so noting a draw must cost next to nothing and never wait: a fixed table of
// stamps indexed by the path's hash, each stamp the time of the last draw in
// coarse ticks, written only when the tick moves on. Two paths may share a
// stamp; a path that was not drawn may then pass as drawn, which costs one
// more query at most, never a wrong emblem.
//
// Thread safety: every operation may be called from any thread at any time;
// the stamps are relaxed atomics and no lock is taken.
#ifndef TARNWELL_CORE_DRAWN_PATHS_H_
#define TARNWELL_CORE_DRAWN_PATHS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarnwell {

class DrawnPaths {
public:
    using Clock = std::chrono::steady_clock;

    // A path drawn at most this long ago counts as drawn recently.
    static constexpr std::chrono::milliseconds kRecently{2000};

    DrawnPaths() : epoch_(Clock::now()) {}

    void note(std::string_view path, Clock::time_point now);
    bool drawnRecently(std::string_view path, Clock::time_point now) const;

private:
    static constexpr std::size_t kStamps = 8192;  // a power of two
    static constexpr std::chrono::milliseconds kTick{64};

    std::atomic<std::uint32_t>& stampOf(std::string_view path) const;
    // Ticks since epoch_, from 1 on: a stamp of 0 was never written.
    std::uint32_t tickAt(Clock::time_point now) const;

    const Clock::time_point epoch_;
    mutable std::array<std::atomic<std::uint32_t>, kStamps> stamps_{};
};

}  // namespace tarnwell

#endif  // TARNWELL_CORE_DRAWN_PATHS_H_
