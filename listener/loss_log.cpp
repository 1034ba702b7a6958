#include "loss_log.h"

#include <utility>

#include "base/log.h"

namespace tarnwell {

LossLog::LossLog(std::function<std::string(std::uint64_t)> line) : line_(std::move(line)) {}

void LossLog::add(std::uint64_t lost, Clock::time_point now) {
    held_ += lost;
    logIfDue(now);
}

void LossLog::logIfDue(Clock::time_point now) {
    if (held_ > 0 && (!lastLine_ || now - *lastLine_ >= kInterval)) {
        logSum(now);
    }
}

void LossLog::logHeld() {
    if (held_ > 0) {
        logLine(line_(held_));
        held_ = 0;
    }
}

std::optional<LossLog::Clock::time_point> LossLog::due() const {
    if (held_ == 0) {
        return std::nullopt;
    }
    return lastLine_ ? *lastLine_ + kInterval : Clock::time_point{};
}

void LossLog::logSum(Clock::time_point now) {
    logLine(line_(held_));
    held_ = 0;
    lastLine_ = now;
}

}  // namespace tarnwell
