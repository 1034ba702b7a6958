#include "base/log.h"

#include <chrono>
#include <iostream>
#include <mutex>

namespace tarnwell {

namespace {

using Clock = std::chrono::steady_clock;

// Held lines go out, with the line that exceeds either limit, once the oldest
// is this old or they fill this many bytes: a busy worker writes a few times
// a second, and a line is late by at most one exchange beyond the age limit.
constexpr auto kHeldAgeLimit = std::chrono::milliseconds(50);
constexpr std::size_t kHeldBytesLimit = std::size_t{16} * 1024;

// The lines held back, escaped and each with its newline; empty if none.
// Shared by every thread, so that any later line, from whatever thread, goes
// out after them. Not thread-local: the plug-in keeps off thread-local
// storage, which would tie it to the dynamic linker's own library.
std::mutex heldMutex;
std::string heldText;       // guarded by heldMutex
// Guarded by heldMutex: when the oldest held line was held, as the clock's
// count (a plain number, which a static may hold without a constructor).
Clock::rep heldSince = 0;

// Paths and names in a line come from the host and the daemon; a line feed or
// carriage return among them would end the line early and let the rest pose
// as a line of its own, so they are written as \n and \r.
void appendEscaped(std::string& text, const std::string& line) {
    text.reserve(text.size() + line.size() + 1);
    // Copied in runs between the characters to escape: the channel's worker
    // logs two lines an exchange.
    std::size_t from = 0;
    for (std::size_t at = 0; at < line.size(); ++at) {
        if (line[at] != '\n' && line[at] != '\r') {
            continue;
        }
        text.append(line, from, at - from);
        text += line[at] == '\n' ? "\\n" : "\\r";
        from = at + 1;
    }
    text.append(line, from);
    text.push_back('\n');
}

// Writes the held lines in one call and empties them, keeping the buffer.
// Called with heldMutex held, so that lines reach the stream in the order
// they were logged.
void writeHeld() {
    std::cerr.write(heldText.data(), static_cast<std::streamsize>(heldText.size()));
    std::cerr.flush();
    heldText.clear();
    // The buffer of an exceptionally long line is given back.
    if (heldText.capacity() > 4 * kHeldBytesLimit) {
        heldText.shrink_to_fit();
    }
}

}  // namespace

void logLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(heldMutex);
    appendEscaped(heldText, line);
    writeHeld();
}

void logLineHeld(const std::string& line) {
    std::lock_guard<std::mutex> lock(heldMutex);
    const Clock::rep now = Clock::now().time_since_epoch().count();
    if (heldText.empty()) {
        heldSince = now;
    }
    appendEscaped(heldText, line);
    if (heldText.size() >= kHeldBytesLimit || Clock::duration(now - heldSince) >= kHeldAgeLimit) {
        writeHeld();
    }
}

void flushHeldLine() {
    std::lock_guard<std::mutex> lock(heldMutex);
    if (!heldText.empty()) {
        writeHeld();
    }
}

}  // namespace tarnwell
