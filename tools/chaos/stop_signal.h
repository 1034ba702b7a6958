// How a chaos run is cut short. SIGINT (Ctrl-C) and SIGTERM are blocked in
// every thread and in the copies' processes, and the loops that pace the run
// take them from the pending set between frames, so that a run cut short ends
// the way a whole run ends: the plug-in shut down and unloaded, the figures of
// what it saw printed, the folder tree removed. A handler that ended the
// process could do none of that, and one running on the plug-in's threads
// would break their waits.
//
// Thread safety: blockStopSignals runs on the main thread before any other
// thread or process is started; stopSignal on the main thread of each
// process.
#ifndef TARNWELL_TOOLS_CHAOS_STOP_SIGNAL_H_
#define TARNWELL_TOOLS_CHAOS_STOP_SIGNAL_H_

namespace tarnwell::chaos {

void blockStopSignals();

// The stop signal received (SIGINT or SIGTERM), 0 while none has come. The
// first call that finds one pending takes it; later calls return it again.
int stopSignal();

// "SIGINT" or "SIGTERM".
const char* stopSignalName(int signal);

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_STOP_SIGNAL_H_
