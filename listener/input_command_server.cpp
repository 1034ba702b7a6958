#include "listener/input_command_server.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
#include "sender_check.h"

namespace tarnwell {

namespace {

constexpr std::chrono::seconds kRetryDelay{2};
// Drops of notifications from other users are logged at most this often: a
// flood of them must not flood the file manager's log as well.
constexpr std::chrono::minutes kDropLogInterval{1};

// The daemon may push a burst (one "refresh_stat" per file of a large folder)
// while a handler runs; the default receive queue holds only a few hundred
// small datagrams, and UDP drops what does not fit. The kernel caps the
// request at its configured maximum.
constexpr int kRequestedReceiveQueueBytes = 4 << 20;

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

// Close-on-exec, so that a program the file manager launches does not inherit
// the listener's port.
int openDatagramSocket(int protocol) {
    return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
}

}  // namespace

InputCommandServer::InputCommandServer(std::uint16_t port)
    : port_(port),
      openWakeSocket_([] { return openDatagramSocket(0); }),
      senderCheck_(std::make_unique<SenderCheck>()) {}

InputCommandServer::~InputCommandServer() {
    stop();
}

void InputCommandServer::setup() {
    running_.store(false);
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
    if (lines.size() < 2 || lines.back() != "done" || lines.front().empty()) {
        return nullptr;
    }
    auto command = std::make_unique<InputCommand>();
    command->name = std::string(lines.front());
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        parseArgumentLine(lines[i], command->args);
    }
    return command;
}

void InputCommandServer::retryPause() {
    MutexLock lock(wakeMutex_);
    lock.waitFor(pauseCondition_, kRetryDelay, [this] { return !running_.load(); });
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

void InputCommandServer::noticeLostDatagrams(int fd, std::uint32_t& droppedByKernel) {
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
    logLine("tarnwell: " + std::to_string(lost) +
            " notifications were lost (the receive queue was full)");
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
    const int queueBytes = kRequestedReceiveQueueBytes;
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

bool InputCommandServer::waitForDatagrams(int fd) {
    pollfd ready{fd, POLLIN, 0};
    // No time-out: stop wakes the wait (its datagram, or the shut-down).
    return retryInterrupted([&] { return ::poll(&ready, 1, -1); }) > 0;
}

// A burst is what the listener drains in one go: it takes the queue's
// datagrams in batches until a batch finds it empty. Only then is the
// kernel's drop counter looked at, so that a flood, during which the kernel
// drops again and again while the listener catches up, is reported once, with
// everything it lost, and the state is made good once, after the last of its
// notifications has been handled.
void InputCommandServer::receiveUntilReopen(int fd) {
    DatagramBatch batch;
    if (!batch.valid()) {
        return;
    }
    // The kernel's count of datagrams it dropped on this socket because the
    // queue was full, as last seen: a new socket starts at zero.
    std::uint32_t droppedByKernel = 0;
    while (running_.load()) {
        if (!waitForDatagrams(fd) || !drainQueue(fd, batch)) {
            // An error: start over with a new socket.
            return;
        }
        noticeLostDatagrams(fd, droppedByKernel);
    }
}

bool InputCommandServer::drainQueue(int fd, DatagramBatch& batch) {
    for (;;) {
        const int received = batch.receive(fd);
        if (received < 0) {
            return false;
        }
        for (int i = 0; i < received; ++i) {
            const std::string_view datagram = batch.datagram(static_cast<std::size_t>(i));
            // An empty datagram is skipped: reopening the socket for it would
            // throw away the notifications queued behind it. Stop's shut-down
            // reads as empty datagrams too, with running_ false already.
            if (!datagram.empty()) {
                dispatch(std::string(datagram), batch.sender(static_cast<std::size_t>(i)));
            }
        }
        batch.releaseLongSlots(received);
        // Only a receive that finds nothing ends the burst: while the
        // handlers of a short batch ran, the queue may have filled up again.
        if (received == 0 || !running_.load()) {
            return true;
        }
    }
}

void InputCommandServer::dispatch(const std::string& datagram, const sockaddr_in& from) {
    std::unique_ptr<InputCommand> command = parseMessage(datagram);
    if (!command) {
        return;
    }
    const auto entry = handlers_.find(command->name);
    // The sender is checked only for notifications that would be handled:
    // garbage and the wake-up byte cost no lookup.
    if (entry == handlers_.end() || !acceptSender(from)) {
        return;
    }
    // The record's own copy keeps the owner alive through the call.
    command->handler = entry->second;
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
    while (running_.load()) {
        UniqueFd socket = openListeningSocket();
        if (!socket.valid()) {
            retryPause();
            continue;
        }
        receiveUntilReopen(socket.get());
        closeSocket(std::move(socket));
    }
}

}  // namespace tarnwell
