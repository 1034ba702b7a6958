#include "channel/daemon_connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace tarnwell {

namespace {

DaemonSocket failed(DaemonSocket::Outcome outcome, int error = 0) {
    DaemonSocket result;
    result.outcome = outcome;
    result.error = error;
    return result;
}

DaemonSocket failedWith(int error) {
    return failed(
        error == ECONNREFUSED ? DaemonSocket::Outcome::Refused : DaemonSocket::Outcome::Failed,
        error);
}

// Waits for a connect in progress on `fd`; 0 once it succeeded, else an
// errno (ETIMEDOUT when the deadline passed first).
int finishConnect(int fd, std::chrono::steady_clock::time_point deadline) {
    pollfd wait{fd, POLLOUT, 0};
    const int ready = pollUntil(&wait, 1, deadline);
    if (ready == 0) {
        return ETIMEDOUT;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

}  // namespace

DaemonSocket connectToDaemon(const std::string& address, std::uint16_t port,
                             std::chrono::steady_clock::time_point deadline) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        return failed(DaemonSocket::Outcome::Failed, EINVAL);
    }
    UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
    if (!sock.valid()) {
        return failedWith(errno);
    }
    const int one = 1;
    ::setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        // An interrupted connect goes on in the background like one in
        // progress.
        if (errno != EINPROGRESS && errno != EINTR) {
            return failedWith(errno);
        }
        const int error = finishConnect(sock.get(), deadline);
        if (error == ETIMEDOUT) {
            return failed(DaemonSocket::Outcome::TimedOut, error);
        }
        if (error != 0) {
            return failedWith(error);
        }
    }
    const int flags = ::fcntl(sock.get(), F_GETFL);
    if (flags < 0 || ::fcntl(sock.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return failedWith(errno);
    }
    DaemonSocket result;
    result.outcome = DaemonSocket::Outcome::Connected;
    result.fd = std::move(sock);
    return result;
}

}  // namespace tarnwell
