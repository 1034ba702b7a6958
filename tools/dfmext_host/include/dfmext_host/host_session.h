// The command interpreter of dfmext-host: runs one command line at a time
// against a loaded plug-in's emblem and menu objects, the way a file manager
// would ask them, and prints each result as one stable line on `out`.
//
// Thread safety: none; one session belongs to the host's one thread, as a
// file manager's menus belong to its UI thread.
#ifndef TARNWELL_TOOLS_DFMEXT_HOST_HOST_SESSION_H_
#define TARNWELL_TOOLS_DFMEXT_HOST_HOST_SESSION_H_

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "dfmext/emblem.h"
#include "dfmext/menu.h"

namespace dfmext_host {

// Splits a command line into words: blanks separate, '...' quotes literally,
// "..." quotes with backslash escapes, a backslash outside quotes escapes the
// next character. Nullopt for an unterminated quote or a trailing backslash.
std::optional<std::vector<std::string>> splitWords(const std::string& line);

// The folder a path lies in, as text: "/a/b/c" -> "/a/b", "/a" -> "/",
// "c" -> ".". Trailing slashes are ignored.
std::string parentFolder(const std::string& path);

// The usage text of the commands (shared by --help and the help command).
const char* commandHelp();

class HostSession {
public:
    enum class Outcome { Ok, Failed, Quit };

    // Any of the plug-in objects may be null (a plug-in without that
    // provider); the commands that need it then fail. `interrupted` is polled
    // during waits so that a signal ends them promptly. None of the pointers
    // is owned. `proxy` is the one the menu plug-in was initialized with.
    HostSession(dfmext::DFMExtEmblemIconPlugin* emblemPlugin, dfmext::DFMExtMenuPlugin* menuPlugin,
                dfmext::DFMExtMenuProxy* proxy, std::ostream& out, std::ostream& err,
                std::function<bool()> interrupted = {});

    // Runs one command line. Blank lines and lines starting with '#' do
    // nothing. A failure prints one "error: ..." line on `err`.
    Outcome execute(const std::string& line);

private:
    Outcome runEmblem(const std::vector<std::string>& words);
    Outcome runLs(const std::vector<std::string>& words);
    Outcome runPicture(const std::vector<std::string>& words);
    Outcome runMenu(const std::vector<std::string>& words);
    Outcome runEmptyMenu(const std::vector<std::string>& words);
    Outcome runTrigger(const std::vector<std::string>& words);
    Outcome runSleep(const std::vector<std::string>& words);

    // One entry of a listed folder with the emblem the plug-in returned.
    struct Entry {
        std::string name;
        dfmext::DFMExtEmblem emblem;
    };
    // The entries of `dir` sorted by name, each with its emblem (asked for
    // DIR/NAME with N 0), asking again every redraw interval until every
    // entry has one or `waitMs` has passed. Nullopt, with `error` set, when
    // `dir` cannot be listed.
    std::optional<std::vector<Entry>> listWithEmblems(const std::string& dir, long long waitMs,
                                                      std::string& error);

    // Writes `document` to `outPath`, warns of each missing icon and prints
    // "picture OUT.svg".
    Outcome writePicture(const std::string& outPath, const std::string& document,
                         const std::vector<std::string>& missingIcons);
    // Draws the menu the plug-in builds for DIR/NAME open over `document`, a
    // picture of DIR; false after a failure line.
    bool addOpenMenu(const std::string& dir, const std::string& name,
                     const std::vector<std::string>& themeDirs, std::string& document,
                     std::vector<std::string>& missingIcons);

    Outcome fail(const std::string& message);
    void print(const std::string& line);
    // A fresh menu for the next build: the previous menu's actions are freed,
    // as a file manager frees them when a context menu closes.
    dfmext::DFMExtMenu* freshMenu();
    // Sleeps up to `ms`, in slices, returning early when interrupted; false
    // if interrupted.
    bool pause(long long ms);
    bool isInterrupted() const { return interrupted_ && interrupted_(); }

    // Not owned; constant after construction.
    dfmext::DFMExtEmblemIconPlugin* const emblemPlugin_;
    dfmext::DFMExtMenuPlugin* const menuPlugin_;
    dfmext::DFMExtMenuProxy* const proxy_;
    std::ostream& out_;
    std::ostream& err_;
    const std::function<bool()> interrupted_;

    // The menu last built by "menu" or "empty-menu"; owned by proxy_, valid
    // until the next build. Null before the first build.
    dfmext::DFMExtMenu* lastMenu_ = nullptr;
};

}  // namespace dfmext_host

#endif  // TARNWELL_TOOLS_DFMEXT_HOST_HOST_SESSION_H_
