#include "base/posix_io.h"

#include <unistd.h>

#include <algorithm>

namespace tarnwell {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) {
        ::close(fd_);
    }
    fd_ = fd;
}

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    // Rounded up, so that a wait never ends just before the deadline and
    // finds nothing; capped at what poll's int takes.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    constexpr long long kMaxPollMs = 1000LL * 60 * 60 * 24;
    return static_cast<int>(std::clamp<long long>(left.count(), 0, kMaxPollMs));
}

int pollUntil(pollfd* fds, nfds_t count, std::chrono::steady_clock::time_point deadline) {
    return retryInterrupted([&] { return ::poll(fds, count, millisecondsLeft(deadline)); });
}

}  // namespace tarnwell
