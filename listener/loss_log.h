// The lines that tell the user notifications were lost, at most one a second.
//
// A big sync sent faster than the listener takes it overflows the receive
// queue again and again: the queue drains many times in one burst, and the
// kernel drops anew after each. The plug-in must make its state good after
// each of these losses, but a line for each (dozens a burst) would bury
// everything else in the file manager's log. So a loss within a second of
// the last line is added to a sum held here, and the next line carries that
// sum: it goes out with the next loss after the second, or, when none comes,
// once the second is over (the listener's wait ends then, see due()). What
// is held when the listener ends is logged then, so that no count is lost.
//
// Thread safety: none; the listener thread owns its instances.
#ifndef TARNWELL_LISTENER_LOSS_LOG_H_
#define TARNWELL_LISTENER_LOSS_LOG_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tarnwell {

class LossLog {
public:
    using Clock = std::chrono::steady_clock;
    // The least time between two lines of one log.
    static constexpr std::chrono::seconds kInterval{1};

    // `line` makes the line for a sum of losses.
    explicit LossLog(std::function<std::string(std::uint64_t lost)> line);

    // Adds `lost` to the sum, and logs the sum when the last line is at
    // least kInterval old (or there was none).
    void add(std::uint64_t lost, Clock::time_point now);
    // Logs the sum held, if any, once kInterval has passed since the last
    // line.
    void logIfDue(Clock::time_point now);
    // Logs the sum held, if any, at once.
    void logHeld();
    // When the sum held is due to be logged; none while nothing is held.
    std::optional<Clock::time_point> due() const;

private:
    void logSum(Clock::time_point now);

    const std::function<std::string(std::uint64_t)> line_;
    // Lost since the last line, not yet logged.
    std::uint64_t held_ = 0;
    std::optional<Clock::time_point> lastLine_;
};

}  // namespace tarnwell

#endif  // TARNWELL_LISTENER_LOSS_LOG_H_
