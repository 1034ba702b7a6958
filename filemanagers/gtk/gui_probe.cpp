#include "gui_probe.h"

#include <fcntl.h>
#include <glib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace tarnwell::gui_probe {

bool active = false;

namespace {

// Everything below is touched on the GUI thread only.
struct Call {
    char kind;  // 'u' update_file_info, 'h' hand-over
    std::int64_t startNs;
    std::int64_t durationNs;
    std::int64_t cpuNs;  // the GUI thread's CPU time in the call: without preemption
    std::size_t detail;  // 'u': the emblem was set (0/1); 'h': files asked about
    std::string path;    // 'u' only
    Mark fileManager;    // 'h' only: the time spent in the file manager's calls
};
std::vector<Call> calls;
// The lateness of each tick of the main-loop timer: its deadline and how far
// past it the tick ran.
std::vector<std::pair<std::int64_t, std::int64_t>> ticks;
std::string outputPath;
// FILE.count, and what was last written there; -1: not open.
int countFd = -1;
std::size_t updateCalls = 0;
std::size_t updateCallsWritten = 0;
std::size_t ticksSinceCountWritten = 0;
Mark inFileManager;  // summed by fileManagerCallDone since the last hand-over ended

std::int64_t threadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}
guint timerSource = 0;

// Frequent enough to catch every hold of a frame's length (16 ms), rare
// enough to cost the loop nothing measurable.
constexpr guint kTickMs = 4;
// The count file is rewritten every this many ticks at most (100 ms).
constexpr std::size_t kTicksPerCount = 25;

void writeCount() {
    if (countFd < 0 || updateCalls == updateCallsWritten) {
        return;
    }
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%zu\n", updateCalls);
    if (length > 0 && pwrite(countFd, text, static_cast<std::size_t>(length), 0) == length) {
        updateCallsWritten = updateCalls;
    }
}

gboolean onTick(gpointer /*unused*/) {
    // While a timeout is dispatched its ready time is still the deadline it
    // was due at; the next one is set after this returns.
    const std::int64_t deadlineUs = g_source_get_ready_time(g_main_current_source());
    const std::int64_t nowNs = clockNs();
    ticks.emplace_back(deadlineUs * 1000, nowNs - deadlineUs * 1000);
    if (++ticksSinceCountWritten >= kTicksPerCount) {
        ticksSinceCountWritten = 0;
        writeCount();
    }
    return G_SOURCE_CONTINUE;
}

void finishAtExit() {
    finish();
}

}  // namespace

std::int64_t clockNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The CPU clock is read outside the span the wall clock measures: it is a
// system call, and would count in the call's time.
Mark mark() {
    const std::int64_t cpuNs = threadCpuNs();
    return {clockNs(), cpuNs};
}

void startIfAsked() {
    // Read once, on the GUI thread, while the module is initialized: nothing
    // of ours sets the environment.
    const char* path = std::getenv("TARNWELL_FM_PROBE");  // NOLINT(concurrency-mt-unsafe)
    if (active || path == nullptr || *path == '\0') {
        return;
    }
    outputPath = path;
    calls.reserve(1 << 18);
    ticks.reserve(1 << 16);
    countFd = open((outputPath + ".count").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    timerSource = g_timeout_add(kTickMs, onTick, nullptr);
    std::atexit(finishAtExit);
    active = true;
}

void updateFileInfoDone(Mark started, const std::string& path, bool emblem) {
    if (started.wallNs != 0) {
        const std::int64_t wallNs = clockNs() - started.wallNs;
        const std::int64_t cpuNs = threadCpuNs() - started.cpuNs;
        calls.push_back({'u', started.wallNs, wallNs, cpuNs, emblem ? 1u : 0u, path, {}});
        ++updateCalls;
    }
}

void fileManagerCallDone(Mark started) {
    if (started.wallNs != 0) {
        inFileManager.wallNs += clockNs() - started.wallNs;
    }
}

void handOverDone(Mark started, std::size_t files) {
    if (started.wallNs != 0) {
        const std::int64_t wallNs = clockNs() - started.wallNs;
        const std::int64_t cpuNs = threadCpuNs() - started.cpuNs;
        calls.push_back(
            {'h', started.wallNs, wallNs, cpuNs, files, {}, std::exchange(inFileManager, Mark{})});
    }
}

// Lines: "u START_NS DURATION_NS CPU_NS EMBLEM PATH", "h START_NS
// DURATION_NS CPU_NS FILES FM_DURATION_NS 0", "t DEADLINE_NS LATENESS_NS";
// the path is the rest of its line.
void finish() {
    if (!active) {
        return;
    }
    active = false;
    if (timerSource != 0) {
        g_source_remove(timerSource);
        timerSource = 0;
    }
    writeCount();
    if (countFd >= 0) {
        close(countFd);
        countFd = -1;
    }
    FILE* out = std::fopen(outputPath.c_str(), "w");
    if (out == nullptr) {
        return;
    }
    for (const Call& call : calls) {
        std::fprintf(out, "%c %lld %lld %lld %zu ", call.kind, static_cast<long long>(call.startNs),
                     static_cast<long long>(call.durationNs), static_cast<long long>(call.cpuNs),
                     call.detail);
        if (call.kind == 'u') {
            std::fprintf(out, "%s\n", call.path.c_str());
        } else {
            std::fprintf(out, "%lld %lld\n", static_cast<long long>(call.fileManager.wallNs),
                         static_cast<long long>(call.fileManager.cpuNs));
        }
    }
    for (const auto& [deadline, lateness] : ticks) {
        std::fprintf(out, "t %lld %lld\n", static_cast<long long>(deadline),
                     static_cast<long long>(lateness));
    }
    std::fclose(out);
    calls.clear();
    ticks.clear();
}

}  // namespace tarnwell::gui_probe
