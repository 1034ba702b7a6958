#include "base/posix_io.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <system_error>

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

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

bool writeAll(int fd, std::string_view bytes) {
    // send first: only it takes MSG_NOSIGNAL. A descriptor that is no socket
    // (a pipe, a terminal, a file) says so once, and gets write from then on.
    bool socket = true;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const char* from = bytes.data() + done;
        const std::size_t size = bytes.size() - done;
        ssize_t n = -1;
        if (socket) {
            n = retryInterrupted([&] { return ::send(fd, from, size, MSG_NOSIGNAL); });
            socket = !(n < 0 && errno == ENOTSOCK);
        }
        if (!socket) {
            n = retryInterrupted([&] { return ::write(fd, from, size); });
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAllBy(int fd, std::string_view bytes, std::chrono::steady_clock::time_point deadline) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        pollfd room{fd, POLLOUT, 0};
        const int ready = pollUntil(&room, 1, deadline);
        if (ready <= 0) {
            if (ready == 0) {
                errno = ETIMEDOUT;
            }
            return false;
        }
        const ssize_t n = retryInterrupted([&] {
            return ::send(fd, bytes.data() + done, bytes.size() - done,
                          MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        // Room that poll saw may be gone again by the send.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string errnoText() {
    return std::generic_category().message(errno);
}

std::optional<pid_t> parsePid(std::string_view digits) {
    if (digits.empty() || digits.size() > 10) {
        return std::nullopt;
    }
    long long value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value == 0 || value > std::numeric_limits<pid_t>::max()) {
        return std::nullopt;
    }
    return static_cast<pid_t>(value);
}

}  // namespace tarnwell
