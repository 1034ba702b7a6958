#include "sim_output.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace tarnwell::sim {

void emitEvent(const std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void complain(const std::string& message) {
    const std::string text = "tarnwell-daemon-sim: " + message + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string errnoText() {
    // std::strerror may share its buffer between threads.
    return std::generic_category().message(errno);
}

}  // namespace tarnwell::sim
