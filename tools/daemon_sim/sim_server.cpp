#include "sim_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "base/posix_io.h"
#include "sim_output.h"
#include "tools_common/event_line.h"

namespace tarnwell::sim {

namespace {

constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
// Where the connections begin in the poll set.
constexpr std::size_t kFirstConnection = 3;

}  // namespace

SimServer::SimServer(const Options& options)
    : breaks_(options.breaks),
      notifier_(options.notifyPort, options.notifyFromFreshSockets, breaks_),
      control_(state_, notifier_),
      requestedPort_(options.port),
      useStdin_(options.readStdin),
      answerDelay_(options.answerDelay) {
    state_.setRoots(options.roots);
    state_.setDefaultStatus(options.defaultStatus);
    for (const auto& [path, text] : options.statuses) {
        long status = 0;
        if (parseStatus(text, status)) {
            state_.setStatus(path, status);
        }
    }
}

SimServer::~SimServer() = default;

bool SimServer::open(std::string& error) {
    listenFd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listenFd_.valid()) {
        error = "cannot create a socket: " + errnoText();
        return false;
    }
    // Lets a restarted daemon take its port back while old connections of
    // the previous run linger in TIME_WAIT; a port someone listens on still
    // fails with EADDRINUSE.
    int one = 1;
    ::setsockopt(listenFd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopbackAddress(requestedPort_);
    if (::bind(listenFd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_.get(), 128) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(requestedPort_) + ": " + errnoText();
        return false;
    }
    socklen_t len = sizeof addr;
    if (::getsockname(listenFd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error = "cannot read the bound port: " + errnoText();
        return false;
    }
    boundPort_ = ntohs(addr.sin_port);

    if (!notifier_.open(error)) {
        return false;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    signalFd_.reset(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signalFd_.valid()) {
        error = "cannot create the signal descriptor: " + errnoText();
        return false;
    }
    return true;
}

int SimServer::run() {
    std::vector<pollfd> fds;
    for (;;) {
        if (!lostOutput().empty()) {
            complain("cannot write to stdout: " + lostOutput());
            return 1;
        }
        buildPollSet(fds);
        if (retryInterrupted([&] { return ::poll(fds.data(), fds.size(), -1); }) < 0) {
            complain("poll failed: " + errnoText());
            return 1;
        }
        if (fds[0].revents != 0 || stopping_) {
            return 0;  // SIGINT or SIGTERM: a clean end
        }
        if (fds[2].revents != 0 && !control_.readFrom(STDIN_FILENO)) {
            return 0;
        }
        if (fds[1].revents != 0) {
            acceptClients();
        }
        serveConnections(fds);
        if (stopping_) {
            return 0;
        }
    }
}

void SimServer::buildPollSet(std::vector<pollfd>& fds) const {
    fds.clear();
    fds.push_back({signalFd_.get(), POLLIN, 0});
    const bool acceptOpen = !acceptPaused_ && connections_.size() < kMaxConnections &&
                            !(breaks_.has(Breakage::Kind::OneAtATime) && !connections_.empty());
    fds.push_back({acceptOpen ? listenFd_.get() : -1, POLLIN, 0});
    fds.push_back({useStdin_ ? STDIN_FILENO : -1, POLLIN, 0});
    for (const auto& c : connections_) {
        short events = 0;
        if (!c->inputClosed && c->out.size() - c->outSent < kMaxPendingOutput) {
            events |= POLLIN;
        }
        if (c->outSent < c->out.size()) {
            events |= POLLOUT;
        }
        fds.push_back({c->fd.get(), events, 0});
    }
}

void SimServer::serveConnections(const std::vector<pollfd>& fds) {
    // Only the connections polled this round; acceptClients appended the new
    // ones after them.
    const std::size_t polled = fds.size() - kFirstConnection;
    for (std::size_t i = 0; i < polled; ++i) {
        Connection& c = *connections_[i];
        const short revents = fds[kFirstConnection + i].revents;
        if (c.closing || revents == 0) {
            continue;
        }
        if (revents & (POLLERR | POLLNVAL)) {
            closeConnection(c);
            continue;
        }
        if (revents & POLLOUT) {
            flush(c);
        }
        if (!c.closing && (revents & (POLLIN | POLLHUP | POLLERR))) {
            readFrom(c);
        }
        if (!c.closing && c.inputClosed && c.outSent == c.out.size()) {
            closeConnection(c);
        }
    }
    const auto gone = std::remove_if(connections_.begin(), connections_.end(),
                                     [](const auto& c) { return c->closing; });
    if (gone != connections_.end()) {
        connections_.erase(gone, connections_.end());
        acceptPaused_ = false;
    }
}

void SimServer::acceptClients() {
    while (connections_.size() < kMaxConnections) {
        int fd = ::accept4(listenFd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The pending client stays in the backlog; poll would report
                // it again at once, so wait until a descriptor is freed.
                complain("cannot accept a client: " + errnoText());
                acceptPaused_ = true;
            }
            return;
        }
        auto c = std::make_unique<Connection>();
        c->fd.reset(fd);
        connections_.push_back(std::move(c));
        emitEvent("connected");
    }
}

void SimServer::readFrom(Connection& c) {
    if (c.inputClosed || c.out.size() - c.outSent >= kMaxPendingOutput) {
        return;
    }
    ssize_t n = ::recv(c.fd.get(), c.input.reserve(kReadChunk), kReadChunk, 0);
    c.input.commit(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return;
        }
        closeConnection(c);  // reset by the peer: nothing left to answer
        return;
    }
    if (n == 0) {
        // The client may have shut down only its sending side and still wait
        // for the answers to what it sent: they are written before closing.
        c.inputClosed = true;
    }
    if (processInput(c)) {
        flush(c);
    }
}

bool SimServer::processInput(Connection& c) {
    Request request;
    std::string why;
    while (!stopping_ && c.out.size() - c.outSent < kMaxPendingOutput &&
           !(c.inputClosed && breaks_.has(Breakage::Kind::CloseAfterAnswer))) {
        const RequestFramer::Result result = c.input.next(request, why);
        if (result == RequestFramer::Result::kNeedMore) {
            break;
        }
        if (result == RequestFramer::Result::kMalformed) {
            complain("closing a connection that sent a malformed request: " + why);
            closeConnection(c);
            return false;
        }
        emitEvent(formatEvent("request", request.name, request.args));
        if (!delayAnswer(request)) {
            stopping_ = true;
            break;
        }
        c.out += breaks_.any() ? breaks_.answer(state_, request)
                               : state_.respond(request.name, request.args);
        if (breaks_.has(Breakage::Kind::CloseAfterAnswer)) {
            c.inputClosed = true;  // closed once the answer is out
            break;
        }
    }
    c.input.compact();
    return true;
}

bool SimServer::delayAnswer(const Request& request) const {
    auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(breaks_.delay(request));
    if (request.name == protocol::kQueryStat) {
        delay += answerDelay_;
    }
    if (delay.count() <= 0) {
        return true;
    }
    // The whole daemon waits, as documented, but on the signal descriptor
    // rather than in a sleep, so that a stop ends the wait. The signal is
    // left pending for run() to see.
    const auto until = std::chrono::steady_clock::now() + delay;
    pollfd signals{signalFd_.get(), POLLIN, 0};
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now);
        const timespec wait{static_cast<time_t>(left.count() / 1'000'000'000),
                            static_cast<long>(left.count() % 1'000'000'000)};
        if (::ppoll(&signals, 1, &wait, nullptr) > 0) {
            return false;
        }
    }
    return true;
}

void SimServer::flush(Connection& c) {
    for (;;) {
        while (c.outSent < c.out.size()) {
            const ssize_t n = retryInterrupted([&] {
                return ::send(c.fd.get(), c.out.data() + c.outSent, c.out.size() - c.outSent,
                              MSG_NOSIGNAL | MSG_DONTWAIT);
            });
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    closeConnection(c);  // the client went away
                }
                return;
            }
            c.outSent += static_cast<std::size_t>(n);
        }
        c.out.clear();
        c.outSent = 0;
        // Requests held back while the output was full are answered now.
        if (!c.input.hasUnscannedInput() || !processInput(c) || c.out.empty()) {
            return;
        }
    }
}

void SimServer::closeConnection(Connection& c) {
    if (c.closing) {
        return;
    }
    c.fd.reset();
    c.closing = true;
    c.input.release();
    c.out.clear();
    c.out.shrink_to_fit();
    emitEvent("disconnected");
}

}  // namespace tarnwell::sim
