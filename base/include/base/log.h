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

// Holds `line` back, to go out in one call with the lines held after it: at
// the next line logged (by whatever thread), at flushHeldLine, or with the
// held line that finds the oldest one 50 ms old or the lines filling 16 KiB.
// No timer writes them: a thread that holds lines must flush them before it
// waits, or they wait with it. For a thread that logs lines at
// a high rate and flushes before it waits for anything (the channel's
// worker: two lines an exchange, thousands of exchanges a second in a cold
// fill), so that its lines cost a write a few times a second. Any thread.
void logLineHeld(const std::string& line);
// Writes the lines held back, if any.
void flushHeldLine();

}  // namespace tarnwell

#endif  // TARNWELL_BASE_LOG_H_
