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

}  // namespace tarnwell

#endif  // TARNWELL_BASE_LOG_H_
