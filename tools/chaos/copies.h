// A chaos run with several copies of the plug-in, as a desktop runs them (the
// desktop, each file-manager window, each file dialog): each copy's host loop
// runs in a process of its own that loads the plug-in, and the daemon and an
// oracle per copy run in the chaos program's process. The copies are forked
// before any thread exists; each reports its draws and picks through a pipe
// (copy_reports.h) and publishes where its window begins in memory shared
// with the daemon.
//
// Thread safety: runCopies runs on the main thread, which reads the copies'
// reports; the daemon has its thread.
#ifndef TARNWELL_TOOLS_CHAOS_COPIES_H_
#define TARNWELL_TOOLS_CHAOS_COPIES_H_

#include <cstdint>
#include <string>

#include "options.h"

namespace tarnwell::chaos {

// The plug-in writes a line per command to stderr: to its own file, so that
// ours stays readable. False when the file cannot be written.
bool redirectPluginLog(const std::string& file);

// "tarnwell-chaos: MESSAGE" on the program's own stderr, also once
// redirectPluginLog has given fd 2 to the plug-in's log. Main thread.
void complain(const std::string& message);

// The exit status of the run: 0 without violations, 1 with any or when a
// copy ended early, 3 when the run cannot start.
int runCopies(const Options& o, std::uint64_t seed);

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_COPIES_H_
