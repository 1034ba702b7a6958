// An opt-in measurement seam for the benchmarks in the real file manager
// (bench/file_manager_bench.py): what our code costs the file manager's GUI
// thread. When the environment variable TARNWELL_FM_PROBE names a file at
// module initialization, the module times each of its GUI-thread calls and
// keeps a timer on the GUI main loop whose lateness shows how long the loop
// was held; everything kept is written to that file when the module is
// unloaded or the process exits (docs/performance.md describes the lines).
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

// The start of a timed call: 0 when the probe is off.
inline std::int64_t start() { return active ? clockNs() : 0; }

// One update_file_info answered for `path`, with an emblem or without.
void updateFileInfoDone(std::int64_t startNs, const std::string& path, bool emblem);

// One coalesced hand-over that asked the file manager again about `files`.
void handOverDone(std::int64_t startNs, std::size_t files);

}  // namespace tarnwell::gui_probe

#endif  // TARNWELL_FILEMANAGERS_GTK_GUI_PROBE_H
