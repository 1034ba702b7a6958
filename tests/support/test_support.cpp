#include "support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/posix_io.h"
#include "protocol/vocabulary.h"

namespace tarnwell::test {
namespace {

// Binds a socket of `type` to `port` (0: any) on 127.0.0.1 and closes it;
// the port it got, or 0.
std::uint16_t bindPort(int type, std::uint16_t port) {
    int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in addr = loopbackAddress(port);
    std::uint16_t bound = 0;
    socklen_t len = sizeof(addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        bound = ntohs(addr.sin_port);
    }
    ::close(fd);
    return bound;
}

void splitLines(std::string& pending, const char* data, std::size_t n,
                const std::function<void(std::string)>& emit) {
    pending.append(data, n);
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        emit(pending.substr(start, nl - start));
    }
    pending.erase(0, start);
}

}  // namespace

std::uint16_t freeTcpPort() {
    return bindPort(SOCK_STREAM, 0);
}
std::uint16_t freeUdpPort() {
    return bindPort(SOCK_DGRAM, 0);
}
bool tcpPortFree(std::uint16_t port) {
    return bindPort(SOCK_STREAM, port) == port;
}
bool udpPortFree(std::uint16_t port) {
    return bindPort(SOCK_DGRAM, port) == port;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
               std::chrono::microseconds poll) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// --- ChildProcess ---

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait(5s);
    }
    if (stdinFd_ >= 0) {
        ::close(stdinFd_);
    }
    if (stdoutReader_.joinable()) {
        stdoutReader_.join();
    }
    if (stderrReader_.joinable()) {
        stderrReader_.join();
    }
}

bool ChildProcess::start(const std::vector<std::string>& argv, bool captureStderr) {
    int in[2], out[2], err[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        return false;
    }
    if (captureStderr && ::pipe2(err, O_CLOEXEC) != 0) {
        return false;
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
        return false;
    }
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        if (captureStderr) {
            ::dup2(err[1], 2);
        }
        ::execv(args[0], args.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdinFd_ = in[1];
    stdoutReader_ = std::thread([this, fd = out[0]] { readerLoop(fd, false); });
    if (captureStderr) {
        ::close(err[1]);
        stderrReader_ = std::thread([this, fd = err[0]] { readerLoop(fd, true); });
    }
    return true;
}

void ChildProcess::readerLoop(int fd, bool isStderr) {
    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        splitLines(pending, buf, static_cast<std::size_t>(n), [&](std::string line) {
            if (!isStderr && observer_) {
                observer_(&line);
                return;
            }
            MutexLock lock(mutex_);
            if (isStderr) {
                stderrAll_.push_back(std::move(line));
            } else {
                stdoutAll_.push_back(line);
                unread_.push_back(std::move(line));
            }
            lineArrived_.notify_all();
        });
    }
    ::close(fd);
    if (!isStderr && observer_) {
        observer_(nullptr);
    }
    if (!isStderr) {
        MutexLock lock(mutex_);
        stdoutClosed_ = true;
        lineArrived_.notify_all();
    }
}

bool ChildProcess::writeStdin(const std::string& text) {
    if (stdinFd_ < 0) {
        return false;
    }
    return writeAll(stdinFd_, text);
}

void ChildProcess::closeStdin() {
    if (stdinFd_ >= 0) {
        ::close(stdinFd_);
        stdinFd_ = -1;
    }
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds deadline) {
    MutexLock lock(mutex_);
    if (!lock.waitFor(
            lineArrived_, deadline,
            [&]() TARNWELL_REQUIRES(mutex_) { return !unread_.empty() || stdoutClosed_; }) ||
        unread_.empty()) {
        return std::nullopt;
    }
    std::string line = std::move(unread_.front());
    unread_.pop_front();
    return line;
}

std::optional<std::string> ChildProcess::waitForLine(
    const std::function<bool(const std::string&)>& match, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        auto line = readLine(left);
        if (!line) {
            return std::nullopt;
        }
        if (match(*line)) {
            return line;
        }
    }
}

std::optional<std::string> ChildProcess::waitForLineContaining(const std::string& needle,
                                                               std::chrono::milliseconds deadline) {
    return waitForLine([&](const std::string& l) { return l.find(needle) != std::string::npos; },
                       deadline);
}

std::vector<std::string> ChildProcess::allStdout() const {
    MutexLock lock(mutex_);
    return stdoutAll_;
}

std::vector<std::string> ChildProcess::stderrLines() const {
    MutexLock lock(mutex_);
    return stderrAll_;
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0) {
        ::kill(pid_, sig);
    }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds deadline) {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            if (stdoutReader_.joinable()) {
                stdoutReader_.join();
            }
            if (stderrReader_.joinable()) {
                stderrReader_.join();
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (r < 0 || std::chrono::steady_clock::now() >= end) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(2ms);
    }
}

// --- DaemonSim ---

bool DaemonSim::start(const std::vector<std::string>& roots, std::uint16_t notifyPort,
                      const std::vector<std::string>& extraArgs) {
    return startOnPort(0, roots, notifyPort, extraArgs);
}

bool DaemonSim::startOnPort(std::uint16_t port, const std::vector<std::string>& roots,
                            std::uint16_t notifyPort, const std::vector<std::string>& extraArgs) {
    std::vector<std::string> argv = {TARNWELL_DAEMON_SIM_PATH, "--port", std::to_string(port),
                                     "--notify-port", std::to_string(notifyPort)};
    for (const auto& r : roots) {
        argv.push_back("--root");
        argv.push_back(r);
    }
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    if (!process_.start(argv)) {
        return false;
    }
    auto line =
        process_.waitForLine([](const std::string& l) { return l.rfind("listening ", 0) == 0; });
    if (!line) {
        return false;
    }
    auto at = line->find("port=");
    if (at == std::string::npos) {
        return false;
    }
    port_ = static_cast<std::uint16_t>(std::atoi(line->c_str() + at + 5));
    return port_ != 0;
}

std::optional<std::string> DaemonSim::waitForRequest(const std::string& prefix,
                                                     std::chrono::milliseconds deadline) {
    return process_.waitForLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; },
                                deadline);
}

void DaemonSim::stop() {
    if (process_.running()) {
        process_.signal(SIGTERM);
        if (!process_.wait(10s)) {
            process_.signal(SIGKILL);
            process_.wait(10s);
        }
    }
}

// --- StderrCapture ---

namespace {
constexpr char kMarker[] = "tarnwell-test-settle-";
std::vector<std::string> linesWithoutMarkers(const std::string& text);
}  // namespace

StderrCapture::StderrCapture() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    std::fflush(stderr);
    savedFd_ = ::dup(2);
    ::dup2(fds[1], 2);
    ::close(fds[1]);
    readFd_ = fds[0];
    reader_ = std::thread([this] {
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(readFd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            MutexLock lock(mutex_);
            text_.append(buf, static_cast<std::size_t>(n));
        }
    });
}

StderrCapture::~StderrCapture() {
    if (savedFd_ < 0) {
        return;
    }
    std::fflush(stderr);
    ::dup2(savedFd_, 2);  // closes the pipe's last write end: the reader sees EOF
    ::close(savedFd_);
    reader_.join();
    ::close(readFd_);
    // Replay what was captured, so that a failing test still shows it.
    std::string all;
    for (const auto& l : linesWithoutMarkers(text())) {
        all += l + "\n";
    }
    if (::getenv("TARNWELL_TEST_QUIET") == nullptr && !all.empty()) {
        [[maybe_unused]] auto n = ::write(2, all.data(), all.size());
    }
}

std::string StderrCapture::text() const {
    MutexLock lock(mutex_);
    return text_;
}

void StderrCapture::settle() const {
    if (savedFd_ < 0) {
        return;
    }
    const std::string marker = kMarker + std::to_string(markers_++) + "\n";
    std::fflush(stderr);
    [[maybe_unused]] auto n = ::write(2, marker.data(), marker.size());
    waitUntil([&] { return text().find(marker) != std::string::npos; });
}

namespace {
std::vector<std::string> linesWithoutMarkers(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        if (l.rfind(kMarker, 0) != 0) {
            out.push_back(l);
        }
    }
    return out;
}
}  // namespace

std::vector<std::string> StderrCapture::lines() const {
    settle();
    return linesWithoutMarkers(text());
}

std::size_t StderrCapture::count(const std::string& line) const {
    std::size_t n = 0;
    for (const auto& l : lines()) {
        n += (l == line) ? 1 : 0;
    }
    return n;
}

bool StderrCapture::waitForLine(const std::string& line, std::chrono::milliseconds deadline) const {
    return waitUntil([&] { return count(line) > 0; }, deadline);
}

bool StderrCapture::waitForLineContaining(const std::string& needle,
                                          std::chrono::milliseconds deadline) const {
    return waitUntil([&] { return text().find(needle) != std::string::npos; }, deadline);
}

// --- LoopbackServer ---

LoopbackServer::LoopbackServer(Script script, std::uint16_t port) : script_(std::move(script)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopbackAddress(port);
    socklen_t len = sizeof(addr);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        return;
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    shutdown();
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    std::vector<std::thread> workers;
    {
        MutexLock lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& t : workers) {
        t.join();
    }
    MutexLock lock(mutex_);
    for (int fd : connections_) {
        ::close(fd);
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
}

void LoopbackServer::acceptLoop() {
    for (;;) {
        // stopping_ is read under mutex_ before and after each poll.
        int listenFd = -1;
        {
            MutexLock lock(mutex_);
            if (stopping_) {
                return;
            }
            listenFd = listenFd_;
        }
        pollfd p{listenFd, POLLIN, 0};
        int r = ::poll(&p, 1, 20);
        {
            MutexLock lock(mutex_);
            if (stopping_) {
                return;
            }
        }
        if (r <= 0) {
            continue;
        }
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        MutexLock lock(mutex_);
        // A client that reconnects at once can be accepted while shutdown()
        // runs; serving it would bring the "crashed" daemon back.
        if (stopping_) {
            ::close(fd);
            return;
        }
        ++accepted_;
        connections_.push_back(fd);
        workers_.emplace_back([this, fd] { script_(fd); });
    }
}

int LoopbackServer::acceptedCount() const {
    MutexLock lock(mutex_);
    return accepted_;
}

void LoopbackServer::shutdown() {
    MutexLock lock(mutex_);
    if (stopping_) {
        return;
    }
    stopping_ = true;
    // shutdown(2) rather than close: a script blocked in read on the fd wakes
    // up, and the descriptor number cannot be reused under it.
    for (int fd : connections_) {
        ::shutdown(fd, SHUT_RDWR);
    }
    // Only shut down here: the accept loop may be polling the descriptor,
    // which must not be closed (and its number reused) until it has ended.
    if (listenFd_ >= 0) {
        ::shutdown(listenFd_, SHUT_RDWR);
    }
}

std::optional<std::string> readSocketLine(int fd) {
    std::string line;
    char c;
    for (;;) {
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
}

std::optional<std::vector<std::string>> readRequest(int fd) {
    std::vector<std::string> lines;
    for (;;) {
        auto line = readSocketLine(fd);
        if (!line) {
            return std::nullopt;
        }
        if (*line == protocol::kEndLine) {
            return lines;
        }
        lines.push_back(std::move(*line));
    }
}

bool sendDatagram(std::uint16_t port, const std::string& bytes) {
    // One socket for the whole test process, as a daemon may keep its own;
    // the listener tests send from sockets closed at once where it matters.
    static const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in addr = loopbackAddress(port);
    ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                         sizeof addr);
    return n == static_cast<ssize_t>(bytes.size());
}

// --- TempDir ---

TempDir::TempDir() {
    char tmpl[] = "/tmp/tarnwell-test-XXXXXX";
    char* p = ::mkdtemp(tmpl);
    path_ = p ? std::filesystem::canonical(p).string() : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (path_ != "/tmp") {
        std::filesystem::remove_all(path_, ec);
    }
}

std::string TempDir::file(const std::string& relative, const std::string& content) {
    std::filesystem::path p = std::filesystem::path(path_) / relative;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << content;
    return p.string();
}

std::string TempDir::dir(const std::string& relative) {
    std::filesystem::path p = std::filesystem::path(path_) / relative;
    std::filesystem::create_directories(p);
    return p.string();
}

bool ForeignSocket::start(const std::string& kind, std::uint16_t port,
                          const std::vector<std::string>& options) {
    std::vector<std::string> argv{FOREIGN_SOCKET_HELPER_PATH, std::to_string(kUid), kind,
                                  std::to_string(port)};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!process_.start(argv)) {
        return false;
    }
    std::optional<std::string> line = process_.readLine();
    if (!line) {
        return false;
    }
    if (line->rfind("ready port=", 0) == 0) {
        port_ = static_cast<std::uint16_t>(std::stoul(line->substr(11)));
        return true;
    }
    return line->rfind("bind-failed", 0) == 0;
}

bool ForeignSocket::send(std::uint16_t to, const std::string& text, int count) {
    if (!process_.writeStdin("send " + std::to_string(to) + " " + std::to_string(count) + " " +
                             text + "\n")) {
        return false;
    }
    std::optional<std::string> line = process_.readLine();
    return line && *line == "sent";
}

std::optional<unsigned long> ForeignSocket::bytesReceived() {
    if (!process_.writeStdin("bytes\n")) {
        return std::nullopt;
    }
    std::optional<std::string> line = process_.readLine();
    if (!line || line->rfind("bytes ", 0) != 0) {
        return std::nullopt;
    }
    return std::stoul(line->substr(6));
}

}  // namespace tarnwell::test
