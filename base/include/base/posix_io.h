// Descriptors, interrupted calls and deadlines, done one way for every module
// that talks to the kernel: a descriptor has one owner that closes it, a call
// a signal interrupted is made again, and a wait for a descriptor takes what
// is left of a deadline, also after an interruption.
//
// Thread safety: a UniqueFd belongs to one thread at a time, like the
// descriptor it holds; the functions keep no state and are safe on any thread.
#ifndef TARNWELL_BASE_POSIX_IO_H_
#define TARNWELL_BASE_POSIX_IO_H_

#include <poll.h>

#include <cerrno>
#include <chrono>

namespace tarnwell {

// Owns one descriptor and closes it once: on destruction, reset or move
// assignment. close is never retried: on Linux the descriptor is gone even
// when close reports EINTR, and its number may already be another thread's.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // Hands the descriptor over without closing it.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// Calls `call` again while it fails with EINTR and returns its last result.
// A call with a time limit must work out what is left of it on each call
// (pollUntil does).
template <typename Call>
auto retryInterrupted(Call call) {
    for (;;) {
        const auto result = call();
        if (!(result < 0 && errno == EINTR)) {
            return result;
        }
    }
}

// What is left of the time up to `deadline` in whole milliseconds, for poll:
// never negative.
int millisecondsLeft(std::chrono::steady_clock::time_point deadline);

// poll until `deadline`: > 0 ready, 0 the deadline passed, < 0 an error
// (errno). An interrupted poll goes on with the time that is left.
int pollUntil(pollfd* fds, nfds_t count, std::chrono::steady_clock::time_point deadline);

}  // namespace tarnwell

#endif  // TARNWELL_BASE_POSIX_IO_H_
