// Receives the daemon's notifications: UDP datagrams on 127.0.0.1:19081,
// parsed and dispatched on the listener thread to the handler registered
// under their name.
//
// Thread safety: addHandler, setup, start, stop and the destructor belong to
// the owner's thread, and addHandler only while the listener is stopped.
// parseMessage is safe on any thread. Handlers run on the listener thread, one
// at a time, and must never call stop.
#ifndef TARNWELL_LISTENER_INPUT_COMMAND_SERVER_H_
#define TARNWELL_LISTENER_INPUT_COMMAND_SERVER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "base/argument_map.h"
#include "base/mutex.h"
#include "base/posix_io.h"

struct sockaddr_in;

namespace tarnwell {

struct InputCommand;
class DatagramBatch;
class SenderCheck;

class InputCommandServer {
public:
    struct HandlerInfo {
        // Declared first so that it is destroyed last: the owner token is
        // released before the callback it protects.
        std::function<void(InputCommand*)> callback;
        std::shared_ptr<void> owner;
    };

    static constexpr std::uint16_t kDefaultPort = 19081;

    // The port is a seam for tests; the plug-in uses the default.
    explicit InputCommandServer(std::uint16_t port = kDefaultPort);
    InputCommandServer(const InputCommandServer&) = delete;
    InputCommandServer& operator=(const InputCommandServer&) = delete;
    ~InputCommandServer();

    void setup();
    void start();
    // Returns only when the listener thread has ended, promptly also while it
    // waits to retry a failed bind.
    void stop() TARNWELL_EXCLUDES(wakeMutex_);

    // Replaces any handler of that name. Only while stopped.
    void addHandler(const std::string& name, std::function<void(InputCommand*)> callback,
                    std::shared_ptr<void> owner);

    // Called on the listener thread when the kernel dropped datagrams because
    // the receive queue was full: a flood outran the listener, and any
    // notification may have been among those lost. Called once the queue has
    // drained, after every notification of the burst has been handled, and
    // once per burst however often the kernel dropped during it. Only while
    // stopped.
    void setNotificationsLostHandler(std::function<void()> handler);

    // The notification in `text`, or null when it is not one.
    static std::unique_ptr<InputCommand> parseMessage(const std::string& text);

    std::uint16_t port() const { return port_; }

    // Any thread: waits until the listener has bound its port. False when it
    // has not within `timeout`, or when the listener is stopped. A datagram
    // sent before the bind is lost, so a sender that must be heard waits here.
    bool waitUntilListening(std::chrono::milliseconds timeout) TARNWELL_EXCLUDES(wakeMutex_);

    // Notifications dropped because they came from a socket of another user
    // (neither ours nor root's) or from an address other than 127.0.0.1. Any
    // thread.
    std::uint64_t droppedNotifications() const { return dropped_.load(); }

private:
    friend struct InputCommandServerTestAccess;

    // Listener thread: opens, binds and publishes the socket until stop.
    void serverThread();
    // Listener thread: a socket bound to the port and published in
    // socketFd_, or none (logged) when it cannot be made.
    UniqueFd openListeningSocket() TARNWELL_EXCLUDES(wakeMutex_);
    // Listener thread: receives and dispatches until stop or until the
    // socket fails.
    void receiveUntilReopen(int fd);
    // Listener thread: waits until a datagram is queued on `fd` (or stop
    // wakes it); false on an error of the socket.
    bool waitForDatagrams(int fd);
    // Listener thread: receives and dispatches in batches until the queue is
    // empty (or stop); false on an error of the socket.
    bool drainQueue(int fd, DatagramBatch& batch);
    // Listener thread: parses one datagram and runs its handler, when it is
    // a notification with a handler from a sender that is no stranger.
    void dispatch(const std::string& datagram, const sockaddr_in& from);
    // Listener thread, once the queue has drained: logs how many datagrams
    // the kernel dropped on `fd` since it last looked (`droppedByKernel`,
    // updated) and calls the lost handler, when it dropped any.
    void noticeLostDatagrams(int fd, std::uint32_t& droppedByKernel);
    // Listener thread: waits up to 2 seconds before the next socket attempt,
    // or less when stop is called meanwhile.
    void retryPause() TARNWELL_EXCLUDES(wakeMutex_);
    // Listener thread: publishes `fd` in socketFd_ (under wakeMutex_).
    void publishSocket(int fd) TARNWELL_EXCLUDES(wakeMutex_);
    // Listener thread: withdraws socketFd_ (under wakeMutex_) and closes it.
    void closeSocket(UniqueFd socket) TARNWELL_EXCLUDES(wakeMutex_);
    // Owner's thread, from stop: makes a listener blocked in its receive
    // return: it sends the wake-up datagram and shuts the listener's socket
    // down, since the datagram may go to another socket on the same port.
    void wakeListener() TARNWELL_EXCLUDES(wakeMutex_);
    // Listener thread, before a notification is handled: false when its
    // sender is known to be a stranger, and then counts the drop and logs it,
    // at most once a minute.
    bool acceptSender(const sockaddr_in& from);

    const std::uint16_t port_;  // constant after construction

    // No lock: written only while stopped, read by the listener thread.
    std::unordered_map<std::string, HandlerInfo> handlers_;
    std::function<void()> onNotificationsLost_;
    std::thread thread_;  // only start, stop and the destructor touch it
    std::atomic<bool> running_{false};
    // The listener's socket while it is open, else -1. Stored and cleared by
    // the listener thread while it holds wakeMutex_, and read by stop under
    // wakeMutex_, so that stop never shuts down a descriptor number that the
    // listener has closed meanwhile and another thread may have reused.
    // Atomic all the same, so that tests may watch it without the lock.
    std::atomic<int> socketFd_{-1};
    // Guards the retry pause's wait (with pauseCondition_) and the
    // publication of socketFd_. Never held across a receive or a handler.
    Mutex wakeMutex_;
    std::condition_variable pauseCondition_;  // used with wakeMutex_
    // True from a successful bind until the socket is withdrawn; guarded by
    // wakeMutex_ and signalled through listeningCondition_.
    bool listening_ TARNWELL_GUARDED_BY(wakeMutex_) = false;
    std::condition_variable listeningCondition_;  // used with wakeMutex_
    // Creates stop's wake-up socket; a seam so that tests can make it fail.
    // Touched only on the owner's thread, while stopped or inside stop.
    std::function<int()> openWakeSocket_;
    // Listener thread only: the verdicts about senders, and when a drop was
    // last logged.
    std::unique_ptr<SenderCheck> senderCheck_;
    std::chrono::steady_clock::time_point lastDropLog_{};
    bool dropLogged_ = false;
    std::atomic<std::uint64_t> dropped_{0};
};

// One notification from the daemon.
struct InputCommand {
    // The first line, byte for byte (not unescaped). Never empty.
    std::string name;
    ArgumentMap args;
    // Copy of the registry entry that dispatches it; empty after parsing.
    InputCommandServer::HandlerInfo handler;
};

}  // namespace tarnwell

#endif  // TARNWELL_LISTENER_INPUT_COMMAND_SERVER_H_
