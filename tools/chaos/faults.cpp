// The chaos daemon's faults: what it does at random, from the seed, between
// answering the plug-in. Daemon thread only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "base/posix_io.h"
#include "chaos_daemon.h"
#include "protocol/messages.h"

namespace tarnwell::chaos {

namespace {

using namespace std::chrono_literals;

// How often each fault is picked, relative to the others. The two ways of
// sending a notification (closed socket, repeated) are picked per datagram
// instead, in pickSend.
struct Weight {
    Fault fault;
    int weight;
};
constexpr Weight kWeights[] = {
    {Fault::Change, 30}, {Fault::Ghost, 4},         {Fault::Roots, 3}, {Fault::Kill, 1},
    {Fault::Stall, 1},   {Fault::Slow, 2},          {Fault::Cut, 2},   {Fault::Reset, 2},
    {Fault::Garbage, 5}, {Fault::EmptyDatagram, 1}, {Fault::Flood, 1}, {Fault::Calm, 6},
};

// Of the status answers, those followed at once by a change of that status.
constexpr int kRacingChangePercent = 2;
constexpr Millis kLongestStall = 4000ms;
constexpr Millis kLongestDowntime = 1500ms;
// After a flood the plug-in may take this long to work through what it
// received.
constexpr Millis kFloodSettle = 1000ms;

std::string refreshStat(const std::string& path) {
    return protocol::buildNotification(protocol::kRefreshStat, {{protocol::kPathKey, path}});
}

Millis ms(int count) {
    return Millis{count};
}

}  // namespace

void ChaosDaemon::injectFault(TimePoint now) {
    const Fault fault = pickFault();
    auto gap = std::exponential_distribution<double>(
        1.0 / static_cast<double>(options_.meanGap.count()))(rng_);
    nextFault_ = now + Millis{static_cast<long long>(gap)};
    switch (fault) {
        case Fault::Change:
            changeStatuses(now);
            break;
        case Fault::Ghost:
            changeGhosts(now);
            break;
        case Fault::Roots:
            changeRoots(now);
            break;
        case Fault::Kill:
            kill(now);
            break;
        case Fault::Stall:
            stall(now);
            break;
        case Fault::Slow:
            slowDown(now);
            break;
        case Fault::Cut:
            // Done to the next answer (answerDue).
            cutNext_ = true;
            break;
        case Fault::Reset:
            resetConnection(now);
            break;
        case Fault::Garbage:
            sendGarbage(now);
            break;
        case Fault::EmptyDatagram:
            sendEmptyDatagram(now);
            break;
        case Fault::Flood:
            flood(now);
            break;
        default:
            nextFault_ = now + ms(uniform(2000, 4000));
            tellAll(&Oracle::faultInjected, Fault::Calm, now, std::string());
            break;
    }
}

Fault ChaosDaemon::pickFault() {
    int total = 0;
    for (const Weight& w : kWeights) {
        total += enabled(w.fault) ? w.weight : 0;
    }
    int pick = total > 0 ? uniform(0, total - 1) : 0;
    for (const Weight& w : kWeights) {
        if (!enabled(w.fault)) {
            continue;
        }
        if (pick < w.weight) {
            return w.fault;
        }
        pick -= w.weight;
    }
    return Fault::Calm;
}

Send ChaosDaemon::pickSend() {
    const int pick = uniform(0, 99);
    if (pick < 15 && enabled(Fault::ClosedSocket)) {
        return Send::Closed;
    }
    if (pick >= 85 && enabled(Fault::Repeat)) {
        return Send::Repeated;
    }
    return Send::Kept;
}

int ChaosDaemon::randomRow() {
    return uniform(0, static_cast<int>(tree_.rowCount) - 1);
}

int ChaosDaemon::visibleRow() {
    // The copies' windows in turn.
    const std::atomic<int>& first =
        *copies_.firstVisibleRows[nextWindow_++ % copies_.firstVisibleRows.size()];
    const int row = first.load() + uniform(0, kVisibleRows - 1);
    return std::min(row, static_cast<int>(tree_.rowCount) - 1);
}

void ChaosDaemon::changeStatuses(TimePoint now) {
    const int count = uniform(1, 8);
    for (int i = 0; i < count; ++i) {
        const int path = uniform(0, 99) < 60 ? visibleRow() : randomRow();
        const Send how = pickSend();
        const TimePoint t = changeStatus(path);
        // A change outside the current roots is the daemon's own business.
        if (t != kNever && tree_.inRoots(path, rootsMask_)) {
            pushRefreshStat(path, how, t);
        }
    }
    tellAll(&Oracle::faultInjected, Fault::Change, now, std::to_string(count) + " paths");
}

TimePoint ChaosDaemon::changeStatus(int path, std::mt19937_64& rng) {
    const int step = uniform(rng, 1, kStatusCount - 1);
    if (tree_.rootOf[static_cast<std::size_t>(path)] == kOutside) {
        return kNever;
    }
    int& status = status_[static_cast<std::size_t>(path)];
    status = (status + step) % kStatusCount;
    const TimePoint t = Clock::now();
    tellAll(&Oracle::statusChanged, path, status, t);
    return t;
}

void ChaosDaemon::raceAnswer(int path) {
    if (!enabled(Fault::RacingChange) || uniform(timingRng_, 0, 99) >= kRacingChangePercent) {
        return;
    }
    const TimePoint t = changeStatus(path, timingRng_);
    pushRefreshStat(path, Send::Kept, t);
    tellAll(&Oracle::faultInjected, Fault::RacingChange, t, tree_.paths[static_cast<std::size_t>(path)]);
}

void ChaosDaemon::changeGhosts(TimePoint now) {
    const int count = uniform(1, 10);
    const int first = static_cast<int>(tree_.rowCount);
    const int last = static_cast<int>(tree_.paths.size()) - 1;
    for (int i = 0; i < count; ++i) {
        const int path = uniform(first, last);
        const Send how = pickSend();
        const TimePoint t = changeStatus(path);
        if (tree_.inRoots(path, rootsMask_)) {
            pushRefreshStat(path, how, t);
        }
    }
    tellAll(&Oracle::faultInjected, Fault::Ghost, now, std::to_string(count) + " paths never listed");
}

void ChaosDaemon::changeRoots(TimePoint now) {
    const unsigned all = (1U << kRootCandidates) - 1;
    unsigned mask = rootsMask_;
    while (mask == rootsMask_) {
        mask = static_cast<unsigned>(uniform(1, static_cast<int>(all)));
    }
    rootsMask_ = mask;
    tellAll(&Oracle::faultInjected, Fault::Roots, now, std::string());
    tellAll(&Oracle::rootsChanged, mask, now);
    pushRefreshTwRoot(pickSend(), now);
}

void ChaosDaemon::kill(TimePoint now) {
    tellAll(&Oracle::disturbed, now, kNever);
    for (auto& c : connections_) {
        endConnection(*c, false, now);
    }
    closeSockets();
    const int downMs = uniform(0, static_cast<int>(kLongestDowntime.count()));
    restartAt_ = now + ms(downMs);
    stalledUntil_ = slowUntil_ = kNever;
    cutNext_ = false;
    tellAll(&Oracle::faultInjected, Fault::Kill, now, "down for " + std::to_string(downMs) + " ms");
}

void ChaosDaemon::restart(TimePoint now) {
    if (!openSockets()) {
        // The port is not free again yet: try once more in a moment.
        restartAt_ = now + 50ms;
        return;
    }
    restartAt_ = kNever;
    setAllStatuses(now);
    if (uniform(0, 1) == 1) {
        rootsMask_ = static_cast<unsigned>(uniform(1, (1 << kRootCandidates) - 1));
        tellAll(&Oracle::rootsChanged, rootsMask_, now);
    }
    tellAll(&Oracle::note, now, std::string("daemon restarted with other statuses"));
}

void ChaosDaemon::setAllStatuses(TimePoint now) {
    for (std::size_t path = 0; path < tree_.paths.size(); ++path) {
        if (tree_.rootOf[path] == kOutside) {
            continue;
        }
        const int status = uniform(0, kStatusCount - 1);
        if (status != status_[path]) {
            status_[path] = status;
            tellAll(&Oracle::statusChanged, static_cast<int>(path), status, now);
        }
    }
}

void ChaosDaemon::stall(TimePoint now) {
    const int stallMs = uniform(0, static_cast<int>(kLongestStall.count()));
    stalledUntil_ = now + ms(stallMs);
    tellAll(&Oracle::disturbed, now, stalledUntil_);
    tellAll(&Oracle::faultInjected, Fault::Stall, now, std::to_string(stallMs) + " ms");
}

void ChaosDaemon::slowDown(TimePoint now) {
    const int forMs = uniform(1000, 5000);
    slowDelay_ = ms(uniform(5, 300));
    slowUntil_ = now + ms(forMs);
    tellAll(&Oracle::disturbed, now, slowUntil_ + slowDelay_);
    tellAll(&Oracle::faultInjected, 
        Fault::Slow, now,
        std::to_string(slowDelay_.count()) + " ms per answer for " + std::to_string(forMs) + " ms");
}

void ChaosDaemon::resetConnection(TimePoint now) {
    if (connections_.empty()) {
        return;
    }
    // With several copies, any one's; the newest is the one copy's own.
    const std::size_t last = connections_.size() - 1;
    Connection& c =
        copies_.oracles.size() > 1 ? *connections_[static_cast<std::size_t>(uniform(
                                         timingRng_, 0, static_cast<int>(last)))]
                                   : *connections_[last];
    tellHolder(c, &Oracle::disturbed, now, kNever);
    tellAll(&Oracle::faultInjected, Fault::Reset, now, std::string());
    endConnection(c, true, now);
}

void ChaosDaemon::sendGarbage(TimePoint now) {
    const int count = uniform(1, 5);
    const std::string& somePath = tree_.paths[static_cast<std::size_t>(randomRow())];
    for (int i = 0; i < count; ++i) {
        std::string bytes;
        switch (uniform(0, 6)) {
            case 0:
                for (int n = uniform(1, 200); n > 0; --n) {
                    bytes += static_cast<char>(uniform(0, 255));
                }
                break;
            case 1:
                bytes = "frobnicate\npath\t" + somePath + "\ndone\n";
                break;
            case 2:
                bytes = "refresh_stat\npath\t" + somePath + "\n";
                break;
            case 3:
                bytes = "refresh_stat\r\npath\t" + somePath + "\r\ndone\r\n";
                break;
            case 4:
                bytes = std::string(3000, 'x') + "\ndone\n";
                break;
            case 5:
                bytes = refreshStat(tree_.base + "/Elsewhere/nowhere.txt");
                break;
            default:
                bytes = "refresh_stat\ndone\n";
                break;
        }
        sendDatagram(bytes, false);
    }
    tellAll(&Oracle::faultInjected, Fault::Garbage, now, std::to_string(count) + " datagrams");
}

void ChaosDaemon::sendEmptyDatagram(TimePoint now) {
    tellAll(&Oracle::faultInjected, Fault::EmptyDatagram, now,
            std::string("then changes right behind it"));
    sendDatagram(std::string(), false);
    // Changes pushed right behind it: what the listener does with a datagram
    // of no bytes must not cost the notifications that follow.
    for (int i = uniform(1, 3); i > 0; --i) {
        const int path = visibleRow();
        const TimePoint t = changeStatus(path);
        if (t != kNever && tree_.inRoots(path, rootsMask_)) {
            pushRefreshStat(path, Send::Kept, t);
        }
    }
}

void ChaosDaemon::flood(TimePoint now) {
    const int count = uniform(1000, 60000);
    // Every datagram is made (and the truth told) first, then all go out at
    // once: a sender as fast as the kernel lets it is what overflows the
    // listener's queue.
    std::vector<std::string> burst;
    burst.reserve(static_cast<std::size_t>(count));
    tellAll(&Oracle::flooded, now, now + kFloodSettle);
    for (int i = 0; i < count; ++i) {
        const int path = uniform(0, static_cast<int>(tree_.paths.size()) - 1);
        if (!tree_.inRoots(path, rootsMask_)) {
            continue;
        }
        if (uniform(0, 9) == 0) {
            changeStatus(path);
        }
        burst.push_back(refreshStat(tree_.paths[static_cast<std::size_t>(path)]));
        tellAll(&Oracle::refreshSent, path, Send::Kept, Clock::now());
    }
    sendBurst(burst);
    tellAll(&Oracle::faultInjected, Fault::Flood, now, std::to_string(burst.size()) + " refresh_stat");
    tellAll(&Oracle::flooded, now, Clock::now() + kFloodSettle);
    sampleDrops(Clock::now());
}

void ChaosDaemon::sendBurst(const std::vector<std::string>& datagrams) {
    constexpr std::size_t kBatch = 256;
    sockaddr_in addr = loopbackAddress(kNotifyPort);
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    for (std::size_t first = 0; first < datagrams.size(); first += kBatch) {
        const std::size_t n = std::min(kBatch, datagrams.size() - first);
        for (std::size_t i = 0; i < n; ++i) {
            const std::string& d = datagrams[first + i];
            iov[i] = {const_cast<char*>(d.data()), d.size()};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &addr;
            messages[i].msg_hdr.msg_namelen = sizeof addr;
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        ::sendmmsg(notifyFd_.get(), messages.data(), static_cast<unsigned>(n), 0);
    }
}

void ChaosDaemon::pushRefreshStat(int path, Send how, TimePoint now) {
    const std::string bytes = refreshStat(tree_.paths[static_cast<std::size_t>(path)]);
    sendDatagram(bytes, how == Send::Closed);
    if (how == Send::Repeated) {
        for (int n = uniform(timingRng_, 1, 2); n > 0; --n) {
            sendDatagram(bytes, false);
        }
        tellAll(&Oracle::countFault, Fault::Repeat);
    } else if (how == Send::Closed) {
        tellAll(&Oracle::countFault, Fault::ClosedSocket);
    }
    tellAll(&Oracle::refreshSent, path, how, now);
}

void ChaosDaemon::pushRefreshTwRoot(Send how, TimePoint now) {
    const std::string bytes = protocol::buildNotification(protocol::kRefreshRoots);
    // Told before it is sent: a copy may empty its state, and the host draw a
    // path without its emblem, before this thread runs again; a draw judged
    // before the oracle knew of the refresh would count as an answer lost.
    tellAll(&Oracle::rootsRefreshSent, how, now);
    sendDatagram(bytes, how == Send::Closed);
    if (how == Send::Repeated) {
        sendDatagram(bytes, false);
        tellAll(&Oracle::countFault, Fault::Repeat);
    } else if (how == Send::Closed) {
        tellAll(&Oracle::countFault, Fault::ClosedSocket);
    }
}

void ChaosDaemon::sendDatagram(const std::string& bytes, bool closedAtOnce) {
    const sockaddr_in addr = loopbackAddress(kNotifyPort);
    // A socket of its own, closed at once on the way out, or the daemon's.
    UniqueFd fresh(closedAtOnce ? ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1);
    const int fd = closedAtOnce ? fresh.get() : notifyFd_.get();
    if (fd < 0) {
        return;
    }
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&addr),
             sizeof addr);
}

}  // namespace tarnwell::chaos
