#include "daemon_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/wire_format.h"

namespace tarnwell::doctor {

DaemonConnection::~DaemonConnection() {
    close();
}

void DaemonConnection::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    buffered_.clear();
}

DaemonConnection::Connect DaemonConnection::connect(std::uint16_t port, const Deadline& deadline,
                                                    std::string& error) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error = std::strerror(errno);
        return Connect::Failed;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ECONNREFUSED) {
            close();
            return Connect::Refused;
        }
        if (errno != EINPROGRESS) {
            error = std::strerror(errno);
            close();
            return Connect::Failed;
        }
        pollfd wait{fd_, POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&wait, 1, deadline.remainingMs());
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            close();
            return Connect::TimedOut;
        }
        int result = 0;
        socklen_t length = sizeof result;
        if (ready < 0 || ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &result, &length) != 0) {
            result = errno;
        }
        if (result != 0) {
            close();
            if (result == ECONNREFUSED) {
                return Connect::Refused;
            }
            error = std::strerror(result);
            return Connect::Failed;
        }
    }
    return Connect::Connected;
}

bool DaemonConnection::nextLine(const Deadline& deadline, std::string& line, std::string& error) {
    for (;;) {
        const std::size_t lf = buffered_.find('\n');
        if (lf != std::string::npos) {
            line.assign(buffered_, 0, lf);
            buffered_.erase(0, lf + 1);
            return true;
        }
        if (buffered_.size() > kMaxLineBytes) {
            error = "an answer line longer than " + std::to_string(kMaxLineBytes) + " bytes";
            return false;
        }
        pollfd wait{fd_, POLLIN, 0};
        const int ready = ::poll(&wait, 1, deadline.remainingMs());
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            error = "no complete answer in time";
            return false;
        }
        char chunk[16 * 1024];
        const ssize_t n = ready < 0 ? -1 : ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            error = n == 0 ? "the daemon closed the connection" : std::strerror(errno);
            return false;
        }
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

bool DaemonConnection::ask(const std::string& name, const ArgumentMap* args,
                           const Deadline& deadline, ArgumentMap& response, std::string& error) {
    response.clear();
    if (fd_ < 0) {
        error = "not connected";
        return false;
    }
    const std::string request = buildRequest(name, args);
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd wait{fd_, POLLOUT, 0};
            if (::poll(&wait, 1, deadline.remainingMs()) > 0) {
                continue;
            }
            error = "the request could not be sent in time";
        } else {
            error = n == 0 ? "the request could not be sent" : std::strerror(errno);
        }
        close();
        return false;
    }

    std::string line;
    bool ok = nextLine(deadline, line, error);
    if (ok && line != "rsp") {
        error = "the answer began with \"" + line.substr(0, 40) + "\" instead of \"rsp\"";
        ok = false;
    }
    std::size_t lines = 0;
    std::size_t bytes = 0;
    while (ok) {
        ok = nextLine(deadline, line, error);
        if (!ok || line == "done") {
            break;
        }
        bytes += line.size();
        if (++lines > kMaxResponseLines || bytes > kMaxResponseBytes) {
            error = "an answer larger than any daemon sends";
            ok = false;
            break;
        }
        parseArgumentLine(line, response);
    }
    if (!ok) {
        response.clear();
        close();
    }
    return ok;
}

}  // namespace tarnwell::doctor
