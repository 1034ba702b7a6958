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

// A root the plug-in could use, checked alike on the command line and in
// "roots": empty when accepted, else why not (an empty or relative root, which
// the plug-in ignores).
std::string refusedRoot(const std::string& root);
// One that does not exist or is not a folder is accepted, for the tests of a
// daemon that lists such a root, but named on stderr.
void warnIfNoFolder(const std::string& root);

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
    void setRoots(const std::string& line, const std::string& rest);

    SimState& state_;
    Notifier& notifier_;
    std::string buffer_;  // a line not yet complete
    // How much of buffer_ is known to hold no LF, so that a long line read
    // in many pieces is searched once, not once per piece.
    std::size_t scanned_ = 0;
};

}  // namespace tarnwell::sim

#endif  // TARNWELL_TOOLS_DAEMON_SIM_CONTROL_H_
