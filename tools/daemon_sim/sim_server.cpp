#include "sim_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/wire_format.h"

namespace tarnwell::sim {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

std::string errnoText() {
    return std::strerror(errno);
}

// Control arguments: TAB-separated when the line holds a TAB (so values may
// contain spaces), otherwise separated by runs of spaces.
std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    if (text.find('\t') != std::string::npos) {
        std::size_t start = 0;
        for (;;) {
            std::size_t tab = text.find('\t', start);
            words.push_back(text.substr(start, tab - start));
            if (tab == std::string::npos) {
                break;
            }
            start = tab + 1;
        }
        return words;
    }
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') {
            ++i;
        }
        std::size_t end = text.find(' ', i);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > i) {
            words.push_back(text.substr(i, end - i));
        }
        i = end;
    }
    return words;
}

bool parseStatus(const std::string& text, long& status) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    status = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

}  // namespace

SimServer::SimServer(const Options& options)
    : requestedPort_(options.port), notifyPort_(options.notifyPort), useStdin_(options.readStdin) {
    state_.setRoots(options.roots);
    state_.setDefaultStatus(options.defaultStatus);
    for (const auto& [path, text] : options.statuses) {
        long status = 0;
        if (parseStatus(text, status)) {
            state_.setStatus(path, status);
        }
    }
}

SimServer::~SimServer() {
    for (auto& c : connections_) {
        if (c->fd >= 0) {
            ::close(c->fd);
        }
    }
    for (int fd : {listenFd_, notifyFd_, signalFd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool SimServer::open(std::string& error) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        error = "cannot create a socket: " + errnoText();
        return false;
    }
    // Lets a restarted daemon take its port back while old connections of
    // the previous run linger in TIME_WAIT; a port someone listens on still
    // fails with EADDRINUSE.
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(requestedPort_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 128) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(requestedPort_) + ": " + errnoText();
        return false;
    }
    socklen_t len = sizeof addr;
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error = "cannot read the bound port: " + errnoText();
        return false;
    }
    boundPort_ = ntohs(addr.sin_port);

    notifyFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (notifyFd_ < 0) {
        error = "cannot create the notification socket: " + errnoText();
        return false;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    signalFd_ = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd_ < 0) {
        error = "cannot create the signal descriptor: " + errnoText();
        return false;
    }
    stdinOpen_ = useStdin_;
    return true;
}

int SimServer::run() {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({signalFd_, POLLIN, 0});
        const bool acceptOpen = !acceptPaused_ && connections_.size() < kMaxConnections;
        fds.push_back({acceptOpen ? listenFd_ : -1, POLLIN, 0});
        fds.push_back({stdinOpen_ ? STDIN_FILENO : -1, POLLIN, 0});
        constexpr std::size_t kFirstConnection = 3;
        for (const auto& c : connections_) {
            short events = 0;
            if (!c->inputClosed && c->out.size() - c->outSent < kMaxPendingOutput) {
                events |= POLLIN;
            }
            if (c->outSent < c->out.size()) {
                events |= POLLOUT;
            }
            fds.push_back({c->fd, events, 0});
        }

        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            complain("poll failed: " + errnoText());
            return 1;
        }

        if (fds[0].revents != 0) {
            return 0;  // SIGINT or SIGTERM: a clean end
        }
        if (fds[2].revents != 0 && !readStdin()) {
            return 0;
        }
        if (fds[1].revents != 0) {
            acceptClients();
        }
        // Only the connections polled this round; acceptClients appended the
        // new ones after them.
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
}

void SimServer::acceptClients() {
    while (connections_.size() < kMaxConnections) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
        c->fd = fd;
        connections_.push_back(std::move(c));
        emit("connected");
    }
}

void SimServer::readFrom(Connection& c) {
    if (c.inputClosed || c.out.size() - c.outSent >= kMaxPendingOutput) {
        return;
    }
    const std::size_t had = c.in.size();
    c.in.resize(had + kReadChunk);
    ssize_t n = ::recv(c.fd, c.in.data() + had, kReadChunk, 0);
    c.in.resize(had + (n > 0 ? static_cast<std::size_t>(n) : 0));
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
    while (c.out.size() - c.outSent < kMaxPendingOutput) {
        const std::size_t lf = c.in.find('\n', c.scanFrom);
        if (lf == std::string::npos) {
            c.scanFrom = c.in.size();
            if (c.in.size() - c.consumed > kMaxLineBytes) {
                dropMalformed(c, "line longer than " + std::to_string(kMaxLineBytes) + " bytes");
                return false;
            }
            break;
        }
        if (lf - c.consumed > kMaxLineBytes) {
            dropMalformed(c, "line longer than " + std::to_string(kMaxLineBytes) + " bytes");
            return false;
        }
        std::string line = c.in.substr(c.consumed, lf - c.consumed);
        c.consumed = lf + 1;
        c.scanFrom = c.consumed;
        if (!handleLine(c, line)) {
            return false;
        }
    }
    c.in.erase(0, c.consumed);
    c.scanFrom -= c.consumed;
    c.consumed = 0;
    return true;
}

bool SimServer::handleLine(Connection& c, const std::string& line) {
    c.requestBytes += line.size() + 1;
    if (c.requestBytes > kMaxRequestBytes) {
        dropMalformed(c, "request larger than " + std::to_string(kMaxRequestBytes) + " bytes");
        return false;
    }
    if (!c.haveName) {
        // The first line of a request is always its name, even "done".
        c.name = unescapeField(line);
        c.haveName = true;
        return true;
    }
    if (line == "done") {
        emit(formatEvent("request", c.name, c.args));
        c.out += state_.respond(c.name, c.args);
        c.haveName = false;
        c.name.clear();
        c.args.clear();
        c.argLines = 0;
        c.requestBytes = 0;
        return true;
    }
    if (++c.argLines > kMaxResponseLines) {
        dropMalformed(
            c, "request of more than " + std::to_string(kMaxResponseLines) + " argument lines");
        return false;
    }
    if (line.find('\t') == std::string::npos) {
        // A key sent without values.
        c.args[unescapeField(line)].clear();
    } else {
        parseArgumentLine(line, c.args);
    }
    return true;
}

void SimServer::flush(Connection& c) {
    for (;;) {
        while (c.outSent < c.out.size()) {
            ssize_t n = ::send(c.fd, c.out.data() + c.outSent, c.out.size() - c.outSent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
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
        if (c.scanFrom == c.in.size() || !processInput(c) || c.out.empty()) {
            return;
        }
    }
}

void SimServer::dropMalformed(Connection& c, const std::string& why) {
    complain("closing a connection that sent a malformed request: " + why);
    closeConnection(c);
}

void SimServer::closeConnection(Connection& c) {
    if (c.closing) {
        return;
    }
    ::close(c.fd);
    c.fd = -1;
    c.closing = true;
    c.in.clear();
    c.in.shrink_to_fit();
    c.out.clear();
    c.out.shrink_to_fit();
    emit("disconnected");
}

bool SimServer::readStdin() {
    char buf[4096];
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) {
            return true;
        }
        n = 0;
    }
    if (n == 0) {
        stdinOpen_ = false;
        // A last command without a newline still counts.
        if (!stdinBuffer_.empty()) {
            handleControl(std::move(stdinBuffer_));
        }
        return false;
    }
    stdinBuffer_.append(buf, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t lf; (lf = stdinBuffer_.find('\n', start)) != std::string::npos;) {
        std::string line = stdinBuffer_.substr(start, lf - start);
        start = lf + 1;
        if (handleControl(std::move(line)) == ControlResult::kQuit) {
            return false;
        }
    }
    stdinBuffer_.erase(0, start);
    return true;
}

SimServer::ControlResult SimServer::handleControl(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    const std::size_t space = line.find_first_of(" \t");
    const std::string command = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);

    if (command.empty() && rest.empty()) {
        return ControlResult::kContinue;
    }
    if (command == "quit") {
        return ControlResult::kQuit;
    }
    if (command == "set") {
        // The path may contain spaces: the status is the last word.
        const std::size_t last = rest.find_last_of(" \t");
        long status = 0;
        if (last == std::string::npos || last == 0 || !parseStatus(rest.substr(last + 1), status)) {
            complain("bad control command (want: set PATH N): " + line);
            return ControlResult::kContinue;
        }
        const std::string path = rest.substr(0, last);
        state_.setStatus(path, status);
        notify("refresh_stat", {{"path", path}});
        return ControlResult::kContinue;
    }
    if (command == "roots") {
        state_.setRoots(rest.empty() ? std::vector<std::string>{} : splitWords(rest));
        notify("refresh_tw_root", {});
        return ControlResult::kContinue;
    }
    if (command == "notify") {
        std::vector<std::string> words = splitWords(rest);
        if (words.empty() || words.front().empty() || words.size() % 2 != 1) {
            complain("bad control command (want: notify NAME [KEY VALUE]...): " + line);
            return ControlResult::kContinue;
        }
        PairList pairs;
        for (std::size_t i = 1; i + 1 < words.size(); i += 2) {
            pairs.emplace_back(words[i], words[i + 1]);
        }
        notify(words.front(), pairs);
        return ControlResult::kContinue;
    }
    complain("unknown control command: " + line);
    return ControlResult::kContinue;
}

void SimServer::notify(const std::string& name, const PairList& pairs) {
    const std::string datagram = buildDatagram(name, pairs);
    if (datagram.size() > kMaxDatagramBytes) {
        complain("notification of " + std::to_string(datagram.size()) +
                 " bytes is sent, but the plug-in reads only the first " +
                 std::to_string(kMaxDatagramBytes));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(notifyPort_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::sendto(notifyFd_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                 reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        complain("cannot send notification " + name + ": " + errnoText());
        return;
    }
    ArgumentMap args;
    for (const auto& [key, value] : pairs) {
        args[key].push_back(value);
    }
    emit(formatEvent("notify", name, args));
}

void SimServer::emit(const std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void SimServer::complain(const std::string& message) {
    const std::string text = "tarnwell-daemon-sim: " + message + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace tarnwell::sim
