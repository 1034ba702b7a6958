#include "channel/command_client.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>

#include "base/log.h"
#include "channel/daemon_connect.h"
#include "socket_io.h"
#include "socket_owner/socket_owner.h"

namespace tarnwell {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Each read and write on the connection may take this long before the
// exchange fails.
constexpr int kIoTimeoutSeconds = 3;
// How long a connection in progress may take.
constexpr auto kConnectLimit = 1000ms;
// Pause after a failed attempt, cut short by a queued record or a stop. For a
// while after the start and after a connection ended the daemon is likely to
// be back soon (it restarts, or the plug-in started just before it), so the
// worker retries often; a refused loopback connect costs microseconds.
constexpr auto kQuickRetry = 100ms;
constexpr auto kQuickRetryWindow = 10s;
constexpr auto kBackoff = 2s;
// While connected and idle the worker waits on the socket and the wake-up
// eventfd together, and re-checks running_ at least this often. Without the
// eventfd only a short wait keeps records from waiting long.
constexpr auto kIdleWakeUp = 5s;
constexpr auto kIdleWakeUpWithoutEventFd = 50ms;
// After a stop while connected, the menu actions still queued go out within
// this time, so that a stop stays prompt even when the daemon is slow.
constexpr auto kActionsAtStopLimit = 1000ms;

// Whether a record is something the user asked the daemon to do (a menu
// action, or any command an owner sends on its own) rather than one of the
// plug-in's two questions, whose answers are worthless once it stops.
bool isUserAction(const std::string& name) {
    return name != protocol::kQueryStat && name != protocol::kGetRoots && name != kResetCommandName;
}

// Shortens both socket time-outs to what is left until `until`.
void limitSocketWaits(int fd, Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(left.count() / 1000000);
    timeout.tv_usec = static_cast<suseconds_t>(std::max<long long>(left.count() % 1000000, 1000));
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// The read and write time-outs of every connection.
void setSocketWaits(int fd) {
    timeval timeout{};
    timeout.tv_sec = kIoTimeoutSeconds;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

}  // namespace

CommandClient::CommandClient(std::string address, std::uint16_t port)
    : address_(std::move(address)), port_(port), wakeFd_(socket_io::createEventFd()) {}

CommandClient::~CommandClient() {
    stop();
}

CommandPtr CommandClient::createCommand(TarnwellCommand::Callback callback,
                                        std::shared_ptr<void> owner, const std::string& name,
                                        std::initializer_list<KeyValue> pairs) {
    auto command = std::make_unique<TarnwellCommand>();
    command->name = name;
    command->callback = std::move(callback);
    command->owner = std::move(owner);
    for (const auto& [key, value] : pairs) {
        command->args[key].push_back(value);
    }
    return command;
}

CommandPtr CommandClient::createSimpleCommand(const std::string& name) {
    auto command = std::make_unique<TarnwellCommand>();
    command->name = name;
    return command;
}

void CommandClient::sendCommand(CommandPtr command) {
    bool wake = false;
    {
        MutexLock lock(mutex_);
        queue_.push_back(std::move(command));
        // Only the first record queued during an idle wait pays for the
        // eventfd write; while the worker is busy, a queued record costs no
        // system call.
        wake = idleWaiting_;
        idleWaiting_ = false;
        condition_.notify_one();
    }
    if (wake) {
        socket_io::signalEventFd(wakeFd_.get());
    }
}

void CommandClient::forceReconnect() {
    sendCommand(createSimpleCommand(kResetCommandName));
}

void CommandClient::addOnConnectHook(Hook hook) {
    onConnectHooks_.push_back(std::move(hook));
}

void CommandClient::addOnDisconnectHook(Hook hook) {
    onDisconnectHooks_.push_back(std::move(hook));
}

void CommandClient::addConnectionAttemptHook(AttemptHook hook) {
    connectionAttemptHooks_.push_back(std::move(hook));
}

void CommandClient::start() {
    if (running_) {
        return;
    }
    running_ = true;
    thread_ = std::thread([this] { clientThread(); });
}

void CommandClient::stop() {
    if (!running_) {
        return;
    }
    {
        // Cleared under mutex_: the worker tests running_ under mutex_ right
        // before it waits, so it either sees false there or is already
        // waiting when the wake-up comes. Without the lock the wake-up could
        // fall between test and wait and be lost for a whole timed wait.
        MutexLock lock(mutex_);
        running_ = false;
    }
    condition_.notify_all();
    socket_io::signalEventFd(wakeFd_.get());
    if (thread_.joinable()) {
        thread_.join();
    }
}

UniqueFd CommandClient::tryConnect() {
    DaemonSocket connection = connectToDaemon(address_, port_, Clock::now() + kConnectLimit);
    if (connection.outcome != DaemonSocket::Outcome::Connected) {
        return UniqueFd();
    }
    // Reads and writes rely on the socket's time-outs.
    setSocketWaits(connection.fd.get());
    return std::move(connection.fd);
}

CommandClient::Vetting CommandClient::vetNewConnection(int fd) {
    const SocketOwner owner = tcpPeerOwner(fd);
    if (owner.result == OwnerLookup::Found && isTrustedOwner(owner.uid)) {
        lastRefusal_.clear();
        return Vetting::Accepted;
    }
    if (owner.result == OwnerLookup::NotFound) {
        // The daemon's end went away between connect and the lookup (a
        // daemon closing down as it restarts): a failed attempt like any
        // other, with nothing to report.
        return Vetting::Vanished;
    }
    std::string line;
    if (owner.result == OwnerLookup::Found) {
        line = "tarnwell: daemon on port " + std::to_string(port_) + " belongs to uid " +
               std::to_string(owner.uid) + ", refused";
    } else {
        // Neither netlink nor /proc answers: whoever listens cannot be told
        // from the user's daemon, and paths must not go to a stranger.
        line = "tarnwell: cannot tell who owns the daemon on port " + std::to_string(port_) +
               ", refused";
    }
    if (line != lastRefusal_) {
        logLine(line);
        lastRefusal_ = line;
    }
    return Vetting::Refused;
}

void CommandClient::dispatchAttempt(unsigned int attempt) {
    for (auto& hook : connectionAttemptHooks_) {
        hook(attempt);
    }
}

void CommandClient::dispatchConnect() {
    for (auto& hook : onConnectHooks_) {
        hook();
    }
}

void CommandClient::dispatchDisconnect() {
    for (auto& hook : onDisconnectHooks_) {
        hook();
    }
}

void CommandClient::pause(std::chrono::milliseconds limit, bool untilRecordQueued) {
    MutexLock lock(mutex_);
    lock.waitFor(condition_, limit, [this, untilRecordQueued]() TARNWELL_REQUIRES(mutex_) {
        return !running_ || (untilRecordQueued && !queue_.empty());
    });
}

void CommandClient::endConnection(UniqueFd connection) {
    flushHeldLine();
    connection.reset();
    connected_ = false;
    // The records are taken out under mutex_ and completed without it, so a
    // callback may queue a record; that one waits for the next connection
    // like any record queued while disconnected.
    std::deque<CommandPtr> drained;
    {
        MutexLock lock(mutex_);
        drained.swap(queue_);
    }
    for (CommandPtr& command : drained) {
        if (command && command->callback) {
            command->response.clear();
            command->callback(command.get());
        }
        command.reset();
    }
    dispatchDisconnect();
}

// The worker: connects, serves the connection, and connects again, until
// stop. Lock order: only mutex_, which is held to wait for a record while
// disconnected, to take one record, to mark and unmark the idle wait, and to
// take the queue for the drain; never during a connection attempt, a wait on
// the socket, an exchange, a hook or a callback. Hooks and callbacks run on
// this thread.
void CommandClient::clientThread() {
    unsigned int attempt = 1;
    // Connections in a row that ended before the daemon answered anything in
    // step (it accepts and hangs up, or answers only nonsense).
    unsigned int fruitlessInARow = 0;
    auto quickRetryUntil = Clock::now() + kQuickRetryWindow;
    while (running_) {
        UniqueFd connection = tryConnect();
        const bool connected = connection.valid();
        const Vetting vetting = connected ? vetNewConnection(connection.get()) : Vetting::Vanished;
        const bool refused = vetting == Vetting::Refused;
        if (vetting != Vetting::Accepted) {
            connection.reset();
            dispatchAttempt(attempt);
            ++attempt;
            // A peer that was refused or vanished accepts at once: cutting the
            // pause short for queued records would have the worker connect to
            // it thousands of times a second, so such a pause always runs its
            // course. A refusal waits the long pause; a daemon's end that went
            // away (a daemon restarting) is tried again as after a refusal to
            // connect.
            const auto limit = refused || Clock::now() >= quickRetryUntil ? kBackoff : kQuickRetry;
            pause(limit, /*untilRecordQueued=*/!connected);
            continue;
        }
        const bool answered = serveConnection(std::move(connection));
        // A lost connection is followed by an attempt at once. But a daemon
        // (or any process on its port) that accepts and hangs up again and
        // again would have the worker reconnect thousands of times a second,
        // logging and asking for the roots each time: from the second such
        // connection in a row, the worker pauses as after a failed attempt
        // long past the start.
        attempt = 0;
        quickRetryUntil = Clock::now() + kQuickRetryWindow;
        fruitlessInARow = answered ? 0 : fruitlessInARow + 1;
        if (fruitlessInARow >= 2) {
            pause(kBackoff);
        }
    }
}

bool CommandClient::serveConnection(UniqueFd connection) {
    const int fd = connection.get();
    connected_ = true;
    logLine("tarnwell: command client connected");
    dispatchConnect();
    // Set once the daemon answered in step on this connection, or when the
    // owner's reset request ends it: either way it was not fruitless.
    bool answered = false;
    while (running_) {
        CommandPtr command;
        const Next next = nextRecord(fd, command);
        if (next == Next::Spoiled) {
            break;
        }
        if (next == Next::Nothing || !command) {
            continue;
        }
        if (command->name == kResetCommandName) {
            logLine("tarnwell: got reset request");
            answered = true;
            break;
        }
        // Bytes that are already waiting before the request goes out were
        // never asked for (or the daemon has hung up): they would be read as
        // this record's answer, and from then on every answer would go to the
        // record after the one it belongs to. The idle wait has just looked;
        // straight after an exchange, look now. The record goes back to the
        // front, and the drain completes it with an empty response.
        if (next == Next::Busy && !socket_io::peerIsQuiet(fd)) {
            MutexLock lock(mutex_);
            queue_.push_front(std::move(command));
            break;
        }
        const ExchangeOutcome outcome = runCommand(fd, std::move(command));
        answered = answered || outcome != ExchangeOutcome::Broken;
        if (outcome == ExchangeOutcome::Broken) {
            break;
        }
    }
    if (!running_) {
        sendActionsAtStop(fd);
    }
    endConnection(std::move(connection));
    return answered;
}

void CommandClient::sendActionsAtStop(int fd) {
    // Taken in one go: records that callbacks queue meanwhile are left to the
    // drain, so the loop ends.
    std::deque<CommandPtr> pending;
    {
        MutexLock lock(mutex_);
        pending.swap(queue_);
    }
    const auto until = Clock::now() + kActionsAtStopLimit;
    bool usable = true;
    for (CommandPtr& command : pending) {
        if (!command) {
            continue;
        }
        const bool action = isUserAction(command->name);
        usable = usable && Clock::now() < until && socket_io::peerIsQuiet(fd);
        if (action && usable) {
            limitSocketWaits(fd, until);
            usable = runCommand(fd, std::move(command)) != ExchangeOutcome::Broken;
            continue;
        }
        if (action) {
            logLine("tarnwell: command dropped at shut-down: " + command->name);
        }
        if (command->callback) {
            command->response.clear();
            command->callback(command.get());
        }
    }
}

CommandClient::Next CommandClient::nextRecord(int fd, CommandPtr& command) {
    {
        MutexLock lock(mutex_);
        // Taken even when running_ is false already: the front record is
        // still sent after a stop.
        if (takeFront(command)) {
            return Next::Busy;
        }
        if (!running_) {
            return Next::Nothing;
        }
        idleWaiting_ = true;
    }
    flushHeldLine();
    // Idle: a daemon that closes, resets, or sends bytes nobody asked for is
    // noticed at once, not at the next request.
    const auto limit = wakeFd_.valid() ? kIdleWakeUp : kIdleWakeUpWithoutEventFd;
    const socket_io::Readiness ready = socket_io::waitReadable(fd, wakeFd_.get(), limit);
    if (ready.wake) {
        socket_io::clearEventFd(wakeFd_.get());
    }
    MutexLock lock(mutex_);
    idleWaiting_ = false;
    if (ready.socket) {
        return Next::Spoiled;
    }
    return takeFront(command) ? Next::AfterWait : Next::Nothing;
}

bool CommandClient::takeFront(CommandPtr& command) {
    if (queue_.empty()) {
        return false;
    }
    command = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

ExchangeOutcome CommandClient::runCommand(int fd, CommandPtr command) {
    // Both lines are held and written together with the lines of the
    // exchanges around them: a cold fill is thousands of exchanges, and a
    // write each would cost more than the rest of the worker's part. The
    // worker flushes before it waits for a record or a connection; a line
    // may wait for the end of the exchange in progress (its answer, or the
    // socket's time-out).
    logLineHeld("tarnwell: sending command: " + command->name);
    ArgumentMap response;
    // Read ahead: bytes right behind the answer mean the daemon answered more
    // than once, and the answer just read may be the one nobody asked for.
    // The exchange then counts as broken: the answer is not trusted and the
    // connection ends.
    const ExchangeOutcome outcome =
        exchange(fd, command->name, command->args.empty() ? nullptr : &command->args, response,
                 LineReader::Mode::ReadAhead);
    const bool ok = outcome == ExchangeOutcome::Ok;
    logLineHeld("tarnwell: command finished: " + command->name + (ok ? " ok=1" : " ok=0"));
    if (ok) {
        command->response = std::move(response);
    } else {
        command->response.clear();
    }
    if (command->callback) {
        command->callback(command.get());
    }
    return outcome;
}

bool CommandClient::sendToDaemon(int fd, const std::string& name, const ArgumentMap* args,
                                 ArgumentMap& response) {
    return exchange(fd, name, args, response, LineReader::Mode::TakeExactly) == ExchangeOutcome::Ok;
}

bool CommandClient::receiveArgs(int fd, ArgumentMap& response) {
    LineReader reader(fd);
    return readArguments(reader, response) && reader.finish();
}

}  // namespace tarnwell
