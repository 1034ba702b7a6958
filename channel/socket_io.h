// The system calls of the channel's connection, each behind one small helper
// that retries it when a signal interrupts it (base/posix_io.h). Private to
// the channel.
//
// All functions are free of shared state and safe on any thread; a descriptor
// is used by one thread at a time (the worker's connection), except the wake-up
// eventfd, which any thread may signal.
#ifndef TARNWELL_CHANNEL_SOCKET_IO_H_
#define TARNWELL_CHANNEL_SOCKET_IO_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>

namespace tarnwell::socket_io {

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// With a deadline: waits until bytes (or the end of stream) are there to be
// read; false with errno ETIMEDOUT when the deadline passes first. Without
// one, true at once: the receive itself waits.
bool waitToReceive(int fd, const Deadline& deadline);

// One recv: what has arrived, up to `size` bytes. 0 is end of stream; < 0 an
// error or the socket's receive time-out.
ssize_t receiveSome(int fd, char* buffer, std::size_t size, int flags = 0);

// Takes exactly `count` bytes that a peek has shown to be waiting.
bool receiveExactly(int fd, char* buffer, std::size_t count);

// Without waiting: true when nothing is waiting on the socket and the peer
// has not closed it. Bytes nobody asked for, an end of stream or an error all
// make it false.
bool peerIsQuiet(int fd);

struct Readiness {
    bool socket = false;  // bytes, end of stream, a reset or an error
    bool wake = false;    // the eventfd was signalled
};
// Waits up to `limit` until the socket has something to report or `wakeFd`
// is signalled. A negative `wakeFd` is not watched.
Readiness waitReadable(int fd, int wakeFd, std::chrono::milliseconds limit);

// A non-blocking, close-on-exec eventfd, or -1.
int createEventFd();
// Any thread.
void signalEventFd(int wakeFd);
// Resets a signalled eventfd, so that the next wait blocks again.
void clearEventFd(int wakeFd);

}  // namespace tarnwell::socket_io

#endif  // TARNWELL_CHANNEL_SOCKET_IO_H_
