// The plug-in's channel for requests to the sync daemon: one TCP connection
// to 127.0.0.1:19080, a FIFO queue of command records and one worker thread.
//
// Thread safety: sendCommand, sendSimpleCommand, forceReconnect and
// isConnected may be called from any thread, also from hooks and callbacks on
// the worker thread (but not from callbacks that run during the drain, which
// holds mutex_). start, stop, the hook registrations and the destructor belong
// to the owner and are never called from the worker thread; hooks are
// registered only while no worker runs.
#ifndef TARNWELL_CHANNEL_COMMAND_CLIENT_H_
#define TARNWELL_CHANNEL_COMMAND_CLIENT_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channel/tarnwell_command.h"

namespace tarnwell {

class CommandClient {
public:
    using Hook = std::function<void()>;
    using AttemptHook = std::function<void(unsigned int attempt)>;
    using KeyValue = std::pair<std::string, std::string>;

    static constexpr const char* kDefaultAddress = "127.0.0.1";
    static constexpr std::uint16_t kDefaultPort = 19080;

    // The address and port are a seam for tests; the plug-in uses the
    // defaults. Starts no thread and opens no socket.
    explicit CommandClient(std::string address = kDefaultAddress,
                           std::uint16_t port = kDefaultPort);
    CommandClient(const CommandClient&) = delete;
    CommandClient& operator=(const CommandClient&) = delete;
    // Stops the worker; records still queued are destroyed without callbacks.
    ~CommandClient();

    // Builds a record. Pairs are added in order; a key given several times
    // collects all its values.
    static CommandPtr createCommand(TarnwellCommand::Callback callback, bool flag,
                                    std::shared_ptr<void> owner, const std::string& name,
                                    std::initializer_list<KeyValue> pairs = {});
    static CommandPtr createSimpleCommand(const std::string& name);

    // Any thread. Queues the record (a null one is queued and later dropped)
    // and returns at once; never waits for the daemon.
    void sendCommand(CommandPtr command);
    void sendSimpleCommand(const std::string& name);
    // Any thread. Queues a reset request: after every record queued before it,
    // the worker ends the connection and connects again.
    void forceReconnect();

    bool isConnected() const { return connected_.load(); }

    // Owner's thread, before start or after stop.
    void addOnConnectHook(Hook hook);
    void addOnDisconnectHook(Hook hook);
    void addConnectionAttemptHook(AttemptHook hook);

    // Owner's thread, right after construction: both flags false.
    void setup();
    // Owner's thread. Starts the worker unless it runs already.
    void start();
    // Owner's thread. Ends the worker and joins it. While connected, the
    // record at the front of the queue is still sent, the rest are completed
    // with empty responses and the disconnect hooks run first.
    void stop();

    // One exchange on a connected socket: writes the request in one piece,
    // reads the response. True when the status line was "rsp" and everything
    // through "done" was read.
    static bool sendToDaemon(int fd, const std::string& name, const ArgumentMap* args,
                             ArgumentMap& response);
    // Reads argument lines through "done".
    static bool receiveArgs(int fd, ArgumentMap& response);

    std::uint16_t port() const { return port_; }

private:
    enum class ExchangeOutcome;

    // Worker thread.
    void clientThread();
    bool tryConnect(int& fd);
    // Worker thread, right after a connection is made and before any byte
    // goes out on it: true when the daemon's end belongs to this process's
    // effective user. Anyone else on the port would learn every path the
    // user looks at and could fake the emblems.
    bool vetNewConnection(int fd);
    void dispatchConnect();
    void dispatchDisconnect();
    // Ends the connection: close, not connected, drain, disconnect hooks.
    void endConnection(int fd);
    // One exchange, telling apart a refusal read through "done" (the stream
    // is still in step) from a failure that leaves it out of step.
    static ExchangeOutcome exchange(int fd, const std::string& name, const ArgumentMap* args,
                                    ArgumentMap& response);
    // Idle check without blocking: false when the daemon closed the socket or
    // sent bytes nobody asked for.
    bool connectionLooksHealthy(int fd) const;

    // Constant after construction.
    const std::string address_;
    const std::uint16_t port_;

    std::mutex mutex_;
    std::atomic<bool> connected_{false};
    std::deque<CommandPtr> queue_;       // guarded by mutex_
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
