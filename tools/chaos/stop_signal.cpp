#include "stop_signal.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace tarnwell::chaos {
namespace {

sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

// Read and written by the main thread only.
int gReceived = 0;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

}  // namespace

void blockStopSignals() {
    const sigset_t signals = stopSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int stopSignal() {
    if (gReceived == 0) {
        const sigset_t signals = stopSignals();
        const timespec noWait{0, 0};
        const int taken = ::sigtimedwait(&signals, nullptr, &noWait);
        if (taken > 0) {
            gReceived = taken;
        }
    }
    return gReceived;
}

const char* stopSignalName(int signal) {
    return signal == SIGINT ? "SIGINT" : "SIGTERM";
}

}  // namespace tarnwell::chaos
