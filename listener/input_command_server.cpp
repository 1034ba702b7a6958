#include "listener/input_command_server.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <string_view>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/posix_io.h"
#include "base/wire_format.h"
#include "datagram_batch.h"
#include "listener/copies_folder.h"
#include "listener/notification_relay.h"
#include "listener/sender_check.h"
#include "loss_log.h"
#include "protocol/vocabulary.h"

namespace tarnwell {

namespace {

constexpr std::chrono::seconds kRetryDelay{2};
// Drops of notifications from other users are logged at most this often: a
// flood of them must not flood the file manager's log as well.
constexpr std::chrono::minutes kDropLogInterval{1};

// How soon a copy whose queue was full is told again of a loss.
constexpr int kNewsRetryMilliseconds = 10;

// Close-on-exec, so that a program the file manager launches does not inherit
// the listener's port.
int openDatagramSocket(int protocol) {
    return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
}

}  // namespace

InputCommandServer::InputCommandServer(std::uint16_t port, std::string relayFolder)
    : port_(port),
      relayFolder_(relayFolder.empty() ? copiesFolder(port) : std::move(relayFolder)),
      openWakeSocket_([] { return openDatagramSocket(0); }),
      senderCheck_(std::make_unique<SenderCheck>()),
      lossClock_([] { return std::chrono::steady_clock::now(); }),
      kernelLosses_(std::make_unique<LossLog>([](std::uint64_t lost) {
          return "tarnwell: " + std::to_string(lost) +
                 " notifications were lost (the receive queue was full)";
      })),
      relayedLosses_(std::make_unique<LossLog>([](std::uint64_t) {
          return std::string(
              "tarnwell: notifications were lost before another copy could pass them on");
      })) {}

InputCommandServer::~InputCommandServer() {
    stop();
}

void InputCommandServer::start() {
    if (running_.load()) {
        return;
    }
    running_.store(true);
    thread_ = std::thread(&InputCommandServer::serverThread, this);
}

void InputCommandServer::stop() {
    if (!running_.load()) {
        return;
    }
    running_.store(false);
    {
        // Taking the mutex orders this with the pause's predicate check: a
        // listener about to wait sees running_ false, one already waiting gets
        // the notification.
        MutexLock lock(wakeMutex_);
    }
    pauseCondition_.notify_all();
    listeningCondition_.notify_all();
    wakeListener();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void InputCommandServer::wakeListener() {
    const UniqueFd wakeSocket(openWakeSocket_ ? openWakeSocket_() : -1);
    if (wakeSocket.valid()) {
        const char wakeByte = '\0';
        const sockaddr_in addr = loopbackAddress(port_);
        ::sendto(wakeSocket.get(), &wakeByte, 1, 0, reinterpret_cast<const sockaddr*>(&addr),
                 sizeof addr);
    }
    // The datagram alone does not always arrive: it cannot be sent without a
    // socket, and when another process (a second copy of this plug-in) has
    // bound the same port with SO_REUSEPORT, the kernel may hand it to that
    // socket instead. Shutting the listener's socket down as well makes its
    // receive return 0 once the datagrams already queued have been taken, and
    // the listener then sees running_ false. A listener that has not yet
    // published its socket sees running_ false before its first receive,
    // because running_ was cleared before wakeMutex_ is taken here.
    MutexLock lock(wakeMutex_);
    const int listenerFd = socketFd_.load();
    if (listenerFd >= 0) {
        ::shutdown(listenerFd, SHUT_RDWR);
    }
    const int relayFd = relayFd_.load();
    if (relayFd >= 0) {
        ::shutdown(relayFd, SHUT_RDWR);
    }
}

bool InputCommandServer::acceptSender(const sockaddr_in& from) {
    const auto now = std::chrono::steady_clock::now();
    const SenderCheck::Verdict verdict = senderCheck_->check(from, now);
    if (verdict.accepted()) {
        return true;
    }
    const std::uint64_t count = ++dropped_;
    if (!dropLogged_ || now - lastDropLog_ >= kDropLogInterval) {
        dropLogged_ = true;
        lastDropLog_ = now;
        const std::string sender = verdict.sender == SenderCheck::Sender::Foreign
                                       ? "uid " + std::to_string(verdict.uid)
                                       : "an address other than 127.0.0.1";
        logLine("tarnwell: dropped a notification from " + sender + " (" + std::to_string(count) +
                " so far)");
    }
    return false;
}

void InputCommandServer::setPauseHandler(std::function<void()> handler,
                                         std::chrono::milliseconds pause) {
    onPause_ = std::move(handler);
    pause_ = pause;
}

int InputCommandServer::waitTimeout(const NotificationRelay& relay) const {
    int timeout = relay.owesNews() ? kNewsRetryMilliseconds : -1;
    const auto until = [&timeout](std::chrono::steady_clock::time_point due,
                                  std::chrono::steady_clock::time_point now) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now);
        const int dueIn = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
        timeout = timeout < 0 ? dueIn : std::min(timeout, dueIn);
    };
    if (lastArrival_) {
        until(*lastArrival_ + pause_, std::chrono::steady_clock::now());
    }
    for (const LossLog* losses : {kernelLosses_.get(), relayedLosses_.get()}) {
        if (const auto due = losses->due()) {
            until(*due, lossClock_());
        }
    }
    return timeout;
}

void InputCommandServer::logDueLosses() {
    const auto now = lossClock_();
    kernelLosses_->logIfDue(now);
    relayedLosses_->logIfDue(now);
}

void InputCommandServer::notePause(bool arrived) {
    if (!onPause_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (arrived) {
        lastArrival_ = now;
    } else if (lastArrival_ && now - *lastArrival_ >= pause_) {
        lastArrival_.reset();
        onPause_();
    }
}

void InputCommandServer::setNotificationsLostHandler(std::function<void()> handler) {
    onNotificationsLost_ = std::move(handler);
}

void InputCommandServer::addHandler(const std::string& name,
                                    std::function<void(InputCommand*)> callback,
                                    std::shared_ptr<void> owner) {
    // Erasing first destroys a replaced entry as a whole, owner token before
    // callback, and before the new one exists.
    handlers_.erase(name);
    handlers_.emplace(name, HandlerInfo{std::move(callback), std::move(owner)});
}

std::unique_ptr<InputCommand> InputCommandServer::parseMessage(const std::string& text) {
    // Every line ends with an LF; whatever follows the last LF is not a line.
    std::vector<std::string_view> lines;
    const std::string_view all(text);
    std::size_t begin = 0;
    for (std::size_t lf = all.find('\n'); lf != std::string_view::npos;
         lf = all.find('\n', begin)) {
        lines.push_back(all.substr(begin, lf - begin));
        begin = lf + 1;
    }
    if (lines.size() < 2 || lines.back() != protocol::kEndLine || lines.front().empty()) {
        return nullptr;
    }
    auto command = std::make_unique<InputCommand>();
    command->name = std::string(lines.front());
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        parseArgumentLine(lines[i], command->args);
    }
    return command;
}

void InputCommandServer::retryPause(NotificationRelay& relay) {
    const auto deadline = std::chrono::steady_clock::now() + kRetryDelay;
    // The other copies still pass notifications on while the port cannot be
    // bound; stop shuts the relay's socket down to end the wait.
    while (running_.load() && relay.isOpen() && std::chrono::steady_clock::now() < deadline) {
        pollfd waitFor{relay.fd(), POLLIN, 0};
        const int timeout = waitTimeout(relay);
        const auto until = timeout >= 0 ? std::min(deadline, std::chrono::steady_clock::now() +
                                                                 std::chrono::milliseconds(timeout))
                                        : deadline;
        const int ready = pollUntil(&waitFor, 1, until);
        if (ready < 0) {
            break;  // no wait to be had on the relay: the plain pause below
        }
        if (ready > 0) {
            drainRelay(relay);
        }
        relay.retry();
        notePause(ready > 0);
        logDueLosses();
    }
    MutexLock lock(wakeMutex_);
    lock.waitFor(pauseCondition_,
                 std::chrono::duration_cast<std::chrono::milliseconds>(
                     deadline - std::chrono::steady_clock::now()),
                 [this] { return !running_.load(); });
}

void InputCommandServer::publishRelay(int fd) {
    MutexLock lock(wakeMutex_);
    relayFd_.store(fd);
}

void InputCommandServer::drainRelay(NotificationRelay& relay) {
    const NotificationRelay::Receivers receivers{
        [this](const std::string& datagram) { handleRelayed(datagram); },
        [this] {
            relayedLosses_->add(1, lossClock_());
            if (onNotificationsLost_) {
                onNotificationsLost_();
            }
        }};
    if (!relay.drain(receivers)) {
        const std::string reason = errnoText();
        publishRelay(-1);
        logLine(
            "tarnwell: notifications are not shared with other copies of the plug-in: their "
            "socket failed: " +
            reason);
        relay.close();
    }
}

bool InputCommandServer::waitUntilListening(std::chrono::milliseconds timeout) {
    MutexLock lock(wakeMutex_);
    lock.waitFor(listeningCondition_, timeout,
                 [this]() TARNWELL_REQUIRES(wakeMutex_) { return listening_ || !running_.load(); });
    return listening_ && running_.load();
}

void InputCommandServer::publishSocket(int fd) {
    MutexLock lock(wakeMutex_);
    socketFd_.store(fd);
}

void InputCommandServer::closeSocket(UniqueFd socket) {
    {
        MutexLock lock(wakeMutex_);
        socketFd_.store(-1);
        listening_ = false;
    }
    socket.reset();
}

void InputCommandServer::noticeLostDatagrams(int fd, std::uint32_t& droppedByKernel,
                                             NotificationRelay& relay) {
    std::array<std::uint32_t, SK_MEMINFO_VARS> meminfo{};
    socklen_t length = sizeof meminfo;
    if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo.data(), &length) != 0 ||
        length <= SK_MEMINFO_DROPS * sizeof(std::uint32_t)) {
        return;
    }
    const std::uint32_t count = meminfo[SK_MEMINFO_DROPS];
    if (count == droppedByKernel) {
        return;
    }
    // The counter only grows (and wraps), so the difference is what this
    // burst lost, however often it rose meanwhile.
    const std::uint32_t lost = count - droppedByKernel;
    droppedByKernel = count;
    kernelLosses_->add(lost, lossClock_());
    // The datagrams dropped here were meant for every copy.
    relay.passOnLoss();
    if (onNotificationsLost_) {
        onNotificationsLost_();
    }
}

UniqueFd InputCommandServer::openListeningSocket() {
    UniqueFd socket(openDatagramSocket(IPPROTO_UDP));
    if (!socket.valid()) {
        logLine("tarnwell: UDP socket() failed");
        return socket;
    }
    publishSocket(socket.get());
    // SO_REUSEPORT, not SO_REUSEADDR: a second copy of the plug-in (a second
    // file manager of the same user) still binds the port beside us, but the
    // kernel lets sockets share a port this way only when they belong to the
    // same user. With SO_REUSEADDR any user's socket could bind beside ours
    // and, being the newest, take every datagram.
    const int one = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    const int queueBytes = protocol::kNotifyReceiveQueueBytes;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF, &queueBytes, sizeof queueBytes);

    const sockaddr_in addr = loopbackAddress(port_);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        logLine("tarnwell: UDP bind() failed");
        closeSocket(std::move(socket));
        return UniqueFd();
    }
    {
        MutexLock lock(wakeMutex_);
        listening_ = true;
    }
    listeningCondition_.notify_all();
    logLine("tarnwell: UDP input command server started");
    return socket;
}

// A burst is what the listener drains in one go: it takes the queue's
// datagrams in batches until a receive finds it empty. Only then is the
// kernel's drop counter looked at, so that a flood, during which the kernel
// drops again and again while the listener catches up, is reported once, with
// everything it lost, and the state is made good once, after the last of its
// notifications has been handled.
void InputCommandServer::receiveUntilReopen(int fd, NotificationRelay& relay) {
    DatagramBatch batch;
    if (!batch.valid()) {
        return;
    }
    // The kernel's count of datagrams it dropped on this socket because the
    // queue was full, as last seen: a new socket starts at zero.
    std::uint32_t droppedByKernel = 0;
    while (running_.load()) {
        std::array<pollfd, 2> waitFor{{{fd, POLLIN, 0}, {relay.fd(), POLLIN, 0}}};
        const nfds_t count = relay.isOpen() ? 2 : 1;
        const int timeout = waitTimeout(relay);
        // A signal the host handles may interrupt the wait: that is no fault
        // of the socket, whose queue must not be thrown away.
        if (retryInterrupted([&] { return ::poll(waitFor.data(), count, timeout); }) < 0) {
            return;
        }
        // The other copies' messages first: a greeting read before the next
        // batch makes its sender hear that batch.
        const bool relayed = count == 2 && waitFor[1].revents != 0;
        if (relayed) {
            drainRelay(relay);
        }
        relay.retry();
        if (waitFor[0].revents != 0) {
            if (!drainQueue(fd, batch, relay)) {
                return;  // an error: start over with a new socket
            }
            noticeLostDatagrams(fd, droppedByKernel, relay);
        }
        notePause(relayed || waitFor[0].revents != 0);
        logDueLosses();
    }
}

bool InputCommandServer::drainQueue(int fd, DatagramBatch& batch, NotificationRelay& relay) {
    std::vector<std::unique_ptr<InputCommand>> accepted;
    accepted.reserve(DatagramBatch::kSlots);
    for (;;) {
        const int received = batch.receive(fd);
        if (received < 0) {
            return false;
        }
        for (int i = 0; i < received; ++i) {
            const auto slot = static_cast<std::size_t>(i);
            // An empty datagram is skipped: reopening the socket for it would
            // throw away the notifications queued behind it. Stop's shut-down
            // reads as no datagram, with running_ false already.
            if (batch.datagram(slot).empty()) {
                continue;
            }
            const std::string datagram(batch.datagram(slot));
            if (auto command = accept(datagram, batch.sender(slot))) {
                relay.add(datagram);
                accepted.push_back(std::move(command));
            }
        }
        batch.releaseLongSlots(received);
        // One message per other copy for the whole batch, before the
        // handlers run.
        relay.flush();
        for (auto& command : accepted) {
            run(std::move(command));
        }
        accepted.clear();
        // Only a receive that finds nothing ends the burst: while the
        // handlers of a batch ran, the queue may have filled up again.
        if (received == 0 || !running_.load()) {
            return true;
        }
    }
}

std::unique_ptr<InputCommand> InputCommandServer::accept(const std::string& datagram,
                                                         const sockaddr_in& from) {
    std::unique_ptr<InputCommand> command = parseMessage(datagram);
    if (!command) {
        return nullptr;
    }
    const auto entry = handlers_.find(command->name);
    // The sender is checked only for notifications that would be handled:
    // garbage and the wake-up byte cost no lookup.
    if (entry == handlers_.end() || !acceptSender(from)) {
        return nullptr;
    }
    // The record's own copy keeps the owner alive through the call.
    command->handler = entry->second;
    return command;
}

void InputCommandServer::handleRelayed(const std::string& datagram) {
    std::unique_ptr<InputCommand> command = parseMessage(datagram);
    if (!command) {
        return;
    }
    const auto entry = handlers_.find(command->name);
    if (entry == handlers_.end()) {
        return;
    }
    command->handler = entry->second;
    run(std::move(command));
}

void InputCommandServer::run(std::unique_ptr<InputCommand> command) {
    if (command->handler.callback) {
        command->handler.callback(command.get());
    }
}

// The listener thread. It holds wakeMutex_ only briefly (publishing or
// withdrawing its socket, and during the retry pause), never while it receives
// or runs a handler, and takes no other lock of this class. running_ is read
// before each opening and before each receive; stop clears it first and then
// wakes whichever of the two waits the thread is in.
void InputCommandServer::serverThread() {
    // Set up before the port is bound, so that the other copies know of this
    // one before the kernel may hand it anything to pass on.
    NotificationRelay relay(relayFolder_);
    if (relay.open()) {
        publishRelay(relay.fd());
    }
    while (running_.load()) {
        UniqueFd socket = openListeningSocket();
        if (!socket.valid()) {
            retryPause(relay);
            continue;
        }
        receiveUntilReopen(socket.get(), relay);
        closeSocket(std::move(socket));
    }
    publishRelay(-1);
    // The listener ends: what it still held back is told now, late as it may
    // be, rather than never.
    kernelLosses_->logHeld();
    relayedLosses_->logHeld();
}

}  // namespace tarnwell
