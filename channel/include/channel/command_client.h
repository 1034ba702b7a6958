// The plug-in's channel for requests to the sync daemon: one TCP connection
// to 127.0.0.1:19080, a FIFO queue of command records and one worker thread.
//
// Thread safety: sendCommand, forceReconnect and
// isConnected may be called from any thread, also from hooks and from record
// callbacks on the worker thread (none of them runs with mutex_ held). start,
// stop, the hook registrations and the destructor belong to the owner and are
// never called from the worker thread; hooks are registered only while no
// worker runs.
#ifndef TARNWELL_CHANNEL_COMMAND_CLIENT_H_
#define TARNWELL_CHANNEL_COMMAND_CLIENT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/posix_io.h"
#include "base/thread_annotations.h"
#include "channel/exchange.h"
#include "channel/tarnwell_command.h"
#include "protocol/vocabulary.h"

namespace tarnwell {

class CommandClient {
public:
    using Hook = std::function<void()>;
    using AttemptHook = std::function<void(unsigned int attempt)>;
    using KeyValue = std::pair<std::string, std::string>;

    static constexpr const char* kDefaultAddress = protocol::kLoopbackAddress;
    static constexpr std::uint16_t kDefaultPort = protocol::kCommandPort;

    // The address and port are a seam for tests; the plug-in uses the
    // defaults. Starts no thread and opens no socket.
    explicit CommandClient(std::string address = kDefaultAddress,
                           std::uint16_t port = kDefaultPort);
    CommandClient(const CommandClient&) = delete;
    CommandClient& operator=(const CommandClient&) = delete;
    // Stops the worker; records still queued are destroyed without callbacks.
    // Owner's thread.
    ~CommandClient();

    // Builds a record. Pairs are added in order; a key given several times
    // collects all its values.
    static CommandPtr createCommand(TarnwellCommand::Callback callback,
                                    std::shared_ptr<void> owner, const std::string& name,
                                    std::initializer_list<KeyValue> pairs = {});
    static CommandPtr createSimpleCommand(const std::string& name);

    // Any thread. Queues the record (a null one is queued and later dropped)
    // and returns at once; never waits for the daemon.
    void sendCommand(CommandPtr command) TARNWELL_EXCLUDES(mutex_);
    // Any thread. Queues a reset request: after every record queued before it,
    // the worker ends the connection and connects again.
    void forceReconnect() TARNWELL_EXCLUDES(mutex_);

    bool isConnected() const { return connected_.load(); }

    // Owner's thread, before start or after stop.
    void addOnConnectHook(Hook hook);
    void addOnDisconnectHook(Hook hook);
    void addConnectionAttemptHook(AttemptHook hook);

    // Owner's thread. Starts the worker unless it runs already.
    void start();
    // Owner's thread. Ends the worker and joins it. While connected, the
    // record at the front of the queue is still sent, and so is every user
    // action queued behind it (any record but "query_stat", "get_tw_roots"
    // and a reset request), within about a second; the rest are completed
    // with empty responses, an action that could not be sent is logged as
    // dropped, and the disconnect hooks run first.
    void stop() TARNWELL_EXCLUDES(mutex_);

    // One exchange on a connected socket: writes the request in one piece,
    // reads the response. True when the status line was "rsp" and everything
    // through "done" was read.
    static bool sendToDaemon(int fd, const std::string& name, const ArgumentMap* args,
                             ArgumentMap& response);
    // Reads argument lines through "done".
    static bool receiveArgs(int fd, ArgumentMap& response);

    std::uint16_t port() const { return port_; }

private:
    // What the worker found when it looked for the next record.
    enum class Next {
        Busy,       // taken from a queue that was not empty
        AfterWait,  // taken after an idle wait that found the socket quiet
        Nothing,    // no record: a stop, or the idle wake-up
        Spoiled,    // while idle the daemon closed, reset, or sent bytes
    };

    // Worker thread, each of them.
    void clientThread();
    // A connection to the daemon, or none (an invalid descriptor).
    UniqueFd tryConnect();
    // Worker thread, right after a connection is made and before any byte
    // goes out on it: accepted when the daemon's end belongs to this
    // process's effective user or to root (a daemon run as a system service).
    // Any other user on the port would learn every path the user looks at and
    // could fake the emblems. Closes nothing.
    enum class Vetting {
        Accepted,  // the daemon's end is ours
        Refused,   // another user's, or nobody can tell whose
        Vanished,  // the daemon's end went away before it could be looked up
    };
    Vetting vetNewConnection(int fd);
    // Serves one connection until it ends, then ends it. True when the daemon
    // answered in step at least once, or a reset request ended it.
    bool serveConnection(UniqueFd connection) TARNWELL_EXCLUDES(mutex_);
    Next nextRecord(int fd, CommandPtr& command) TARNWELL_EXCLUDES(mutex_);
    // Moves the front record into `command`; false when the queue is empty.
    bool takeFront(CommandPtr& command) TARNWELL_REQUIRES(mutex_);
    // Hooks and callbacks may queue records, so none runs with mutex_ held.
    ExchangeOutcome runCommand(int fd, CommandPtr command) TARNWELL_EXCLUDES(mutex_);
    // Waits up to `limit`, cut short by a stop and, with `untilRecordQueued`,
    // by a queued record.
    void pause(std::chrono::milliseconds limit, bool untilRecordQueued = true)
        TARNWELL_EXCLUDES(mutex_);
    void dispatchAttempt(unsigned int attempt) TARNWELL_EXCLUDES(mutex_);
    void dispatchConnect() TARNWELL_EXCLUDES(mutex_);
    void dispatchDisconnect() TARNWELL_EXCLUDES(mutex_);
    // After a stop while connected: sends the user actions still queued, in
    // order, while the daemon answers and time is left; completes the other
    // records with empty responses.
    void sendActionsAtStop(int fd) TARNWELL_EXCLUDES(mutex_);
    // Ends the connection: close, not connected, drain, disconnect hooks.
    void endConnection(UniqueFd connection) TARNWELL_EXCLUDES(mutex_);

    // Constant after construction.
    const std::string address_;
    const std::uint16_t port_;
    // Signalled by sendCommand while the worker waits idle on its connection,
    // and by stop; invalid if it could not be created, and the idle wait then wakes
    // more often instead. Constant after construction.
    const UniqueFd wakeFd_;

    Mutex mutex_;
    std::atomic<bool> connected_{false};
    std::deque<CommandPtr> queue_ TARNWELL_GUARDED_BY(mutex_);
    // True while the worker waits idle on its connection and must be woken
    // through wakeFd_; cleared by whoever signals it.
    bool idleWaiting_ TARNWELL_GUARDED_BY(mutex_) = false;
    std::condition_variable condition_;  // used with mutex_
    std::thread thread_;                 // only start, stop and the destructor touch it
    std::atomic<bool> running_{false};
    // No lock: written only while no worker runs, read by the worker.
    std::vector<Hook> onConnectHooks_;
    std::vector<Hook> onDisconnectHooks_;
    std::vector<AttemptHook> connectionAttemptHooks_;
    // Worker thread only: the refusal line written during the current run of
    // refused connections (empty once a connection passed), so that a
    // squatter is reported once, not at every retry.
    std::string lastRefusal_;
};

}  // namespace tarnwell

#endif  // TARNWELL_CHANNEL_COMMAND_CLIENT_H_
