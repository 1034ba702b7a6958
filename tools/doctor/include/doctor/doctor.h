// One run of tarnwell-doctor: every check in turn, within one deadline, into
// one report. The program's main parses the command line and prints; tests
// run the program itself.
//
// Runs on the calling thread; starts no thread of its own.
#ifndef TARNWELL_DOCTOR_DOCTOR_H_
#define TARNWELL_DOCTOR_DOCTOR_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "doctor/report.h"
#include "protocol/vocabulary.h"

namespace tarnwell::doctor {

struct Options {
    std::string pluginPath;          // where the file manager looks unless --plugin
    std::vector<std::string> paths;  // files and folders to explain
    // hicolor theme folders searched for the icons before the XDG ones
    std::vector<std::string> iconThemeDirs;
    std::uint16_t daemonPort = protocol::kCommandPort;
    std::uint16_t notifyPort = protocol::kNotifyPort;
    // The whole run, waits included. A little under the two seconds promised
    // to the user, for starting up and printing.
    std::chrono::milliseconds budget{1800};
};

Report runDoctor(const Options& options);

}  // namespace tarnwell::doctor

#endif  // TARNWELL_DOCTOR_DOCTOR_H_
