#include "base/log.h"

#include <iostream>

namespace tarnwell {

void logLine(const std::string& line) {
    // Paths and names in a line come from the host and the daemon; a line
    // feed or carriage return among them would end the line early and let the
    // rest pose as a line of its own, so they are written as \n and \r.
    std::string text;
    text.reserve(line.size() + 1);
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
    std::cerr.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cerr.flush();
}

}  // namespace tarnwell
