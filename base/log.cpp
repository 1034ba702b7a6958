#include "base/log.h"

#include <algorithm>
#include <cstddef>
#include <iostream>

namespace tarnwell {

namespace {

// This thread's line held back, escaped and with its newline. A plain buffer:
// a thread-local object with a destructor would keep the plug-in from being
// unloaded while any thread that ever logged lives on.
constexpr std::size_t kHeldCapacity = 256;
thread_local char heldText[kHeldCapacity];
thread_local std::size_t heldSize = 0;

// Paths and names in a line come from the host and the daemon; a line feed or
// carriage return among them would end the line early and let the rest pose
// as a line of its own, so they are written as \n and \r.
void appendEscaped(std::string& text, const std::string& line) {
    text.reserve(text.size() + line.size() + 1);
    for (char c : line) {
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else {
            text.push_back(c);
        }
    }
    text.push_back('\n');
}

// The held line, which is no longer held.
std::string takeHeld() {
    std::string text(heldText, heldSize);
    heldSize = 0;
    return text;
}

void write(const std::string& text) {
    std::cerr.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cerr.flush();
}

}  // namespace

void logLine(const std::string& line) {
    std::string text = takeHeld();
    appendEscaped(text, line);
    write(text);
}

void logLineHeld(const std::string& line) {
    std::string text = takeHeld();
    appendEscaped(text, line);
    if (text.size() > kHeldCapacity) {
        write(text);  // too long to hold: written now, in order all the same
        return;
    }
    std::copy(text.begin(), text.end(), heldText);
    heldSize = text.size();
}

void flushHeldLine() {
    if (heldSize != 0) {
        write(takeHeld());
    }
}

}  // namespace tarnwell
