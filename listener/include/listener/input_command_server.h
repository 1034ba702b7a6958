// Receives the daemon's notifications: UDP datagrams on 127.0.0.1:19081,
// parsed and dispatched on the listener thread to the handler registered
// under their name. Every copy of the plug-in the user runs binds the port,
// and the kernel hands each datagram to one of them: the copy that gets one
// passes it on to the others (see listener/notification_relay.h), so that
// every copy hears every notification.
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
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/argument_map.h"
#include "base/mutex.h"
#include "base/posix_io.h"
#include "protocol/vocabulary.h"

struct sockaddr_in;

namespace tarnwell {

struct InputCommand;
class DatagramBatch;
class LossLog;
class NotificationRelay;
class SenderCheck;

class InputCommandServer {
public:
    struct HandlerInfo {
        // Declared first so that it is destroyed last: the owner token is
        // released before the callback it protects.
        std::function<void(InputCommand*)> callback;
        std::shared_ptr<void> owner;
    };

    static constexpr std::uint16_t kDefaultPort = protocol::kNotifyPort;

    // The port and the folder shared with the other copies are seams for
    // tests; the plug-in uses the default port, and an empty folder means the
    // one the environment gives (copiesFolder).
    explicit InputCommandServer(std::uint16_t port = kDefaultPort, std::string relayFolder = {});
    InputCommandServer(const InputCommandServer&) = delete;
    InputCommandServer& operator=(const InputCommandServer&) = delete;
    ~InputCommandServer();

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
    // Called on the listener thread once no notification has come for
    // `pause` after some did (from the daemon or passed on by another copy):
    // the daemon paused, or a burst of notifications ended. Only while
    // stopped.
    void setPauseHandler(std::function<void()> handler, std::chrono::milliseconds pause);

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
    // Listener thread: receives and dispatches, from the port and from the
    // other copies, until stop or until the socket fails (an error, or the
    // shutdown by stop).
    void receiveUntilReopen(int fd, NotificationRelay& relay);
    // Listener thread: takes the port's queue in batches until it is empty
    // (or stop): the notifications of each batch are passed on to the other
    // copies at once and then handled. False when the socket failed.
    bool drainQueue(int fd, DatagramBatch& batch, NotificationRelay& relay);
    // Listener thread: the notification in a daemon datagram, with its
    // handler, when it is one with a handler from a sender that is no
    // stranger; else null.
    std::unique_ptr<InputCommand> accept(const std::string& datagram, const sockaddr_in& from);
    // Listener thread: what another copy passed on: handled, never passed on
    // again, and its sender was checked by the copy that received it.
    void handleRelayed(const std::string& datagram);
    // Listener thread: runs the handler copied into `command`.
    static void run(std::unique_ptr<InputCommand> command);
    // Listener thread: reads what the other copies sent; gives the relay up
    // (it then stays closed) when its socket failed.
    void drainRelay(NotificationRelay& relay);
    // Listener thread, once the queue has drained: logs how many datagrams
    // the kernel dropped on `fd` since it last looked (`droppedByKernel`,
    // updated), at most one line a second (listener/loss_log.h), tells the
    // other copies, and calls the lost handler, when it dropped any.
    void noticeLostDatagrams(int fd, std::uint32_t& droppedByKernel, NotificationRelay& relay);
    // Listener thread: the poll timeout in milliseconds (-1: none) that ends
    // the wait when the pause handler, the other copies' news or a held line
    // about lost notifications are due.
    int waitTimeout(const NotificationRelay& relay) const;
    // Listener thread, after each wait: logs the held sums of lost
    // notifications whose second is over.
    void logDueLosses();
    // Listener thread, after each wait: notes that notifications came
    // (`arrived`), or calls the pause handler when it is due.
    void notePause(bool arrived);
    // Listener thread: waits up to 2 seconds before the next socket attempt,
    // or less when stop is called meanwhile; what other copies pass on
    // meanwhile is handled.
    void retryPause(NotificationRelay& relay) TARNWELL_EXCLUDES(wakeMutex_);
    // Listener thread: publishes the relay's socket in relayFd_ (-1 to
    // withdraw it), under wakeMutex_.
    void publishRelay(int fd) TARNWELL_EXCLUDES(wakeMutex_);
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

    const std::uint16_t port_;       // constant after construction
    const std::string relayFolder_;  // constant after construction

    // No lock: written only while stopped, read by the listener thread.
    std::unordered_map<std::string, HandlerInfo> handlers_;
    std::function<void()> onNotificationsLost_;
    std::function<void()> onPause_;
    std::chrono::milliseconds pause_{0};
    std::thread thread_;  // only start, stop and the destructor touch it
    std::atomic<bool> running_{false};
    // The listener's socket while it is open, else -1. Stored and cleared by
    // the listener thread while it holds wakeMutex_, and read by stop under
    // wakeMutex_, so that stop never shuts down a descriptor number that the
    // listener has closed meanwhile and another thread may have reused.
    // Atomic all the same, so that tests may watch it without the lock.
    std::atomic<int> socketFd_{-1};
    // The relay's socket while it is open, else -1; published and shut down
    // like socketFd_, so that stop also ends a wait for other copies.
    std::atomic<int> relayFd_{-1};
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
    // The clock that times the lines about lost notifications; a seam so that
    // tests can drive it. Set only while stopped.
    std::function<std::chrono::steady_clock::time_point()> lossClock_;
    // Listener thread only: the lines about datagrams the kernel dropped on
    // the port, and about losses other copies told of, each at most one a
    // second.
    std::unique_ptr<LossLog> kernelLosses_;
    std::unique_ptr<LossLog> relayedLosses_;
    std::chrono::steady_clock::time_point lastDropLog_{};
    // When notifications last came, while the pause handler is owed.
    std::optional<std::chrono::steady_clock::time_point> lastArrival_;
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
