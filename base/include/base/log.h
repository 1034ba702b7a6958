// Diagnostics: one line per event on the host's standard error stream.
#ifndef TARNWELL_BASE_LOG_H_
#define TARNWELL_BASE_LOG_H_

#include <string>

namespace tarnwell {

// Writes `line` and a newline with one call, then flushes, so that lines
// written by different threads never interleave. A line feed or carriage
// return inside `line` is written as the two characters \n or \r, so that
// one event is always one line. Any thread.
void logLine(const std::string& line);

// Holds `line` back, to go out in the same call as the next line logged, by
// whatever thread, or at flushHeldLine. For a thread that logs one line after
// an event and another right after it (the channel's worker: an exchange
// finished, the next one begins), so that the pair costs one system call; it
// must flush before it waits for anything. A line held already is written
// first. Any thread.
void logLineHeld(const std::string& line);
// Writes the line held back, if any.
void flushHeldLine();

}  // namespace tarnwell

#endif  // TARNWELL_BASE_LOG_H_
