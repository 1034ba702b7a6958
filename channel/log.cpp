#include "channel/log.h"

#include <iostream>

namespace tarnwell {

void logLine(const std::string& line) {
    std::string text;
    text.reserve(line.size() + 1);
    text += line;
    text.push_back('\n');
    std::cerr.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cerr.flush();
}

}  // namespace tarnwell
