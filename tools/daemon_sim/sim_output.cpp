#include "sim_output.h"

#include <cerrno>
#include <cstdio>

#include "base/posix_io.h"

namespace tarnwell::sim {

namespace {

// The reason the first event could not be written; empty while all went out.
std::string outputError;

}  // namespace

void emitEvent(const std::string& line) {
    const std::string text = line + "\n";
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if ((std::fflush(stdout) != 0 || !written) && outputError.empty()) {
        outputError = errnoText();
    }
}

const std::string& lostOutput() {
    return outputError;
}

void complain(const std::string& message) {
    const std::string text = "tarnwell-daemon-sim: " + message + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace tarnwell::sim
