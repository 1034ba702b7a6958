#include "bench_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "base/posix_io.h"
#include "base/wire_format.h"
#include "protocol/messages.h"

namespace tarnwell::bench {

namespace {

using namespace std::chrono_literals;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double minNanosPerCall(const std::function<void()>& call, int calls, int batches) {
    double best = 0;
    for (int b = 0; b < batches; ++b) {
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i) {
            call();
        }
        const double nanos = secondsSince(start) * 1e9 / calls;
        if (b == 0 || nanos < best) {
            best = nanos;
        }
    }
    return best;
}

// --- DaemonSimProcess ---

DaemonSimProcess::~DaemonSimProcess() {
    stop();
}

bool DaemonSimProcess::start(std::uint16_t port, std::uint16_t notifyPort,
                             const std::vector<std::string>& roots,
                             const std::vector<std::string>& extraArgs, bool controlled) {
    std::vector<std::string> argv = {TARNWELL_DAEMON_SIM_PATH, "--port", std::to_string(port),
                                     "--notify-port", std::to_string(notifyPort)};
    if (!controlled) {
        argv.push_back("--no-stdin");
    }
    for (const auto& root : roots) {
        argv.push_back("--root");
        argv.push_back(root);
    }
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    process_ = std::make_unique<test::ChildProcess>();
    process_->observeStdout([this](const std::string* line) { countLine(line); });
    if (!process_->start(argv)) {
        process_.reset();
        return false;
    }
    controlled_ = controlled;
    if (!controlled) {
        process_->closeStdin();
    }
    waitUntil([this] { return listeningPort_.load() >= 0; }, 10s);
    const int listening = listeningPort_.load();
    if (listening <= 0) {
        stop();
        return false;
    }
    port_ = static_cast<std::uint16_t>(listening);
    return true;
}

void DaemonSimProcess::stop() {
    end(SIGTERM);
}

void DaemonSimProcess::kill() {
    end(SIGKILL);
}

void DaemonSimProcess::end(int signal) {
    if (process_ != nullptr) {
        process_->signal(signal);
        process_->wait();
        // Destroyed, the child's pipes close and its reader is joined.
        process_.reset();
    }
    controlled_ = false;
    // Ready for another start.
    listeningPort_ = -1;
}

bool DaemonSimProcess::control(const std::string& line) {
    return process_ != nullptr && controlled_ && process_->writeStdin(line + "\n");
}

bool DaemonSimProcess::waitForQueryStats(std::uint64_t count,
                                         std::chrono::steady_clock::time_point until) {
    MutexLock lock(waitMutex_);
    awaitedQueryStats_ = count;
    const bool reached =
        lock.waitUntil(queryStatsReached_, until, [&] { return queryStats_.load() >= count; });
    awaitedQueryStats_ = UINT64_MAX;
    return reached;
}

void DaemonSimProcess::countLine(const std::string* line) {
    static const std::string kListening = "listening port=";
    static const std::string kQueryStat = "request query_stat";
    static const std::string kRequest = "request ";
    if (line == nullptr) {
        int expected = -1;
        listeningPort_.compare_exchange_strong(expected, 0);
    } else if (line->rfind(kQueryStat, 0) == 0) {
        if (++queryStats_ >= awaitedQueryStats_.load()) {
            // Taken so that the waiter is either before its check or waiting.
            { MutexLock lock(waitMutex_); }
            queryStatsReached_.notify_all();
        }
    } else if (line->rfind(kRequest, 0) == 0) {
        ++otherRequests_;
    } else if (listeningPort_.load() < 0 && line->rfind(kListening, 0) == 0) {
        listeningPort_ = std::atoi(line->c_str() + kListening.size());
    }
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double medianRatio(const std::vector<double>& figures, const std::vector<double>& floors) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < figures.size() && i < floors.size(); ++i) {
        ratios.push_back(figures[i] / floors[i]);
    }
    return median(ratios);
}

OneCpuPin::OneCpuPin(bool pin) {
    if (!pin || ::sched_getaffinity(0, sizeof saved_, &saved_) != 0) {
        return;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &saved_)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    pinned_ = ::sched_setaffinity(0, sizeof one, &one) == 0;
}

OneCpuPin::~OneCpuPin() {
    if (pinned_) {
        ::sched_setaffinity(0, sizeof saved_, &saved_);
    }
}

std::vector<std::string> realisticRelativePaths(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> filesPerFolder(10, 100);
    std::uniform_int_distribution<int> foldersPerProject(5, 40);
    std::vector<std::string> paths;
    paths.reserve(count);
    char name[96];
    for (int project = 0; paths.size() < count; ++project) {
        const int folders = foldersPerProject(random);
        for (int folder = 0; folder < folders && paths.size() < count; ++folder) {
            const int files = filesPerFolder(random);
            for (int file = 0; file < files && paths.size() < count; ++file) {
                std::snprintf(name, sizeof name, "project-%05d/folder-%03d/file-%03d.txt", project,
                              folder, file);
                paths.emplace_back(name);
            }
        }
    }
    return paths;
}

// --- FloorClient ---

FloorClient::~FloorClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool FloorClient::connect(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return false;
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const sockaddr_in addr = loopbackAddress(port);
    return ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

void FloorClient::adopt(int fd) {
    fd_ = fd;
    buffer_.clear();
    offset_ = 0;
}

std::optional<std::string> FloorClient::readLine() {
    for (;;) {
        const std::size_t nl = buffer_.find('\n', offset_);
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(offset_, nl - offset_);
            offset_ = nl + 1;
            return line;
        }
        buffer_.erase(0, offset_);
        offset_ = 0;
        char chunk[16384];
        const ssize_t n = ::read(fd_, chunk, byteWise_ ? 1 : sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> FloorClient::queryStat(const std::string& path) {
    const ArgumentMap args{{protocol::kPathKey, {path}}};
    if (!writeAll(fd_, protocol::buildRequest(protocol::kQueryStat, &args))) {
        return std::nullopt;
    }
    const auto status = readLine();
    if (!status) {
        return std::nullopt;
    }
    std::optional<std::string> stat;
    for (;;) {
        auto line = readLine();
        if (!line) {
            return std::nullopt;
        }
        if (*line == protocol::kEndLine) {
            break;
        }
        if (line->rfind("stat\t", 0) == 0) {
            stat = unescapeField(line->substr(5));
        }
    }
    return *status == protocol::kAnswerStatus ? stat : std::nullopt;
}

// --- /proc ---

std::optional<std::uint64_t> parseStatCpuTicks(const std::string& statLine) {
    // "pid (comm) state ppid ...": comm may hold anything, so fields are
    // counted from the last ')'. utime and stime are fields 14 and 15, that
    // is the 12th and 13th after the state.
    const std::size_t close = statLine.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream rest(statLine.substr(close + 1));
    std::string field;
    std::uint64_t utime = 0;
    std::uint64_t stime = 0;
    for (int i = 1; i <= 13; ++i) {
        if (!(rest >> field)) {
            return std::nullopt;
        }
        if (i == 12 || i == 13) {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(field.c_str(), &end, 10);
            if (end == field.c_str() || *end != '\0') {
                return std::nullopt;
            }
            (i == 12 ? utime : stime) = value;
        }
    }
    return utime + stime;
}

std::optional<std::uint64_t> parseVoluntarySwitches(const std::string& statusText) {
    static const std::string kKey = "\nvoluntary_ctxt_switches:";
    const std::string text = "\n" + statusText;
    const std::size_t at = text.find(kKey);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    const char* digits = text.c_str() + at + kKey.size();
    const unsigned long long value = std::strtoull(digits, &end, 10);
    if (end == digits) {
        return std::nullopt;
    }
    return value;
}

std::optional<ThreadFigures> readThreadFigures(pid_t tid) {
    const std::string dir = "/proc/self/task/" + std::to_string(tid);
    const auto ticks = parseStatCpuTicks(readFile(dir + "/stat"));
    const auto switches = parseVoluntarySwitches(readFile(dir + "/status"));
    if (!ticks || !switches) {
        return std::nullopt;
    }
    return ThreadFigures{*ticks, *switches};
}

std::vector<pid_t> threadIds() {
    std::vector<pid_t> ids;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir) {
        return ids;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (const std::optional<pid_t> id = parsePid(entry->d_name)) {
            ids.push_back(*id);
        }
    }
    ::closedir(dir);
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace tarnwell::bench
