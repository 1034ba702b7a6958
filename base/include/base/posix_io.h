// Descriptors, interrupted calls and deadlines, done one way for every module
// that talks to the kernel: a descriptor has one owner that closes it, a call
// a signal interrupted is made again, and a wait for a descriptor takes what
// is left of a deadline, also after an interruption. Also the few small
// helpers every module and tool would otherwise write again: the loopback
// address, writing a whole buffer, errno's text and a process id read from
// a name.
//
// Thread safety: a UniqueFd belongs to one thread at a time, like the
// descriptor it holds; the functions keep no state and are safe on any thread.
#ifndef TARNWELL_BASE_POSIX_IO_H_
#define TARNWELL_BASE_POSIX_IO_H_

#include <netinet/in.h>
#include <poll.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// 127.0.0.1:`port` (in host order), the address every socket of ours binds,
// connects or sends to.
sockaddr_in loopbackAddress(std::uint16_t port);

// Writes all of `bytes` to `fd`, making a call again after an interruption.
// A socket is written with MSG_NOSIGNAL, so that a peer that has gone away
// fails the write instead of ending the process through SIGPIPE; any other
// descriptor with write. A call that writes nothing or fails (also a
// socket's send time-out) ends it at once: false, with errno saying why.
bool writeAll(int fd, std::string_view bytes);

// The same on a socket without blocking: each wait for room takes no longer
// than `deadline` allows, and one that would pass it fails with errno
// ETIMEDOUT.
bool writeAllBy(int fd, std::string_view bytes, std::chrono::steady_clock::time_point deadline);

// The text of the current errno. std::strerror may share its buffer between
// threads; this does not.
std::string errnoText();

// A process id written as decimal digits and nothing else (a /proc entry's
// name, the first part of a copy's socket name); none for anything else, for
// 0 and for a number too large for a pid.
std::optional<pid_t> parsePid(std::string_view digits);

}  // namespace tarnwell

#endif  // TARNWELL_BASE_POSIX_IO_H_
