// What the simulated daemon prints: one event line on stdout per request,
// notification and connection, and complaints on stderr. Single-threaded,
// like the whole daemon.
#ifndef TARNWELL_TOOLS_DAEMON_SIM_SIM_OUTPUT_H_
#define TARNWELL_TOOLS_DAEMON_SIM_SIM_OUTPUT_H_

#include <string>

namespace tarnwell::sim {

// Writes `line` and an LF to stdout and flushes, so that a reader of the
// pipe sees each event as it happens.
void emitEvent(const std::string& line);
// Why an event line could not be written (a full disk, a reader gone), or
// empty while every line went out. The event loop ends on it: whoever reads
// the events would miss some.
const std::string& lostOutput();
// "tarnwell-daemon-sim: " + message on stderr.
void complain(const std::string& message);

}  // namespace tarnwell::sim

#endif  // TARNWELL_TOOLS_DAEMON_SIM_SIM_OUTPUT_H_
