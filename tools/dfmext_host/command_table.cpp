// The commands of a host session, each with its usage and help, and the help
// text made from them.
#include "dfmext_host/host_session.h"

namespace dfmext_host {

namespace {

// The help of each command, below its usage line.
constexpr const char* kEmblemHelp =
    R"(      Asks for the emblem of PATH with the integer N (default 0) and prints
      "emblem PATH ICON" (several layouts joined by ",") or "emblem PATH -".
      --wait asks again every 50 ms, as a redrawing file manager does, until
      an emblem appears or MS milliseconds have passed.
)";
constexpr const char* kLsHelp =
    R"(      Prints one line per entry of DIR, sorted by name: "ICON NAME" or
      "- NAME" (asked for DIR/NAME with N 0). --wait asks again every 50 ms
      until every entry has an emblem or MS milliseconds have passed. In
      names and in the PATH of emblem, a backslash, a line break, a tab and
      any byte that is not UTF-8 text are written as \\, \n, \t or \xHH.
)";
constexpr const char* kPictureHelp =
    R"(      Draws DIR as a file manager shows it into the SVG file OUT.svg: the
      entries of ls, each a file or folder icon with its emblems at their
      corners and its name below, and prints "picture OUT.svg". The emblem
      icons are taken from the hicolor theme folder THEME_DIR, by default the
      one beside this program (<bin>/../share/icons/hicolor), then those under
      $XDG_DATA_DIRS. --wait as for ls. --menu NAME draws the context menu of
      the entry NAME open over it, as after a right click: the menu the
      plug-in builds for DIR/NAME, each action with its text and icon, and
      the first sub-menu of each level opened.
)";
constexpr const char* kMenuHelp =
    R"(      Builds the context menu of PATH with K selected items (default 1;
      current folder: the parent of PATH). Prints "menu true" or "menu false",
      then one line per action, depth first, "I. TEXT [ICON]", indented two
      spaces per sub-menu level, I counting from 1 within each menu. --wait
      builds it again every 50 ms until the plug-in adds to it and shows an
      emblem for PATH, or MS milliseconds have passed: right after the start
      the plug-in does not know the sync folders yet. A path outside every
      sync folder has no emblem and waits the whole time.
)";
constexpr const char* kEmptyMenuHelp =
    R"(      Builds the menu of an empty area of DIR; prints "menu true" or
      "menu false".
)";
constexpr const char* kTriggerHelp =
    R"(      Picks action I of the last menu built (by menu or empty-menu) and prints
      "triggered I TEXT". A dotted I is a path through the numbers shown:
      "1.2" is the second action of the first action's sub-menu. A plain
      number counts every action in the order shown: "2" is the second line
      after "menu true".
)";
constexpr const char* kSleepHelp = "      Waits MS milliseconds.\n";
constexpr const char* kEchoHelp =
    "      Prints TEXT: a marker for scripts that read the output through a pipe.\n";
constexpr const char* kHelpHelp = "      Prints this text.\n";
constexpr const char* kQuitHelp = "      Ends the session.\n";

}  // namespace

const std::vector<HostSession::Command>& HostSession::commands() {
    using H = HostSession;
    static const std::vector<Command> kCommands = {
        {"emblem", "emblem PATH [N] [--wait MS]", kEmblemHelp, {"--wait"}, 1, 2, &H::runEmblem},
        {"ls", "ls DIR [--wait MS]", kLsHelp, {"--wait"}, 1, 1, &H::runLs},
        {"picture",
         "picture DIR OUT.svg [--wait MS] [--icons THEME_DIR] [--menu NAME]",
         kPictureHelp,
         {"--wait", "--icons", "--menu"},
         2,
         2,
         &H::runPicture},
        {"menu",
         "menu PATH [--selected K] [--wait MS]",
         kMenuHelp,
         {"--selected", "--wait"},
         1,
         1,
         &H::runMenu},
        {"empty-menu", "empty-menu DIR", kEmptyMenuHelp, {}, 1, 1, &H::runEmptyMenu},
        {"trigger", "trigger I", kTriggerHelp, {}, 1, 1, &H::runTrigger},
        {"sleep", "sleep MS", kSleepHelp, {}, 1, 1, &H::runSleep},
        // Its words are all text: none is taken for an option.
        {"echo", "echo [TEXT...]", kEchoHelp, {}, 0, kAnyNumber, &H::runEcho, true},
        {"help", "help", kHelpHelp, {}, 0, 0, &H::runHelp},
        {"quit", "quit", kQuitHelp, {}, 0, 0, &H::runQuit},
    };
    return kCommands;
}

std::string HostSession::helpText() {
    std::string text =
        "Commands (one per line; each result is printed on stdout, one line at a time):\n";
    for (const Command& command : commands()) {
        text.append("  ").append(command.usage).append("\n").append(command.help);
    }
    return text + R"(Words are separated by blanks; quote a word holding blanks with '...' or
"...". Blank lines and lines starting with # are ignored. Bad input prints one
line "error: ..." on stderr and the session goes on.
)";
}

const char* commandHelp() {
    static const std::string kText = HostSession::helpText();
    return kText.c_str();
}

}  // namespace dfmext_host
