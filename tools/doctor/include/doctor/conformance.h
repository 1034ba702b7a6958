// tarnwell-doctor --daemon: checks a running daemon against what the plug-in
// needs of it (docs/protocol.md), for the daemon's developers. A mode of the
// doctor with a command line of its own; main hands it the whole command line
// when "--daemon" is among the options.
//
// Runs on the calling thread; starts no thread of its own.
#ifndef TARNWELL_DOCTOR_CONFORMANCE_H_
#define TARNWELL_DOCTOR_CONFORMANCE_H_

namespace tarnwell::doctor {

// Whether "--daemon" is among the options (before any "--").
bool wantsDaemonCheck(int argc, char** argv);

// Reads the mode's command line, runs the check, prints the report; returns
// the exit status (0 passed, 1 a check failed, 2 bad options). `usage` is
// the doctor's help, which describes both modes.
int daemonCheckMain(int argc, char** argv, const char* usage);

}  // namespace tarnwell::doctor

#endif  // TARNWELL_DOCTOR_CONFORMANCE_H_
