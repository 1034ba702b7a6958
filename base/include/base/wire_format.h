// The text wire format of the command channel and of notifications: lines
// ended by LF, fields separated by TAB, and backslash escapes for LF, TAB and
// backslash inside a field.
//
// All functions here are free of shared state and safe on any thread.
#ifndef TARNWELL_BASE_WIRE_FORMAT_H_
#define TARNWELL_BASE_WIRE_FORMAT_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "base/argument_map.h"

namespace tarnwell {

// Backslash -> "\\", LF -> "\n", TAB -> "\t"; every other byte unchanged.
std::string escapeField(const std::string& field);
// The same, appended to `out`.
void appendEscapedField(std::string& out, std::string_view field);

// Undoes escapeField. A backslash before any other byte, or at the end, is
// kept as it is.
std::string unescapeField(const std::string& field);

// A response line longer than this fails the exchange: far above anything a
// daemon sends (a path is at most 4 KiB), and it keeps a misbehaving peer from
// growing the file manager's memory without bound.
inline constexpr std::size_t kMaxLineBytes = 1 << 20;
// Likewise for the number of argument lines in one response, and for their
// bytes together (without this, 65536 lines of 1 MiB would still be allowed).
inline constexpr std::size_t kMaxResponseLines = 1 << 16;
inline constexpr std::size_t kMaxResponseBytes = 16 << 20;

// Splits a response or notification argument line at every TAB and stores
// unescaped key -> values in `args`, replacing an earlier entry of that key.
// A line without a TAB is ignored.
void parseArgumentLine(std::string_view line, ArgumentMap& args);

}  // namespace tarnwell

#endif  // TARNWELL_BASE_WIRE_FORMAT_H_
