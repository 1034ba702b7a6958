#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "base/posix_io.h"
#include "canonical/canonicalize_path.h"
#include "conformance_checks.h"
#include "listener/copies_folder.h"
#include "listener/input_command_server.h"
#include "listener/notification_relay.h"
#include "listener/sender_check.h"
#include "notify_order.h"
#include "protocol/messages.h"
#include "socket_owner/socket_owner.h"
#include "watch_sources.h"

namespace tarnwell::doctor {

namespace {

// The largest datagram UDP carries, so that a longer one is seen whole.
constexpr std::size_t kReceiveBytes = 65536;
// Faults and oddities quoted in the finding; the rest are counted.
constexpr std::size_t kQuoted = 3;
// How much of a datagram the plug-in cannot use is quoted.
constexpr std::size_t kQuotedBytes = 80;
// Finding who holds the port reads every process's descriptors.
constexpr std::chrono::seconds kHolderSearch{2};

// What was heard during the watch, and what is wrong with it.
struct Heard {
    std::size_t count = 0;
    std::size_t refreshStat = 0;
    std::size_t refreshRoots = 0;
    std::size_t passedOn = 0;  // of count: passed on by a copy, after it filtered them
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

// The report escapes control bytes (LF as \n) when it prints the finding.
std::string quoted(const std::string& bytes) {
    return "\"" + bytes.substr(0, kQuotedBytes) + (bytes.size() > kQuotedBytes ? "...\"" : "\"");
}

// What the plug-in makes of the path of a "refresh_stat": a URL's part from
// the first "/" behind "://" (host dropped, nothing decoded); a relative
// path resolved against the file manager's working folder where it exists
// there, else taken as lying under "/". The path the plug-in then asks
// about, when it is in a root and the check can tell it; else empty.
std::string judgePath(const std::string& path, const std::vector<std::string>& roots,
                      Heard& heard) {
    const std::string taken(stripUrlPrefix(path));
    const bool url = path.find("://") != std::string::npos && taken[0] == '/';
    std::string canonical = taken.empty() || taken[0] != '/' ? "" : canonicalizePath(taken);
    if (taken.empty() || taken[0] != '/') {
        note(heard.faults, heard.faultCount,
             "refresh_stat with the relative path " + quoted(path) +
                 ", which the plug-in resolves against the file manager's working folder "
                 "(under / when it is not found there)");
    } else if (url && taken.find('%') != std::string::npos) {
        note(heard.faults, heard.faultCount,
             "refresh_stat with the URL " + quoted(path) + ", which the plug-in takes for " +
                 quoted(taken) + ", %-escapes and all: it decodes nothing");
    } else if (protocol::rootHolding(roots, canonical).empty()) {
        note(heard.oddities, heard.oddityCount,
             "refresh_stat for " + path + ", outside every root: the plug-in ignores it");
    } else {
        if (url) {
            note(heard.oddities, heard.oddityCount,
                 "refresh_stat with the URL " + quoted(path) + ", which the plug-in takes for " +
                     quoted(taken) + " (any host part dropped): send the path itself");
        }
        return canonical;
    }
    return {};
}

// The path the plug-in asks about for the datagram, or empty (see judgePath).
std::string judgeDatagram(const std::string& datagram, const std::vector<std::string>& roots,
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
             quoted(datagram) +
                 ", not a name line, argument lines and done, each ended by LF: the plug-in "
                 "drops it");
    } else if (notification->name == protocol::kRefreshStat) {
        ++heard.refreshStat;
        const std::string* path = protocol::firstValue(notification->args, protocol::kPathKey);
        if (path == nullptr) {
            note(heard.faults, heard.faultCount,
                 "refresh_stat without a path: " + quoted(datagram));
        } else {
            return judgePath(*path, roots, heard);
        }
    } else if (notification->name == protocol::kRefreshRoots) {
        ++heard.refreshRoots;
    } else {
        note(heard.faults, heard.faultCount,
             quoted(datagram) + ", named " + quoted(notification->name) +
                 ", which is neither refresh_stat nor refresh_tw_root: the plug-in drops it");
    }
    return {};
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

std::string pidList(const std::vector<pid_t>& pids) {
    std::string text;
    for (const pid_t pid : pids) {
        text += (text.empty() ? "pid " : ", ") + std::to_string(pid);
    }
    return text;
}

// Where the watch hears the daemon from, best first.
enum class Vantage {
    Wire,    // a raw socket: every datagram as the daemon sent it
    Port,    // the port, which nobody held: every datagram until a copy binds it too
    Copies,  // the copies' folders: only what they passed on, after they filtered it
    Nothing,
};

// Listens for the daemon's notifications without taking one from a file
// manager: on the wire when it may; else on the port while nobody holds it,
// passing what it hears on to any copy that starts meanwhile, as a copy
// would; else in the folders where the copies that hold the port pass on
// what the kernel hands them, found whatever XDG_RUNTIME_DIR they run with.
// A folder it had to make is removed when it leaves.
class Watcher {
public:
    explicit Watcher(const Conformance& run) : run_(run), buffer_(kReceiveBytes) {}
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    ~Watcher() { leave(); }

    void listen();
    const Heard& heard() const { return heard_; }
    Vantage vantage() const { return vantage_; }
    // A copy of the plug-in bound the port beside the check (Port only).
    bool copyJoined() const { return copyJoined_; }
    const std::string& whyNoWire() const { return whyNoWire_; }
    const std::vector<pid_t>& holders() const { return holders_; }
    const std::vector<CopiesFolderInUse>& folders() const { return inUse_; }
    // The paths followed to see whether each status was stored before its
    // notification; null before listen().
    const NotifyOrder* order() const { return order_.get(); }

private:
    void choose();
    void join(const std::string& folder);
    void leave();
    void receiveWire();
    void receiveOwn();
    void drainRelays();
    void record(const std::string& datagram);

    const Conformance& run_;
    WireTap tap_;
    UniqueFd own_;
    std::vector<std::unique_ptr<NotificationRelay>> relays_;
    std::vector<std::string> made_;  // folders that did not exist before the check
    std::vector<pid_t> holders_;
    std::vector<CopiesFolderInUse> inUse_;
    Vantage vantage_ = Vantage::Nothing;
    bool copyJoined_ = false;
    std::string whyNoWire_;
    SenderCheck senders_;
    Heard heard_;
    std::vector<char> buffer_;
    Deadline::Clock::time_point start_{};
    Deadline::Clock::time_point end_{};
    std::unique_ptr<NotifyOrder> order_;
};

void Watcher::choose() {
    const std::uint16_t port = run_.options.notifyPort;
    holders_ = processesOnPort(port, Deadline(kHolderSearch));
    inUse_ = copiesFoldersInUse(port, holders_);
    if (run_.options.wireTap && tap_.open(port)) {
        vantage_ = Vantage::Wire;
        return;
    }
    whyNoWire_ = run_.options.wireTap ? tap_.why() : "the wire was not to be tapped";
    if (portIsFree(port)) {
        own_ = bindNotifyPort(port);
        if (own_.valid()) {
            join(copiesFolder(port));
            vantage_ = Vantage::Port;
            return;
        }
    }
    for (const CopiesFolderInUse& inUse : inUse_) {
        join(inUse.folder);
    }
    vantage_ = relays_.empty() ? Vantage::Nothing : Vantage::Copies;
}

void Watcher::join(const std::string& folder) {
    struct stat info {};
    const bool existed = ::lstat(folder.c_str(), &info) == 0;
    auto relay = std::make_unique<NotificationRelay>(folder);
    const bool opened = relay->open();
    if (!existed && ::lstat(folder.c_str(), &info) == 0) {
        made_.push_back(folder);
    }
    if (opened) {
        relays_.push_back(std::move(relay));
    }
}

// rmdir removes only an empty folder: one a copy started in meanwhile stays.
void Watcher::leave() {
    relays_.clear();
    own_.reset();
    for (const std::string& folder : made_) {
        ::rmdir(folder.c_str());
    }
    made_.clear();
}

void Watcher::listen() {
    choose();
    start_ = Deadline::Clock::now();
    end_ = start_ + run_.options.watch;
    order_ = std::make_unique<NotifyOrder>(run_, start_);
    for (;;) {
        // Past the end only to give the paths followed their second look,
        // and the daemon its grace to announce what that look found.
        const auto until = std::max(end_, order_->settledAt());
        if (Deadline::Clock::now() >= until) {
            break;
        }
        std::vector<pollfd> ready{{tap_.fd(), POLLIN, 0}, {own_.get(), POLLIN, 0}};
        for (const auto& relay : relays_) {
            if (relay->owesNews()) {
                relay->retry();
            }
            ready.push_back({relay->isOpen() ? relay->fd() : -1, POLLIN, 0});
        }
        const int polled =
            pollUntil(ready.data(), ready.size(), std::min(until, order_->nextDue()));
        if (polled < 0) {
            break;
        }
        order_->lookAgain();
        if (polled == 0) {
            continue;
        }
        if (std::any_of(ready.begin() + 2, ready.end(),
                        [](const pollfd& p) { return p.revents; })) {
            drainRelays();
        }
        if (ready[0].revents != 0) {
            receiveWire();
        }
        if (ready[1].revents != 0) {
            receiveOwn();
        }
    }
    copyJoined_ = vantage_ == Vantage::Port &&
                  (heard_.passedOn > 0 || (!relays_.empty() && relays_[0]->copiesKnown() > 0));
    leave();
}

void Watcher::drainRelays() {
    const NotificationRelay::Receivers receivers{[this](const std::string& datagram) {
                                                     ++heard_.passedOn;
                                                     record(datagram);
                                                 },
                                                 {}};
    for (const auto& relay : relays_) {
        if (relay->isOpen() && !relay->drain(receivers)) {
            relay->close();
        }
    }
}

void Watcher::receiveWire() {
    std::string datagram;
    sockaddr_in from{};
    while (tap_.receive(datagram, from)) {
        // Empty, or the one zero byte a copy of the plug-in sends itself to
        // wake its listener as it stops: not the daemon's.
        if (datagram.empty() || datagram == std::string(1, '\0')) {
            continue;
        }
        judgeSender(senders_.check(from, Deadline::Clock::now()), heard_);
        record(datagram);
    }
}

void Watcher::receiveOwn() {
    NotificationRelay* relay = relays_.empty() ? nullptr : relays_.front().get();
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
        if (relay != nullptr && verdict.accepted() && InputCommandServer::parseMessage(datagram)) {
            // A copy that bound the port beside us greeted us before it
            // did, so its greeting is queued before any datagram the kernel
            // hands us instead of it: read first, it is passed this one.
            drainRelays();
            relay->add(datagram);
        }
    }
    if (relay != nullptr) {
        relay->flush();
    }
}

void Watcher::record(const std::string& datagram) {
    const auto now = Deadline::Clock::now();
    const std::string path = judgeDatagram(datagram, run_.roots, heard_);
    if (!path.empty()) {
        order_->heard(path, now < end_);
    }
    const auto second = std::chrono::duration_cast<std::chrono::seconds>(now - start_);
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

// The folders the copies that hold the port meet in, and, where this
// check's environment names another, that one.
std::string foldersFound(const Watcher& watcher, const Conformance& run) {
    const std::string ours = copiesFolder(run.options.notifyPort);
    std::string text;
    bool elsewhere = false;
    for (const CopiesFolderInUse& inUse : watcher.folders()) {
        text += (text.empty() ? "" : ", ") + inUse.folder + " (" + pidList(inUse.pids) + ")";
        elsewhere = elsewhere || inUse.folder != ours;
    }
    return elsewhere ? text + ", found through /proc: this check's XDG_RUNTIME_DIR gives " + ours
                     : text;
}

std::string heardFrom(const Watcher& watcher, const Conformance& run) {
    const std::string port = "127.0.0.1:" + std::to_string(run.options.notifyPort);
    switch (watcher.vantage()) {
        case Vantage::Wire:
            return "heard on the wire, before any copy of the plug-in read them (" +
                   (watcher.holders().empty() ? "nobody held " + port
                                              : port + " held by " + pidList(watcher.holders())) +
                   ")";
        case Vantage::Port:
            return "heard on " + port + ", which no copy of the plug-in held" +
                   (watcher.copyJoined()
                        ? " until a copy bound it too: from then on part was heard only as that "
                          "copy passed it on, filtered"
                        : "");
        case Vantage::Copies:
            return "passed on, filtered, by the copies of the plug-in that hold " + port +
                   " through " + foldersFound(watcher, run);
        case Vantage::Nothing:
            break;
    }
    return "nothing heard";
}

std::string summary(const Watcher& watcher, const Conformance& run) {
    const Heard& heard = watcher.heard();
    std::size_t peak = 0;
    for (const auto& [second, count] : heard.perSecond) {
        peak = std::max(peak, count);
    }
    return std::to_string(heard.count) + " heard (" + std::to_string(heard.refreshStat) +
           " refresh_stat, " + std::to_string(heard.refreshRoots) + " refresh_tw_root), at most " +
           std::to_string(peak) + " in one second, " + heardFrom(watcher, run);
}

// Oddities of the whole watch rather than of one datagram.
void noteOddities(const Watcher& watcher, const Conformance& run, Heard& heard) {
    const auto seconds = static_cast<std::size_t>(run.options.watch.count());
    // Each blanks every emblem of every copy for a moment: to announce the
    // roots, not files.
    if (heard.refreshRoots > 1 + seconds / 10) {
        note(heard.oddities, heard.oddityCount,
             "refresh_tw_root " + std::to_string(heard.refreshRoots) + " times in " +
                 std::to_string(seconds) + " s, and each blanks every emblem");
    }
    // Copies started with different XDG_RUNTIME_DIR values never pass
    // notifications to each other: each misses what the kernel hands the rest.
    if (watcher.folders().size() > 1) {
        note(heard.oddities, heard.oddityCount,
             "the copies of the plug-in meet in " + std::to_string(watcher.folders().size()) +
                 " folders, " + foldersFound(watcher, run) +
                 ", and pass nothing on from one to another (start the file managers with one "
                 "XDG_RUNTIME_DIR)");
    }
}

std::string heardNothing(const Watcher& watcher, const Conformance& run) {
    const std::string port = "127.0.0.1:" + std::to_string(run.options.notifyPort);
    return "nothing could be heard: " + watcher.whyNoWire() + ", and " + port + " is held by " +
           (watcher.holders().empty()
                ? "a process of another user, or one this check cannot see"
                : pidList(watcher.holders()) + ", which pass nothing on through a copies' folder");
}

void judgeWatch(const Watcher& watcher, const Conformance& run, Check& check) {
    Heard heard = watcher.heard();
    noteOddities(watcher, run, heard);
    static const char* const kFrom[] = {"wire", "port", "copies", "nothing"};
    check.detail("heard_from", kFrom[static_cast<int>(watcher.vantage())]);
    check.detailNumber("heard", static_cast<long long>(heard.count));
    check.detailFlag("on_port", watcher.vantage() == Vantage::Port);
    const std::string found = summary(watcher, run);
    const bool filtered = watcher.vantage() == Vantage::Copies || watcher.copyJoined();
    if (watcher.vantage() == Vantage::Nothing) {
        warn(check, heardNothing(watcher, run),
             "run the check as root, which taps the wire, or as the user whose file manager runs");
    } else if (heard.faultCount > 0) {
        fail(check, found + ": " + joined(heard.faults, heard.faultCount),
             "send each notification as one datagram of at most " +
                 std::to_string(protocol::kMaxNotificationBytes) +
                 " bytes to 127.0.0.1:19081, from a socket of your user or root: refresh_stat or "
                 "refresh_tw_root, argument lines, done, each ended by LF; refresh_stat with the "
                 "absolute, canonical path");
    } else if (filtered) {
        // What a copy drops is never passed on: a pass here would vouch for
        // datagrams the check never saw.
        warn(check,
             found + "; not judged: " + watcher.whyNoWire() +
                 ", so the daemon's datagrams reached the check only after a copy of the "
                 "plug-in dropped the malformed ones and those of an unknown name" +
                 (heard.oddityCount > 0 ? "; " + joined(heard.oddities, heard.oddityCount) : ""),
             "run the check as root, which taps the wire, or while no file manager runs");
    } else if (heard.oddityCount > 0) {
        warn(check, found + ": " + joined(heard.oddities, heard.oddityCount),
             "send refresh_stat with paths in your sync roots, and refresh_tw_root only when the "
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
    watcher.order()->judge(
        addCheck(report, "notify_after_store", "each status stored before its refresh_stat"));
}

}  // namespace tarnwell::doctor
