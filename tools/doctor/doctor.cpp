#include "doctor/doctor.h"

#include <algorithm>

#include "checks.h"
#include "daemon_connection.h"
#include "deadline.h"

namespace tarnwell::doctor {

Report runDoctor(const Options& options) {
    const Deadline deadline(options.budget);
    Report report;
    checkPlugin(options.pluginPath, deadline, report);
    std::vector<std::string> themes = options.iconThemeDirs;
    // The folder installed beside an installed doctor is often one of the
    // system's as well: each is searched, and listed, once.
    const IconThemeFolders system = IconThemeFolders::fromEnvironment();
    for (const std::string& theme : system.hicolorDirs()) {
        if (std::find(themes.begin(), themes.end(), theme) == themes.end()) {
            themes.push_back(theme);
        }
    }
    const IconThemeFolders folders(std::move(themes));
    checkIcons(folders, report);
    checkCatalogue(options.pluginPath, report);
    DaemonConnection connection;
    const DaemonFindings daemon = checkDaemon(connection, options.daemonPort, deadline, report);
    checkNotifyPort(options.notifyPort, deadline, report);
    for (const std::string& path : options.paths) {
        checkPath(path, daemon, connection, folders, deadline, report);
    }
    return report;
}

}  // namespace tarnwell::doctor
