#include "channel/command_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "base/log.h"
#include "base/wire_format.h"

namespace tarnwell {

namespace {

using namespace std::chrono_literals;

// Each read and write on the connection may take this long before the
// exchange fails.
constexpr int kIoTimeoutSeconds = 3;
// How long a connection in progress may take.
constexpr auto kConnectLimit = 1000ms;
// Pause after a failed attempt, cut short by a queued record or a stop.
constexpr auto kBackoff = 2s;
// While connected and idle the worker wakes this often to re-check running_
// and the socket.
constexpr auto kIdleWakeUp = 5s;

// Writes all of `bytes`. MSG_NOSIGNAL: a daemon that has gone away must fail
// the exchange, not end the file manager through SIGPIPE. A call that reports
// 0 bytes or an error (also the send time-out) fails at once.
bool sendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads argument lines through "done" into `response`, within the limits on
// lines and bytes of one answer.
bool readArguments(LineReader& reader, ArgumentMap& response) {
    std::string line;
    std::size_t bytes = 0;
    for (std::size_t count = 0; count <= kMaxResponseLines; ++count) {
        if (!reader.next(line)) {
            return false;
        }
        if (line == "done") {
            return true;
        }
        bytes += line.size();
        if (bytes > kMaxResponseBytes) {
            return false;
        }
        parseArgumentLine(line, response);
    }
    return false;
}

// Waits until a non-blocking connect has finished, or the limit passed.
// Retries EINTR with what is left of the limit.
int pollWritable(int fd, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r;
    }
}

// True when bytes are waiting to be read right now (never blocks): after an
// answer has been read through its "done", and before a request goes out,
// the daemon has nothing to say.
bool bytesWaiting(int fd) {
    char byte;
    for (;;) {
        const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n > 0;
    }
}

}  // namespace

// Ok: the status line was "rsp" and everything through "done" was read.
// Refused: the status line was something else, but the answer was read
// through its "done", so the stream is still in step and the connection can
// carry the next request.
// Broken: a write failed, or a read failed (end of stream, error, time-out,
// a line or an answer over its limit) before the answer's end was found.
// What the daemon still sends would be read as the next command's answer, so
// the connection must end.
enum class CommandClient::ExchangeOutcome { Ok, Refused, Broken };

CommandClient::CommandClient(std::string address, std::uint16_t port)
    : address_(std::move(address)), port_(port) {}

CommandClient::~CommandClient() {
    stop();
}

CommandPtr CommandClient::createCommand(TarnwellCommand::Callback callback, bool flag,
                                        std::shared_ptr<void> owner, const std::string& name,
                                        std::initializer_list<KeyValue> pairs) {
    auto command = std::make_unique<TarnwellCommand>();
    command->name = name;
    command->callback = std::move(callback);
    command->flag = flag;
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
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(command));
    condition_.notify_one();
}

void CommandClient::sendSimpleCommand(const std::string& name) {
    sendCommand(createSimpleCommand(name));
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

void CommandClient::setup() {
    connected_ = false;
    running_ = false;
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
        // waiting when the notification comes. Without the lock the wake-up
        // could fall between test and wait and be lost for a whole timed
        // wait.
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
    condition_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool CommandClient::tryConnect(int& fd) {
    fd = -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    if (::inet_pton(AF_INET, address_.c_str(), &addr.sin_addr) != 1) {
        return false;
    }
    // Close-on-exec: the host may start programs, which must not inherit the
    // connection (the daemon would never see it close).
    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0) {
        return false;
    }
    auto fail = [&] {
        ::close(sock);
        return false;
    };
    timeval timeout{};
    timeout.tv_sec = kIoTimeoutSeconds;
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    // Each request is one small write followed by a wait for the answer;
    // with Nagle's algorithm a write after the previous answer could wait for
    // the daemon's delayed ACK.
    const int one = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    const int flags = ::fcntl(sock, F_GETFL);
    if (flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) {
        return fail();
    }
    if (::connect(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        // An interrupted connect goes on in the background like one in
        // progress.
        if (errno != EINPROGRESS && errno != EINTR) {
            return fail();
        }
        if (pollWritable(sock, kConnectLimit) == 0) {
            return fail();
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return fail();
        }
    }
    // Blocking again: reads and writes rely on the socket's time-outs.
    if (::fcntl(sock, F_SETFL, flags) < 0) {
        return fail();
    }
    fd = sock;
    return true;
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

bool CommandClient::connectionLooksHealthy(int fd) const {
    char byte;
    for (;;) {
        const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // 0: the daemon closed its side. > 0: bytes nobody asked for, which
        // would be read as the next command's answer.
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void CommandClient::endConnection(int fd) {
    ::close(fd);
    connected_ = false;
    {
        // The drain runs the callbacks with mutex_ held, so that nothing can
        // be queued between the last record drained and the hooks below.
        std::lock_guard<std::mutex> lock(mutex_);
        while (!queue_.empty()) {
            CommandPtr command = std::move(queue_.front());
            queue_.pop_front();
            if (command && command->callback) {
                command->response.clear();
                command->callback(command.get());
            }
        }
    }
    dispatchDisconnect();
}

// The worker. Lock order: only mutex_, which is held to wait, to take one
// record, and during the drain; never during a connection attempt, an
// exchange, a hook or the callback after an exchange. Hooks and callbacks run
// on this thread.
void CommandClient::clientThread() {
    unsigned int attempt = 1;
    // Connections in a row that ended before the daemon answered anything in
    // step (it accepts and hangs up, or answers only nonsense).
    unsigned int fruitlessInARow = 0;
    for (;;) {
        if (!running_) {
            return;
        }
        int fd = -1;
        if (!tryConnect(fd)) {
            for (auto& hook : connectionAttemptHooks_) {
                hook(attempt);
            }
            ++attempt;
            std::unique_lock<std::mutex> lock(mutex_);
            condition_.wait_for(lock, kBackoff, [this] { return !running_ || !queue_.empty(); });
            continue;
        }

        connected_ = true;
        logLine("tarnwell: command client connected");
        dispatchConnect();
        // Set once the daemon answered in step on this connection, or when
        // the owner's reset request ends it: either way it was not fruitless.
        bool answered = false;

        while (running_) {
            CommandPtr command;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                condition_.wait_for(lock, kIdleWakeUp,
                                    [this] { return !running_ || !queue_.empty(); });
                if (queue_.empty()) {
                    lock.unlock();
                    if (running_ && !connectionLooksHealthy(fd)) {
                        break;
                    }
                    continue;
                }
                // Taken even when the wait ended because of a stop: the
                // front record is still sent.
                command = std::move(queue_.front());
                queue_.pop_front();
            }
            if (!command) {
                continue;
            }
            if (command->name == kResetCommandName) {
                logLine("tarnwell: got reset request");
                answered = true;
                break;
            }

            // Bytes that are already waiting before the request goes out were
            // never asked for (or the daemon has hung up): they would be read
            // as this record's answer, and from then on every answer would
            // go to the record after the one it belongs to. The connection
            // is out of step; the record goes back to the front, and the
            // drain completes it with an empty response.
            if (!connectionLooksHealthy(fd)) {
                std::lock_guard<std::mutex> lock(mutex_);
                queue_.push_front(std::move(command));
                break;
            }

            logLine("tarnwell: sending command: " + command->name);
            ArgumentMap response;
            ExchangeOutcome outcome = exchange(
                fd, command->name, command->args.empty() ? nullptr : &command->args, response);
            // More bytes right behind the answer: the daemon answered more
            // than once, and the answer just read may be the one nobody asked
            // for. It is not trusted, and the connection ends.
            if (outcome != ExchangeOutcome::Broken && bytesWaiting(fd)) {
                outcome = ExchangeOutcome::Broken;
            }
            const bool ok = outcome == ExchangeOutcome::Ok;
            answered = answered || outcome != ExchangeOutcome::Broken;
            logLine("tarnwell: command finished: " + command->name + (ok ? " ok=1" : " ok=0"));
            if (ok) {
                command->response = std::move(response);
            } else {
                command->response.clear();
            }
            if (command->callback) {
                command->callback(command.get());
            }
            command.reset();
            if (outcome == ExchangeOutcome::Broken) {
                break;
            }
        }

        endConnection(fd);
        // A lost connection is followed by an attempt at once. But a daemon
        // (or any process on its port) that accepts and hangs up again and
        // again would have the worker reconnect thousands of times a second,
        // logging and asking for the roots each time: from the second such
        // connection in a row, the worker pauses as after a failed attempt.
        attempt = 0;
        fruitlessInARow = answered ? 0 : fruitlessInARow + 1;
        if (fruitlessInARow >= 2) {
            std::unique_lock<std::mutex> lock(mutex_);
            condition_.wait_for(lock, kBackoff, [this] { return !running_ || !queue_.empty(); });
        }
    }
}

CommandClient::ExchangeOutcome CommandClient::exchange(int fd, const std::string& name,
                                                       const ArgumentMap* args,
                                                       ArgumentMap& response) {
    if (!sendAll(fd, buildRequest(name, args))) {
        return ExchangeOutcome::Broken;
    }
    LineReader reader(fd);
    std::string status;
    if (!reader.next(status)) {
        return ExchangeOutcome::Broken;
    }
    if (status == "rsp") {
        return readArguments(reader, response) && reader.finish() ? ExchangeOutcome::Ok
                                                                  : ExchangeOutcome::Broken;
    }
    // Not an answer: skip the rest through "done" to stay in step. The status
    // line itself is not taken for the terminator.
    std::string line;
    for (std::size_t count = 0; count <= kMaxResponseLines; ++count) {
        if (!reader.next(line)) {
            return ExchangeOutcome::Broken;
        }
        if (line == "done") {
            return reader.finish() ? ExchangeOutcome::Refused : ExchangeOutcome::Broken;
        }
    }
    return ExchangeOutcome::Broken;
}

bool CommandClient::sendToDaemon(int fd, const std::string& name, const ArgumentMap* args,
                                 ArgumentMap& response) {
    return exchange(fd, name, args, response) == ExchangeOutcome::Ok;
}

bool CommandClient::receiveArgs(int fd, ArgumentMap& response) {
    LineReader reader(fd);
    return readArguments(reader, response) && reader.finish();
}

}  // namespace tarnwell
