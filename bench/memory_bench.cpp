// What the status cache costs per path, as the allocator sees it, against the
// path's own bytes.
//
// The pending-query set is not part of the figure: the core inserts into it
// only while connected, and then every insertion also queues a command
// record, so the allocator's delta would be the queue's rather than the set's.
// The set holds only the paths in flight (what the host drew since the daemon
// last caught up), and its entries are nodes of the same kind as the cache's.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "bench_support.h"
#include "core/tarnwell_core.h"

namespace tarnwell::bench {
namespace {

// Bytes the allocator has handed out and not had back, heap and mmap alike
// (a big bucket array is mmapped).
double allocatedBytes() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

// Resident bytes of the process, from /proc/self/statm.
double residentBytes() {
    std::ifstream statm("/proc/self/statm");
    double size = 0;
    double resident = 0;
    statm >> size >> resident;
    return resident * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

std::size_t pathCount() {
    if (const char* text = std::getenv("TARNWELL_BENCH_MEMORY_PATHS")) {
        const long value = std::atol(text);
        if (value > 0) {
            return static_cast<std::size_t>(value);
        }
    }
    return 1000000;
}

void BM_StatusCacheMemory(benchmark::State& state) {
    const std::size_t count = pathCount();
    // A sync root that does not exist on this machine: the paths are
    // canonicalized as text, as they are for files not yet on disk, and the
    // machine needs no million files.
    const std::string root = "/home/user/Tarnwell/Shared";
    std::vector<std::string> paths;
    paths.reserve(count);
    double pathBytes = 0;
    for (const auto& relative : realisticRelativePaths(count, 42)) {
        paths.push_back(root + "/" + relative);
        pathBytes += static_cast<double>(paths.back().size());
    }
    double bytesPerPath = 0;
    double residentPerPath = 0;
    for (auto _ : state) {
        auto core = std::make_unique<TarnwellCore>(freeTcpPort(), freeUdpPort());
        TarnwellCommand roots;
        roots.response[protocol::kPathKey] = {root};
        core->handleGetTwRootsResponse(&roots);
        ::malloc_trim(0);
        const double before = allocatedBytes();
        const double residentBefore = residentBytes();
        for (const auto& path : paths) {
            core->setStatus(path, TarnwellCore::UpToDate);
        }
        const double after = allocatedBytes();
        bytesPerPath = (after - before) / static_cast<double>(count);
        residentPerPath = (residentBytes() - residentBefore) / static_cast<double>(count);
        if (core->getStatus(paths.back()) != TarnwellCore::UpToDate) {
            state.SkipWithError("a stored status is missing");
            return;
        }
    }
    const double meanPath = pathBytes / static_cast<double>(count);
    state.counters["paths"] = static_cast<double>(count);
    state.counters["figure_bytes_per_path"] = bytesPerPath;
    state.counters["floor_bytes_per_path"] = meanPath;
    state.counters["ratio"] = bytesPerPath / meanPath;
    // A cross-check of the allocator's figure, coarser (whole pages, and
    // freed memory the allocator keeps).
    state.counters["rss_bytes_per_path"] = residentPerPath;
}

BENCHMARK(BM_StatusCacheMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwell::bench
