#include "chaos_daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/posix_io.h"
#include "copy_owner.h"
#include "protocol/messages.h"
#include "protocol/tables.h"
#include "socket_owner/socket_owner.h"

namespace tarnwell::chaos {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
// The daemon looks at the clock at least this often, for its faults.
constexpr Millis kLongestPoll = 20ms;
constexpr Millis kDropSampleInterval = 100ms;
// Before the first fault, the plug-in connects and fills its cache in peace.
constexpr Millis kQuietStart = 1000ms;

}  // namespace

ChaosDaemon::ChaosDaemon(const Tree& tree, Copies copies, const DaemonOptions& options,
                         TimePoint start)
    : tree_(tree),
      copies_(std::move(copies)),
      options_(options),
      start_(start),
      rng_(options.seed),
      timingRng_(options.seed + 1) {}

ChaosDaemon::~ChaosDaemon() {
    stop();
}

bool ChaosDaemon::start(std::string& error) {
    if (!openSockets()) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(kDaemonPort) +
                " (is another daemon or test holding the plug-in's ports?)";
        return false;
    }
    const TimePoint now = Clock::now();
    status_.assign(tree_.paths.size(), kNoStatus);
    setAllStatuses(now);
    rootsMask_ = (1U << kRootCandidates) - 1;
    tellAll(&Oracle::rootsChanged, rootsMask_, now);
    tellAll(&Oracle::note, now, std::string("daemon started"));
    nextFault_ = now + kQuietStart;
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void ChaosDaemon::stop() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
    closeSockets();
}

bool ChaosDaemon::openSockets() {
    listenFd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    notifyFd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!listenFd_.valid() || !notifyFd_.valid()) {
        closeSockets();
        return false;
    }
    // A restart takes the port back while the killed daemon's connections
    // linger in TIME_WAIT.
    const int one = 1;
    ::setsockopt(listenFd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in addr = loopbackAddress(kDaemonPort);
    if (::bind(listenFd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_.get(), 16) != 0) {
        closeSockets();
        return false;
    }
    return true;
}

void ChaosDaemon::closeSockets() {
    listenFd_.reset();
    notifyFd_.reset();
    connections_.clear();
}

// The daemon's thread: faults when they are due, then one poll over the
// listening socket and the connections. While stalled it neither accepts,
// reads nor answers, but still notices a connection the plug-in closes.
void ChaosDaemon::run() {
    while (running_) {
        TimePoint now = Clock::now();
        if (restartAt_ != kNever) {
            if (now >= restartAt_) {
                restart(now);
            }
        } else if (now >= nextFault_) {
            injectFault(now);
        }
        if (now >= lastDropSample_ + kDropSampleInterval) {
            sampleDrops(now);
        }
        const bool stalled = now < stalledUntil_;
        std::vector<pollfd> fds;
        fds.push_back({stalled ? -1 : listenFd_.get(), POLLIN, 0});
        for (const auto& c : connections_) {
            fds.push_back({c->fd.get(), static_cast<short>(stalled ? POLLRDHUP : POLLIN | POLLRDHUP), 0});
        }
        ::poll(fds.data(), fds.size(), pollTimeoutMs(now));
        now = Clock::now();
        if ((fds[0].revents & POLLIN) != 0) {
            acceptConnection(now);
        }
        for (std::size_t i = 0; i + 1 < fds.size() && i < connections_.size(); ++i) {
            Connection& c = *connections_[i];
            const short events = fds[i + 1].revents;
            const bool closedByPeer = (events & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
            if (events != 0 && (stalled ? closedByPeer : !readRequests(c, now))) {
                endConnection(c, false, now);
            }
        }
        for (std::size_t i = 0; !stalled && i < connections_.size(); ++i) {
            answerDue(*connections_[i], now);
        }
        std::erase_if(connections_, [](const auto& c) { return !c->fd.valid(); });
    }
}

int ChaosDaemon::pollTimeoutMs(TimePoint now) const {
    TimePoint wake = now + kLongestPoll;
    wake = std::min(wake, restartAt_ != kNever ? restartAt_ : nextFault_);
    if (stalledUntil_ > now) {
        wake = std::min(wake, stalledUntil_);
    }
    for (const auto& c : connections_) {
        if (!c->answers.empty()) {
            wake = std::min(wake, c->answerDue);
        }
    }
    const auto ms = std::chrono::duration_cast<Millis>(wake - now).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, kLongestPoll.count()));
}

void ChaosDaemon::acceptConnection(TimePoint now) {
    for (;;) {
        const int fd = ::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        auto c = std::make_unique<Connection>();
        c->fd.reset(fd);
        c->copy = copies_.processes.empty() ? 0 : copyHoldingPeer(fd, copies_.processes);
        if (c->copy < 0) {
            tellAll(&Oracle::note, now, std::string("a connection of no known copy accepted"));
        }
        tellHolder(*c, &Oracle::connectionOpened, now);
        connections_.push_back(std::move(c));
    }
}

bool ChaosDaemon::readRequests(Connection& c, TimePoint now) {
    for (;;) {
        char* room = c.framer.reserve(kReadChunk);
        const ssize_t n = ::recv(c.fd.get(), room, kReadChunk, MSG_DONTWAIT);
        c.framer.commit(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (n == 0) {
            return false;
        }
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        sim::Request request;
        std::string why;
        for (;;) {
            const sim::RequestFramer::Result result = c.framer.next(request, why);
            if (result == sim::RequestFramer::Result::kMalformed) {
                return false;
            }
            if (result == sim::RequestFramer::Result::kNeedMore) {
                break;
            }
            receiveRequest(c, request, now);
        }
        c.framer.compact();
    }
}

void ChaosDaemon::receiveRequest(Connection& c, const sim::Request& request, TimePoint now) {
    const std::string* path = protocol::firstValue(request.args, protocol::kPathKey);
    Oracle* const oracle = oracleOf(c);
    if (oracle == nullptr) {
        // A copy that let go of its end before it was accepted.
    } else if (path != nullptr && request.name == protocol::kQueryStat) {
        const auto it = tree_.indexOf.find(*path);
        if (it != tree_.indexOf.end()) {
            oracle->queryReceived(it->second, now);
        }
    } else if (path != nullptr && protocol::menuActionWithCommand(request.name) != nullptr) {
        oracle->actionReceived(request.name, *path, now);
    } else if (request.name == protocol::kGetRoots) {
        oracle->rootsRequested(now);
    }
    if (c.answers.empty()) {
        c.answerDue = now < slowUntil_ ? now + slowDelay_ : now;
    }
    c.answers.push_back(answerFor(request));
}

void ChaosDaemon::answerDue(Connection& c, TimePoint now) {
    while (c.fd.valid() && !c.answers.empty() && now >= c.answerDue) {
        const Answer answer = std::move(c.answers.front());
        c.answers.pop_front();
        const std::size_t size = answer.bytes.size();
        if (cutNext_) {
            // Half an answer, then the connection ends, by a close or a reset.
            cutNext_ = false;
            tellHolder(c, &Oracle::disturbed, now, kNever);
            tellAll(&Oracle::faultInjected, 
                Fault::Cut, now,
                "after " + std::to_string(size / 2) + " of " + std::to_string(size) + " bytes");
            writeAll(c.fd.get(), std::string_view(answer.bytes).substr(0, size / 2));
            endConnection(c, uniform(timingRng_, 0, 1) == 1, now);
            return;
        }
        if (!writeAll(c.fd.get(), answer.bytes)) {
            endConnection(c, false, now);
            return;
        }
        if (answer.path >= 0 && oracleOf(c) != nullptr) {
            oracleOf(c)->queryAnswered(answer.path, answer.status, Clock::now());
        }
        if (answer.path >= 0) {
            raceAnswer(answer.path);
        }
        c.answerDue = now < slowUntil_ ? now + slowDelay_ : now;
    }
}

ChaosDaemon::Answer ChaosDaemon::answerFor(const sim::Request& request) const {
    Answer answer;
    protocol::PairList pairs;
    if (request.name == protocol::kGetRoots) {
        for (int r = 0; r < kRootCandidates; ++r) {
            if ((rootsMask_ & (1U << r)) != 0) {
                pairs.emplace_back(protocol::kPathKey,
                                   tree_.rootCandidates[static_cast<std::size_t>(r)]);
            }
        }
    } else if (const std::string* path = protocol::firstValue(request.args, protocol::kPathKey);
               path != nullptr && request.name == protocol::kQueryStat) {
        const auto it = tree_.indexOf.find(*path);
        // A path outside the roots, or one the daemon does not know, has no
        // status: the answer carries no "stat".
        if (it != tree_.indexOf.end() && tree_.inRoots(it->second, rootsMask_)) {
            answer.path = it->second;
            answer.status = status_[static_cast<std::size_t>(it->second)];
            pairs.emplace_back(protocol::kStatKey, std::to_string(answer.status));
        }
    }
    answer.bytes = protocol::buildAnswer(pairs);
    return answer;
}

void ChaosDaemon::endConnection(Connection& c, bool reset, TimePoint now) {
    if (!c.fd.valid()) {
        return;
    }
    if (reset) {
        // A zero linger time makes close send a reset instead of a FIN.
        const linger abort{1, 0};
        ::setsockopt(c.fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    c.fd.reset();
    tellHolder(c, &Oracle::connectionClosed, now);
}

void ChaosDaemon::sampleDrops(TimePoint now) {
    // Each copy's listener has a socket of its own on the port, whose counter
    // starts at zero with the socket (the listener opens a new one now and
    // then). A datagram dropped on any of them was meant for every copy.
    // Unreadable tables count as no sockets: the next sample starts afresh.
    std::vector<UdpSocketDrops> drops =
        udpDropsOnPort(kNotifyPort).value_or(std::vector<UdpSocketDrops>{});
    std::uint64_t grown = 0;
    for (const UdpSocketDrops& socket : drops) {
        const auto seen =
            std::find_if(dropsSeen_.begin(), dropsSeen_.end(),
                         [&](const UdpSocketDrops& entry) { return entry.inode == socket.inode; });
        const std::uint64_t before = seen == dropsSeen_.end() ? 0 : seen->drops;
        grown += socket.drops > before ? socket.drops - before : 0;
    }
    if (grown > 0 && lastDropSample_ != kNever) {
        tellAll(&Oracle::kernelDropped, grown, lastDropSample_, now);
    }
    dropsSeen_ = std::move(drops);
    lastDropSample_ = now;
}

}  // namespace tarnwell::chaos
