// The command interpreter of dfmext-host: runs one command line at a time
// against a loaded plug-in's emblem and menu objects, the way a file manager
// would ask them, and prints each result as one stable line on `out`. The
// class's parts live in host_session.cpp (the session, the emblem and
// picture commands), menu_commands.cpp and command_table.cpp (the commands
// and their help); reading a command line is command_words.h's.
//
// Thread safety: none; one session belongs to the host's one thread, as a
// file manager's menus belong to its UI thread.
#ifndef TARNWELL_TOOLS_DFMEXT_HOST_HOST_SESSION_H_
#define TARNWELL_TOOLS_DFMEXT_HOST_HOST_SESSION_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "dfmext/emblem.h"
#include "dfmext/menu.h"
#include "dfmext_host/command_words.h"

namespace dfmext_host {

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

    // The text of the help command and of --help, made from the commands'
    // table.
    static std::string helpText();

private:
    // A file manager redraws about this often while it waits for emblems.
    static constexpr long long kRedrawIntervalMs = 50;
    static constexpr std::size_t kAnyNumber = static_cast<std::size_t>(-1);
    // One command: its name, its usage (the first line of its help, and what
    // a misuse prints), the rest of its help, the options it takes, how many
    // positional words it wants, what runs it once its words are read, and
    // whether its words are all text (echo), none of them an option.
    struct Command {
        const char* name;
        const char* usage;
        const char* help;
        std::vector<std::string_view> options;
        std::size_t minWords;
        std::size_t maxWords;
        Outcome (HostSession::*run)(const CommandWords& words);
        bool wordsAreText = false;
    };
    // In the order the help lists them.
    static const std::vector<Command>& commands();

    Outcome runEmblem(const CommandWords& words);
    Outcome runLs(const CommandWords& words);
    Outcome runPicture(const CommandWords& words);
    Outcome runMenu(const CommandWords& words);
    Outcome runEmptyMenu(const CommandWords& words);
    Outcome runTrigger(const CommandWords& words);
    Outcome runSleep(const CommandWords& words);
    Outcome runEcho(const CommandWords& words);
    Outcome runHelp(const CommandWords& words);
    Outcome runQuit(const CommandWords& words);

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
