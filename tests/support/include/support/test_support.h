// Helpers shared by the tests and the benchmarks: free loopback ports, bounded
// waits on events, temporary trees, child processes with line-wise stdout
// (the daemon sim among them), and a capture of this process's standard error
// (where the plug-in writes its diagnostics). No test framework here, so that
// the benchmarks link it too.
#ifndef TARNWELL_TESTS_SUPPORT_TEST_SUPPORT_H_
#define TARNWELL_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace tarnwell::test {

using namespace std::chrono_literals;

// Generous: a loaded CI machine under a sanitizer is slow, and a passing test
// never waits this long.
inline constexpr std::chrono::milliseconds kDeadline = 20s;

// The most a stop may take to count as prompt: well below the 2-second pauses
// and the 5-second idle wait that a stop must cut short, yet with room for
// ThreadSanitizer on a loaded 2-CPU machine. How fast a stop really is is a
// benchmark's business, not a test's.
inline constexpr std::chrono::milliseconds kPromptLimit = 1500ms;

// A port on 127.0.0.1 that was free a moment ago (bound to 0, then closed);
// 0 when none could be had.
std::uint16_t freeTcpPort();
std::uint16_t freeUdpPort();
// Whether a fixed port on 127.0.0.1 can be bound right now.
bool tcpPortFree(std::uint16_t port);
bool udpPortFree(std::uint16_t port);

// Polls `condition` every `poll` until it holds or `deadline` passes; returns
// its last value. A benchmark that waits inside a measurement polls finer.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = kDeadline,
               std::chrono::microseconds poll = std::chrono::milliseconds(1));

// A child process with pipes on stdin and stdout (stderr is inherited unless
// captured). Killed with SIGKILL and reaped when destroyed.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // Before start: each stdout line goes to `observer` on the reader thread
    // instead of being kept, and the end of stdout as a null line. For a
    // child that writes millions of lines (a daemon sim under a benchmark),
    // which would otherwise fill this process's memory.
    using LineObserver = std::function<void(const std::string* line)>;
    void observeStdout(LineObserver observer) { observer_ = std::move(observer); }

    // argv[0] is the program's path. With captureStderr, stderr lines are
    // collected like stdout lines (see stderrLines).
    bool start(const std::vector<std::string>& argv, bool captureStderr = false);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    bool writeStdin(const std::string& text);
    void closeStdin();

    // The next stdout line, waiting at most `deadline`.
    std::optional<std::string> readLine(std::chrono::milliseconds deadline = kDeadline);
    // Reads lines until one satisfies `match` (returned) or the deadline
    // passes. Lines read on the way are kept in allStdout().
    std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& match,
                                           std::chrono::milliseconds deadline = kDeadline);
    std::optional<std::string> waitForLineContaining(
        const std::string& needle, std::chrono::milliseconds deadline = kDeadline);
    // Every stdout line seen so far (also those already returned).
    std::vector<std::string> allStdout() const;
    std::vector<std::string> stderrLines() const;

    void signal(int sig);
    // Waits for the exit; the exit status, 128+signal, or nullopt on time-out.
    std::optional<int> wait(std::chrono::milliseconds deadline = kDeadline);

private:
    void readerLoop(int fd, bool isStderr);

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    LineObserver observer_;  // set before start, then read by the stdout reader only
    std::thread stdoutReader_;
    std::thread stderrReader_;
    mutable Mutex mutex_;
    std::condition_variable lineArrived_;  // used with mutex_
    std::deque<std::string> unread_ TARNWELL_GUARDED_BY(mutex_);
    std::vector<std::string> stdoutAll_ TARNWELL_GUARDED_BY(mutex_);
    std::vector<std::string> stderrAll_ TARNWELL_GUARDED_BY(mutex_);
    bool stdoutClosed_ TARNWELL_GUARDED_BY(mutex_) = false;
};

// tarnwell-daemon-sim on a free port, notifying `notifyPort`.
class DaemonSim {
public:
    // Starts with --port 0 and waits for its "listening" line.
    bool start(const std::vector<std::string>& roots, std::uint16_t notifyPort,
               const std::vector<std::string>& extraArgs = {});
    // Same, on a fixed port (the plug-in's 19080 for end-to-end tests).
    bool startOnPort(std::uint16_t port, const std::vector<std::string>& roots,
                     std::uint16_t notifyPort, const std::vector<std::string>& extraArgs = {});
    std::uint16_t port() const { return port_; }
    // Sends one control line (a newline is appended).
    bool control(const std::string& line) { return process_.writeStdin(line + "\n"); }
    ChildProcess& process() { return process_; }
    // Waits for a stdout line that starts with `prefix`.
    std::optional<std::string> waitForRequest(const std::string& prefix,
                                              std::chrono::milliseconds deadline = kDeadline);
    void stop();

private:
    ChildProcess process_;
    std::uint16_t port_ = 0;
};

// Redirects this process's file descriptor 2 into a pipe while alive and
// collects what is written; restores it afterwards.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // What was captured so far, as far as the reader thread has got.
    std::string text() const;
    // Every line written before the call (it waits for the reader to catch
    // up), without the markers used for that.
    std::vector<std::string> lines() const;
    // Waits until a captured line equals `line`.
    bool waitForLine(const std::string& line, std::chrono::milliseconds deadline = kDeadline) const;
    bool waitForLineContaining(const std::string& needle,
                               std::chrono::milliseconds deadline = kDeadline) const;
    // How often `line` was written before the call.
    std::size_t count(const std::string& line) const;

private:
    // Writes a marker line to stderr and waits until the reader has seen it.
    void settle() const;

    int savedFd_ = -1;
    int readFd_ = -1;
    std::thread reader_;
    mutable Mutex mutex_;
    std::string text_ TARNWELL_GUARDED_BY(mutex_);
    mutable std::atomic<int> markers_{0};
};

// A small TCP server on 127.0.0.1 that hands each accepted connection to a
// script running on its own thread. Stops and joins everything when
// destroyed.
class LoopbackServer {
public:
    using Script = std::function<void(int fd)>;
    explicit LoopbackServer(Script script, std::uint16_t port = 0);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const { return port_; }
    int acceptedCount() const;
    // Closes the listening socket (new connections are refused) and every
    // accepted connection.
    void shutdown();

private:
    void acceptLoop();

    Script script_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
    mutable Mutex mutex_;
    std::vector<std::thread> workers_ TARNWELL_GUARDED_BY(mutex_);
    std::vector<int> connections_ TARNWELL_GUARDED_BY(mutex_);
    int accepted_ TARNWELL_GUARDED_BY(mutex_) = 0;
    bool stopping_ TARNWELL_GUARDED_BY(mutex_) = false;
};

// Reads one LF-terminated line from fd (blocking, byte-wise); nullopt at end
// of stream or error.
std::optional<std::string> readSocketLine(int fd);
// Reads request lines through "done"; the lines without the final "done".
std::optional<std::vector<std::string>> readRequest(int fd);

// Sends one UDP datagram to 127.0.0.1:port.
bool sendDatagram(std::uint16_t port, const std::string& bytes);

// A socket held by a child process running as another local user (see
// tests/support/foreign_socket_helper.cpp). Needs root: callers skip otherwise.
class ForeignSocket {
public:
    static constexpr uid_t kUid = 65534;  // "nobody"

    // kind is "tcp-listen" or "udp"; options such as "reuseaddr",
    // "reuseport", "no-accept". port 0 binds a free one. False when the child
    // did not report; bound() tells whether the bind worked.
    bool start(const std::string& kind, std::uint16_t port,
               const std::vector<std::string>& options = {});
    bool bound() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    // UDP: sends `count` datagrams of `text` to 127.0.0.1:`to` from the held
    // socket and waits until they are out.
    bool send(std::uint16_t to, const std::string& text, int count = 1);
    // Bytes received so far (TCP: over all accepted connections).
    std::optional<unsigned long> bytesReceived();

private:
    ChildProcess process_;
    std::uint16_t port_ = 0;
};

// A fresh directory under /tmp, removed with its contents when destroyed. Its
// path is canonical (/tmp may itself be a link), as the core compares
// canonical paths.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Creates a file (and its parents) with some content; returns its path.
    std::string file(const std::string& relative, const std::string& content = "x");
    std::string dir(const std::string& relative);

private:
    std::string path_;
};

}  // namespace tarnwell::test

#endif  // TARNWELL_TESTS_SUPPORT_TEST_SUPPORT_H_
