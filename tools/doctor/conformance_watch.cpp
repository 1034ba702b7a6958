#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <vector>

#include "base/posix_io.h"
#include "canonical/canonicalize_path.h"
#include "conformance_checks.h"
#include "listener/copies_folder.h"
#include "listener/input_command_server.h"
#include "listener/notification_relay.h"
#include "listener/sender_check.h"
#include "protocol/messages.h"
#include "socket_owner/socket_owner.h"
#include "tools_common/utf8_text.h"

namespace tarnwell::doctor {

namespace {

// The largest datagram UDP carries, so that a longer one is seen whole.
constexpr std::size_t kReceiveBytes = 65536;
// Faults and oddities quoted in the finding; the rest are counted.
constexpr std::size_t kQuoted = 3;

// What was heard during the watch, and what is wrong with it.
struct Heard {
    std::size_t count = 0;
    std::size_t refreshStat = 0;
    std::size_t refreshRoots = 0;
    std::map<long long, std::size_t> perSecond;  // second of the watch -> datagrams
    std::vector<std::string> faults;             // the plug-in cannot use them
    std::size_t faultCount = 0;
    std::vector<std::string> oddities;  // it can, but they do nothing or cost much
    std::size_t oddityCount = 0;
};

void note(std::vector<std::string>& texts, std::size_t& count, std::string text) {
    if (++count <= kQuoted) {
        texts.push_back(std::move(text));
    }
}

// What the plug-in makes of a "refresh_stat".
void judgeRefreshStat(const InputCommand& notification, const std::vector<std::string>& roots,
                      Heard& heard) {
    const std::string* path = protocol::firstValue(notification.args, protocol::kPathKey);
    if (path == nullptr) {
        note(heard.faults, heard.faultCount, "refresh_stat without a path");
    } else if (path->empty() || (*path)[0] != '/') {
        note(heard.faults, heard.faultCount,
             "refresh_stat with the relative path \"" + tools::escapeForLine(*path) +
                 "\", which the plug-in resolves against the file manager's working folder");
    } else if (protocol::rootHolding(roots, canonicalizePath(*path)).empty()) {
        note(heard.oddities, heard.oddityCount,
             "refresh_stat for " + tools::escapeForLine(*path) +
                 ", outside every root: the plug-in ignores it");
    }
}

void judgeDatagram(const std::string& datagram, const std::vector<std::string>& roots,
                   Heard& heard) {
    ++heard.count;
    if (datagram.size() > protocol::kMaxNotificationBytes) {
        note(heard.faults, heard.faultCount,
             "a datagram of " + std::to_string(datagram.size()) + " bytes, over " +
                 std::to_string(protocol::kMaxNotificationBytes));
    }
    const std::unique_ptr<InputCommand> notification = InputCommandServer::parseMessage(datagram);
    if (!notification) {
        note(heard.faults, heard.faultCount,
             "\"" + tools::escapeForLine(datagram.substr(0, 60)) +
                 "\" is not a name line, argument lines and done, each ended by LF");
    } else if (notification->name == protocol::kRefreshStat) {
        ++heard.refreshStat;
        judgeRefreshStat(*notification, roots, heard);
    } else if (notification->name == protocol::kRefreshRoots) {
        ++heard.refreshRoots;
    } else {
        note(heard.oddities, heard.oddityCount,
             "the unknown notification \"" + tools::escapeForLine(notification->name) +
                 "\", which the plug-in ignores");
    }
}

void judgeSender(const SenderCheck::Verdict& verdict, Heard& heard) {
    if (verdict.sender == SenderCheck::Sender::Foreign) {
        note(heard.faults, heard.faultCount,
             "one from a socket of uid " + std::to_string(verdict.uid) +
                 ", neither yours nor root's: the plug-in drops it");
    } else if (verdict.sender == SenderCheck::Sender::OtherAddress) {
        note(heard.faults, heard.faultCount,
             "one from an address other than 127.0.0.1: the plug-in drops it");
    }
}

// The notification port bound beside any copy of the plug-in that comes
// later, as the copies bind it; invalid when it cannot be had.
UniqueFd bindNotifyPort(std::uint16_t port) {
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int one = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    // A burst that arrives while the check reads waits in the kernel's queue.
    const int queueBytes = protocol::kNotifyReceiveQueueBytes;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF, &queueBytes, sizeof queueBytes);
    sockaddr_in address = loopbackAddress(port);
    if (!socket.valid() ||
        ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return UniqueFd();
    }
    return socket;
}

// Nobody holds the port: neither a copy of the plug-in nor anything else.
bool portIsFree(std::uint16_t port) {
    const std::vector<SocketOwner> sockets = udpSocketsOnPort(port);
    return sockets.empty();
}

// Listens for the daemon's notifications as one more copy of the plug-in:
// through the copies' folder, where the copy that holds the port passes each
// one on; and on the port itself only while nobody holds it, passing what it
// hears on to any copy that starts meanwhile, as a copy would. So no file
// manager misses a notification for the check's sake.
class Watcher {
public:
    explicit Watcher(const Conformance& run)
        : run_(run), relay_(copiesFolder(run.options.notifyPort)), buffer_(kReceiveBytes) {}

    void listen();
    const Heard& heard() const { return heard_; }
    bool onPort() const { return own_.valid(); }
    bool inFolder() const { return relay_.isOpen(); }
    const std::string& folder() const { return relay_.folder(); }

private:
    void receiveOwn();
    // Reads what the other copies sent: greetings, and what they pass on.
    void drainRelay();
    void record(const std::string& datagram);

    const Conformance& run_;
    NotificationRelay relay_;
    UniqueFd own_;
    SenderCheck senders_;
    Heard heard_;
    std::vector<char> buffer_;
    Deadline::Clock::time_point start_{};
};

void Watcher::listen() {
    const bool free = portIsFree(run_.options.notifyPort);
    relay_.open();
    if (free) {
        own_ = bindNotifyPort(run_.options.notifyPort);
    }
    start_ = Deadline::Clock::now();
    const auto end = start_ + run_.options.watch;
    for (;;) {
        if (relay_.owesNews()) {
            relay_.retry();
        }
        std::array<pollfd, 2> ready{
            {{own_.get(), POLLIN, 0}, {relay_.isOpen() ? relay_.fd() : -1, POLLIN, 0}}};
        if (pollUntil(ready.data(), ready.size(), end) <= 0) {
            return;
        }
        if (ready[1].revents != 0) {
            drainRelay();
        }
        if (ready[0].revents != 0) {
            receiveOwn();
        }
    }
}

void Watcher::drainRelay() {
    const NotificationRelay::Receivers receivers{[this](const std::string& d) { record(d); }, {}};
    if (relay_.isOpen() && !relay_.drain(receivers)) {
        relay_.close();
    }
}

void Watcher::receiveOwn() {
    for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = retryInterrupted([&] {
            return ::recvfrom(own_.get(), buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                              reinterpret_cast<sockaddr*>(&from), &length);
        });
        if (n < 0) {
            break;
        }
        const std::string datagram(buffer_.data(), static_cast<std::size_t>(n));
        if (datagram.empty()) {
            continue;
        }
        const SenderCheck::Verdict verdict = senders_.check(from, Deadline::Clock::now());
        record(datagram);
        judgeSender(verdict, heard_);
        if (verdict.accepted() && InputCommandServer::parseMessage(datagram)) {
            // A copy that bound the port beside us greeted us before it
            // did, so its greeting is queued before any datagram the kernel
            // hands us instead of it: read first, it is passed this one.
            drainRelay();
            relay_.add(datagram);
        }
    }
    relay_.flush();
}

void Watcher::record(const std::string& datagram) {
    judgeDatagram(datagram, run_.roots, heard_);
    const auto second =
        std::chrono::duration_cast<std::chrono::seconds>(Deadline::Clock::now() - start_);
    ++heard_.perSecond[second.count()];
}

std::string joined(const std::vector<std::string>& texts, std::size_t count) {
    std::string text;
    for (const std::string& each : texts) {
        text += (text.empty() ? "" : "; ") + each;
    }
    // "N others not listed", not "N more": the compiler copies a literal that
    // short from immediates, and lintian reads " mor" in the code as a
    // misspelling.
    return count > texts.size()
               ? text + "; " + std::to_string(count - texts.size()) + " others not listed"
               : text;
}

std::string summary(const Watcher& watcher, const Conformance& run) {
    const Heard& heard = watcher.heard();
    std::size_t peak = 0;
    for (const auto& [second, count] : heard.perSecond) {
        peak = std::max(peak, count);
    }
    const std::string port = "127.0.0.1:" + std::to_string(run.options.notifyPort);
    const std::string via =
        watcher.onPort() ? "heard on " + port + ", which no copy of the plug-in held"
                         : "passed on through " + watcher.folder() + " by the copy that holds " +
                               port + " (it drops malformed ones and other users' unseen)";
    return std::to_string(heard.count) + " heard (" + std::to_string(heard.refreshStat) +
           " refresh_stat, " + std::to_string(heard.refreshRoots) + " refresh_tw_root), at most " +
           std::to_string(peak) + " in one second, " + via;
}

void judgeWatch(const Watcher& watcher, const Conformance& run, Check& check) {
    Heard heard = watcher.heard();
    const auto seconds = static_cast<std::size_t>(run.options.watch.count());
    // Each blanks every emblem of every copy for a moment: to announce the
    // roots, not files.
    if (heard.refreshRoots > 1 + seconds / 10) {
        note(heard.oddities, heard.oddityCount,
             "refresh_tw_root " + std::to_string(heard.refreshRoots) + " times in " +
                 std::to_string(seconds) + " s, and each blanks every emblem");
    }
    check.detailNumber("heard", static_cast<long long>(heard.count));
    check.detailFlag("on_port", watcher.onPort());
    const std::string found = summary(watcher, run);
    if (!watcher.onPort() && !watcher.inFolder()) {
        warn(check, "nothing could be heard: the port is held and the copies' folder cannot be had",
             "run the check as the user whose file manager runs");
    } else if (heard.faultCount > 0) {
        fail(check, found + ": " + joined(heard.faults, heard.faultCount),
             "send each notification as one datagram of at most " +
                 std::to_string(protocol::kMaxNotificationBytes) +
                 " bytes to 127.0.0.1:19081, from a socket of your user or root: the name, "
                 "argument lines, done, each ended by LF; refresh_stat with the absolute, "
                 "canonical path");
    } else if (heard.oddityCount > 0) {
        warn(check, found + ": " + joined(heard.oddities, heard.oddityCount),
             "send refresh_stat for paths in your sync roots, and refresh_tw_root only when the "
             "roots change");
    } else {
        check.found = heard.count == 0 ? found +
                                             " (change a file in a sync folder meanwhile to "
                                             "see some)"
                                       : found;
    }
}

}  // namespace

void watchNotifications(const Conformance& run, Report& report) {
    Watcher watcher(run);
    watcher.listen();
    judgeWatch(
        watcher, run,
        addCheck(report, "notifications",
                 "notifications during " + std::to_string(run.options.watch.count()) + " s"));
}

}  // namespace tarnwell::doctor
