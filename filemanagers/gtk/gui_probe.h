// An opt-in measurement seam for the benchmarks in the real file manager
// (bench/file_manager_bench.py): what our code costs the file manager's GUI
// thread. When the environment variable TARNWELL_FM_PROBE names a file at
// module initialization, the module times each of its GUI-thread calls and
// keeps a timer on the GUI main loop whose lateness shows how long the loop
// was held; everything kept is written to that file when the module is
// unloaded or the process exits (docs/performance.md describes the lines).
// While it runs, FILE.count holds the number of update_file_info calls so
// far, rewritten at most every 100 ms when it changed: the benchmark waits on
// it for the file manager to have asked about a folder outside any sync
// folder, where the daemon sees nothing.
// Unset, nothing is timed, kept or started: each call site costs one test of
// a flag.
//
// Threads: GUI thread only (the file manager's default main context), like
// every call that is timed; nothing here is locked.

#ifndef TARNWELL_FILEMANAGERS_GTK_GUI_PROBE_H
#define TARNWELL_FILEMANAGERS_GTK_GUI_PROBE_H

#include <cstdint>
#include <string>

namespace tarnwell::gui_probe {

// Set once by startIfAsked; read on the GUI thread only.
extern bool active;

// Reads TARNWELL_FM_PROBE and, when it names a file, starts keeping.
void startIfAsked();

// Writes what was kept to the file and stops keeping (also at exit).
void finish();

std::int64_t clockNs();  // CLOCK_MONOTONIC, comparable across processes

// The start of a timed call, by the clock and by the GUI thread's CPU time;
// zero when the probe is off. A timed call may run inside another (the file
// manager can ask again from inside an invalidation): each keeps its own.
struct Mark {
    std::int64_t wallNs = 0;
    std::int64_t cpuNs = 0;
};
Mark mark();
inline Mark start() {
    return active ? mark() : Mark{};
}
// The same by the clock only, for the calls into the file manager: the CPU
// clock is a system call, which would count in the hand-over's own part.
inline Mark startClock() {
    return active ? Mark{clockNs(), 0} : Mark{};
}

// One update_file_info answered for `path`, with an emblem or without.
void updateFileInfoDone(Mark started, const std::string& path, bool emblem);

// The end of a call into the file manager from a hand-over, begun with
// startClock (its lookup and invalidation, and whatever it runs inside them,
// our update_file_info included): kept apart from the hand-over's own time.
void fileManagerCallDone(Mark started);

// One coalesced hand-over that asked the file manager again about `files`.
void handOverDone(Mark started, std::size_t files);

}  // namespace tarnwell::gui_probe

#endif  // TARNWELL_FILEMANAGERS_GTK_GUI_PROBE_H
