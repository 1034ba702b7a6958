#include "socket_io.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "base/posix_io.h"

namespace tarnwell::socket_io {

bool waitToReceive(int fd, const Deadline& deadline) {
    if (!deadline) {
        return true;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = pollUntil(&p, 1, *deadline);
    if (ready == 0) {
        errno = ETIMEDOUT;
    }
    return ready > 0;
}

ssize_t receiveSome(int fd, char* buffer, std::size_t size, int flags) {
    return retryInterrupted([&] { return ::recv(fd, buffer, size, flags); });
}

bool receiveExactly(int fd, char* buffer, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = receiveSome(fd, buffer, count - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool peerIsQuiet(int fd) {
    // poll looks at the socket without locking it, where a peeking recv takes
    // the socket's lock and walks the receive path: the worker asks before
    // every request, so the cheaper call pays. Bytes, an end of stream and an
    // error all make the socket readable.
    pollfd p{fd, POLLIN, 0};
    return retryInterrupted([&] { return ::poll(&p, 1, 0); }) == 0;
}

Readiness waitReadable(int fd, int wakeFd, std::chrono::milliseconds limit) {
    // poll ignores a negative descriptor.
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int r = pollUntil(p, 2, std::chrono::steady_clock::now() + limit);
    Readiness readiness;
    if (r < 0) {
        // Not a state of the socket; the caller's next look at it decides.
        return readiness;
    }
    readiness.socket = p[0].revents != 0;
    readiness.wake = p[1].revents != 0;
    return readiness;
}

int createEventFd() {
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void signalEventFd(int wakeFd) {
    if (wakeFd < 0) {
        return;
    }
    const std::uint64_t one = 1;
    // Fails only when the counter is about to overflow, which leaves it
    // signalled anyway.
    [[maybe_unused]] const ssize_t n =
        retryInterrupted([&] { return ::write(wakeFd, &one, sizeof one); });
}

void clearEventFd(int wakeFd) {
    std::uint64_t count;
    // Non-blocking: an eventfd already cleared reports EAGAIN.
    [[maybe_unused]] const ssize_t n =
        retryInterrupted([&] { return ::read(wakeFd, &count, sizeof count); });
}

}  // namespace tarnwell::socket_io
