// The doctor's checks, one function per thing that keeps emblems from
// showing. Each appends its findings to the report; none changes anything on
// the machine, and the only bytes any of them sends are the daemon requests
// "get_tw_roots" and "query_stat".
//
// All run on the main thread, one after the other, within one deadline.
#ifndef TARNWELL_TOOLS_DOCTOR_CHECKS_H_
#define TARNWELL_TOOLS_DOCTOR_CHECKS_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "daemon_connection.h"
#include "deadline.h"
#include "doctor/report.h"
#include "protocol/vocabulary.h"

namespace tarnwell::doctor {

using protocol::kPluginFileName;
inline constexpr const char* kHostLibraryName = "libdfm-extension.so.1";

// The four symbols the file manager calls.
const std::vector<std::string>& entryPointNames();
// Every icon-theme name the plug-in hands the file manager: the four emblems
// and the menu icons (protocol/tables.h).
const std::vector<std::string>& iconNames();

// "a, b, c", for the findings.
std::string joinNames(const std::vector<std::string>& names);

// Installed, its host library resolves (ldd in a child process), and it
// exports the entry points (read from the file, never loaded).
void checkPlugin(const std::string& path, const Deadline& deadline, Report& report);

// The hicolor theme folders in the XDG data folders, in lookup order.
class IconThemeFolders {
public:
    explicit IconThemeFolders(std::vector<std::string> hicolorDirs)
        : hicolorDirs_(std::move(hicolorDirs)) {}
    // The hicolor folders of the XDG data folders (tools_common/own_folders.h).
    static IconThemeFolders fromEnvironment();

    const std::vector<std::string>& hicolorDirs() const { return hicolorDirs_; }
    // Every file of the icon, any size and context, .png or .svg.
    std::vector<std::string> find(const std::string& iconName) const;

private:
    static void findIn(const std::string& theme, const std::string& iconName,
                       std::vector<std::string>& files);

    std::vector<std::string> hicolorDirs_;
};

// Each icon in at least one size, and each theme cache that covers them not
// older than they are.
void checkIcons(const IconThemeFolders& folders, Report& report);

// What the daemon checks learnt, for the path checks.
struct DaemonFindings {
    bool answered = false;      // "get_tw_roots" got an answer
    bool mayAsk = false;        // the daemon is the user's own: paths may go to it
    bool notTheDaemon = false;  // what listens answered in another protocol
    // The first answer was one the plug-in cannot read: a greeting came
    // before it, or its framing is wrong (CR LF, a space after "rsp").
    bool unreadable = false;
    std::vector<std::string> roots;  // canonical, in the daemon's order
    // The same roots as the daemon wrote them (through a link, with "//"),
    // one for each of `roots`.
    std::vector<std::string> listedRoots;
};

// Who listens on the port, whether it is the user's own, whether it answers
// "get_tw_roots" within `answerLimit` (a user waits a second; the daemon's
// own check gives it the plug-in's 3 s), and each root it lists.
DaemonFindings checkDaemon(DaemonConnection& connection, std::uint16_t port,
                           const Deadline& deadline, Report& report,
                           std::chrono::milliseconds answerLimit = std::chrono::seconds(1));

// The notification port free, or held only by the user's own file manager
// with the plug-in loaded.
void checkNotifyPort(std::uint16_t port, const Deadline& deadline, Report& report);

// Whether the menu can show in the user's language: the locale installed,
// and a catalogue of the plug-in's text domain for the language gettext
// would pick, beside the plug-in at `pluginPath` as the plug-in looks for
// it. A warning, not a failure: the menu then shows in English.
void checkCatalogue(const std::string& pluginPath, Report& report);

// For a path given on the command line: its canonical form, its sync root,
// the daemon's status for it and the emblem that would show.
void checkPath(const std::string& path, const DaemonFindings& daemon, DaemonConnection& connection,
               const IconThemeFolders& folders, const Deadline& deadline, Report& report);

}  // namespace tarnwell::doctor

#endif  // TARNWELL_TOOLS_DOCTOR_CHECKS_H_
