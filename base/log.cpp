#include "base/log.h"

#include <iostream>
#include <mutex>

namespace tarnwell {

namespace {

// The line held back, escaped and with its newline; empty if none. Shared by
// every thread, so that any later line, from whatever thread, goes out after
// it. Not thread-local: the plug-in keeps off thread-local storage, which
// would tie it to the dynamic linker's own library.
std::mutex heldMutex;
std::string heldText;  // guarded by heldMutex

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

// Called with heldMutex held, so that the held line and the lines after it
// reach the stream in the order they were logged.
void write(const std::string& text) {
    std::cerr.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cerr.flush();
}

}  // namespace

void logLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(heldMutex);
    std::string text;
    text.swap(heldText);
    appendEscaped(text, line);
    write(text);
}

void logLineHeld(const std::string& line) {
    std::lock_guard<std::mutex> lock(heldMutex);
    appendEscaped(heldText, line);
}

void flushHeldLine() {
    std::lock_guard<std::mutex> lock(heldMutex);
    if (heldText.empty()) {
        return;
    }
    std::string text;
    text.swap(heldText);
    write(text);
}

}  // namespace tarnwell
