// The control commands on the daemon's stdin, one a line: "set PATH N",
// "roots DIR...", "notify NAME [KEY VALUE]..." and "quit". A bad line is
// reported on stderr and skipped.
//
// Thread safety: none needed; the single-threaded event loop owns it.
#ifndef TARNWELL_TOOLS_DAEMON_SIM_CONTROL_H_
#define TARNWELL_TOOLS_DAEMON_SIM_CONTROL_H_

#include <string>

#include "notifier.h"
#include "sim_state.h"

namespace tarnwell::sim {

// A decimal status, the whole of `text`.
bool parseStatus(const std::string& text, long& status);

class ControlInput {
public:
    ControlInput(SimState& state, Notifier& notifier) : state_(state), notifier_(notifier) {}

    // Reads what is waiting on `fd` and runs the complete lines in it. False
    // at the end of the input (a last line without LF still runs) or after
    // "quit".
    bool readFrom(int fd);

private:
    enum class Result { kContinue, kQuit };
    Result run(std::string line);

    SimState& state_;
    Notifier& notifier_;
    std::string buffer_;  // a line not yet complete
};

}  // namespace tarnwell::sim

#endif  // TARNWELL_TOOLS_DAEMON_SIM_CONTROL_H_
