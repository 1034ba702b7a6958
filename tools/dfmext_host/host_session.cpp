#include "dfmext_host/host_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <limits>
#include <list>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "base/posix_io.h"
#include "picture/folder_picture.h"
#include "picture/menu_picture.h"
#include "tools_common/options.h"
#include "tools_common/utf8_text.h"

namespace dfmext_host {

namespace {

using Clock = std::chrono::steady_clock;

// A file manager redraws about this often while it waits for emblems.
constexpr long long kRedrawIntervalMs = 50;
// Keeps a mistyped count from building a list of millions of paths.
constexpr long long kMaxSelected = 100000;

using tarnwell::errnoText;
using tarnwell::tools::parseInteger;
using tarnwell::writeAll;

std::string joinedIconNames(const dfmext::DFMExtEmblem& emblem) {
    std::string joined;
    for (const dfmext::DFMExtEmblemIconLayout& layout : emblem.emblems()) {
        if (!joined.empty()) {
            joined += ',';
        }
        joined += layout.iconPath();
    }
    return joined.empty() ? "-" : joined;
}

std::string childPath(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

// The last component of a folder's path, as a file manager titles its
// window: "/a/b/" -> "b"; "/" stays "/".
std::string folderName(const std::string& dir) {
    std::string trimmed = dir;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    const std::size_t slash = trimmed.rfind('/');
    return slash == std::string::npos || trimmed.size() == 1 ? trimmed : trimmed.substr(slash + 1);
}

// Actions in depth-first order, each followed by its sub-menu's. A plug-in
// could hang a menu below itself; such a menu is not entered twice on one
// branch.
void flattenMenu(const dfmext::DFMExtMenu* menu, std::vector<const dfmext::DFMExtMenu*>& branch,
                 const std::function<void(dfmext::DFMExtAction*, std::size_t depth,
                                          std::size_t number)>& visit) {
    if (std::find(branch.begin(), branch.end(), menu) != branch.end()) {
        return;
    }
    branch.push_back(menu);
    std::size_t number = 0;
    for (dfmext::DFMExtAction* action : menu->actions()) {
        visit(action, branch.size() - 1, ++number);
        if (action->menu() != nullptr) {
            flattenMenu(action->menu(), branch, visit);
        }
    }
    branch.pop_back();
}

// Writes `content` into what `path` names, as it is: a device (/dev/full,
// /dev/stdout), a pipe, a link. "" or the reason it failed.
std::string writeInPlace(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errnoText();
    }
    std::string error = writeAll(fd, content) ? std::string() : errnoText();
    if (::close(fd) != 0 && error.empty()) {
        error = errnoText();
    }
    return error;
}

// Replaces the file `path` with `content` whole or not at all: written to a
// new file beside it and renamed over it, so that a failure or a signal
// never leaves it half written. What is not a regular file (or missing) is
// written in place instead: renaming over a device would replace the device.
// "" or the reason it failed.
std::string replaceFile(const std::string& path, const std::string& content) {
    struct stat info {};
    const bool exists = ::lstat(path.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        return writeInPlace(path, content);
    }
    // A name of its own: one left by a run that was killed is not reused.
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return errnoText();
        }
    }
    if (fd < 0) {
        return errnoText();
    }
    // The replaced file keeps its permissions.
    if (exists) {
        ::fchmod(fd, info.st_mode & 07777);
    }
    std::string error = writeAll(fd, content) ? std::string() : errnoText();
    if (::close(fd) != 0 && error.empty()) {
        error = errnoText();
    }
    if (error.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errnoText();
    }
    if (!error.empty()) {
        ::unlink(temporary.c_str());
    }
    return error;
}

// Sorts `words` (the command's name first) into `parsed`, taking only the
// options named in `options`. Empty on success, else what is wrong. A word
// starting with "--" is always an option, so that a mistyped one is named as
// such instead of being taken for a path or a number.
std::string parseCommandWords(const std::vector<std::string>& words,
                              const std::vector<std::string_view>& options,
                              HostSession::CommandWords& parsed) {
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.rfind("--", 0) != 0) {
            parsed.positional.push_back(word);
            continue;
        }
        if (std::find(options.begin(), options.end(), word) == options.end()) {
            return "unknown option: " + word;
        }
        if (i + 1 == words.size()) {
            return word + " needs a value";
        }
        const std::string& value = words[++i];
        if (word == "--icons") {
            parsed.themeDirs.push_back(value);
        } else if (word == "--menu") {
            parsed.menuEntry = value;
        } else if (word == "--selected"
                       ? !parseInteger(value, 0, kMaxSelected, parsed.selected)
                       : !parseInteger(value, 0, std::numeric_limits<int>::max(), parsed.waitMs)) {
            std::string error = "bad " + word + " value: ";
            error += value;
            if (word == "--selected") {
                error += " (0 to " + std::to_string(kMaxSelected) + ")";
            }
            return error;
        }
    }
    return {};
}

}  // namespace

std::optional<std::vector<std::string>> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == '\'') {
            const std::size_t end = line.find('\'', i + 1);
            if (end == std::string::npos) {
                return std::nullopt;
            }
            word.append(line, i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            std::size_t j = i + 1;
            for (; j < line.size() && line[j] != '"'; ++j) {
                if (line[j] == '\\') {
                    if (++j == line.size()) {
                        return std::nullopt;
                    }
                }
                word += line[j];
            }
            if (j == line.size()) {
                return std::nullopt;
            }
            i = j;
        } else if (c == '\\') {
            if (++i == line.size()) {
                return std::nullopt;
            }
            word += line[i];
        } else {
            word += c;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

std::string parentFolder(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    const std::size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return trimmed.substr(0, slash);
}

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

HostSession::HostSession(dfmext::DFMExtEmblemIconPlugin* emblemPlugin,
                         dfmext::DFMExtMenuPlugin* menuPlugin, dfmext::DFMExtMenuProxy* proxy,
                         std::ostream& out, std::ostream& err, std::function<bool()> interrupted)
    : emblemPlugin_(emblemPlugin),
      menuPlugin_(menuPlugin),
      proxy_(proxy),
      out_(out),
      err_(err),
      interrupted_(std::move(interrupted)) {}

HostSession::Outcome HostSession::execute(const std::string& line) {
    const std::optional<std::vector<std::string>> words = splitWords(line);
    if (!words) {
        return fail("unterminated quote or trailing backslash");
    }
    if (words->empty() || (*words)[0][0] == '#') {
        return Outcome::Ok;
    }
    const std::string& name = (*words)[0];
    const auto& table = commands();
    const auto command = std::find_if(table.begin(), table.end(),
                                      [&](const Command& each) { return name == each.name; });
    if (command == table.end()) {
        return fail("unknown command: " + name + " (try help)");
    }
    const std::string usage = std::string("usage: ") + command->usage;
    CommandWords parsed;
    if (command->wordsAreText) {
        parsed.positional.assign(words->begin() + 1, words->end());
    } else if (const std::string error = parseCommandWords(*words, command->options, parsed);
               !error.empty()) {
        return fail(error + "; " + usage);
    }
    const std::size_t count = parsed.positional.size();
    if (count < command->minWords || count > command->maxWords) {
        return fail(usage);
    }
    return (this->*command->run)(parsed);
}

HostSession::Outcome HostSession::runEcho(const CommandWords& words) {
    // Prints its words: a script that feeds commands through a pipe reads up
    // to its own marker to know that everything before it has run.
    std::string text;
    for (std::size_t i = 0; i < words.positional.size(); ++i) {
        text += (i > 0 ? " " : "") + words.positional[i];
    }
    print(text);
    return Outcome::Ok;
}

HostSession::Outcome HostSession::runHelp(const CommandWords& /*words*/) {
    out_ << commandHelp() << std::flush;
    return Outcome::Ok;
}

HostSession::Outcome HostSession::runQuit(const CommandWords& /*words*/) {
    return Outcome::Quit;
}

HostSession::Outcome HostSession::runEmblem(const CommandWords& words) {
    const std::vector<std::string>& positional = words.positional;
    const long long waitMs = words.waitMs;
    long long number = 0;
    if (positional.size() == 2 && !parseInteger(positional[1], std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max(), number)) {
        return fail("bad number: " + positional[1]);
    }
    if (emblemPlugin_ == nullptr) {
        return fail("the plug-in has no emblem provider");
    }

    const std::string& path = positional[0];
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    dfmext::DFMExtEmblem emblem = emblemPlugin_->requestEmblem(path, static_cast<int>(number));
    while (emblem.emblems().empty() && Clock::now() < deadline && pause(kRedrawIntervalMs)) {
        emblem = emblemPlugin_->requestEmblem(path, static_cast<int>(number));
    }
    print("emblem " + tarnwell::tools::escapeForLine(path) + " " + joinedIconNames(emblem));
    return Outcome::Ok;
}

HostSession::Outcome HostSession::runLs(const CommandWords& words) {
    if (emblemPlugin_ == nullptr) {
        return fail("the plug-in has no emblem provider");
    }

    std::string listError;
    const std::optional<std::vector<Entry>> entries =
        listWithEmblems(words.positional[0], words.waitMs, listError);
    if (!entries) {
        return fail(listError);
    }
    // A name may hold a line feed or bytes that are not UTF-8; escaped, each
    // entry stays one line.
    for (const Entry& entry : *entries) {
        print(joinedIconNames(entry.emblem) + " " + tarnwell::tools::escapeForLine(entry.name));
    }
    return Outcome::Ok;
}

HostSession::Outcome HostSession::runPicture(const CommandWords& words) {
    const std::vector<std::string>& positional = words.positional;
    std::vector<std::string> themeDirs = words.themeDirs;
    if (emblemPlugin_ == nullptr) {
        return fail("the plug-in has no emblem provider");
    }
    if (themeDirs.empty()) {
        themeDirs = defaultIconThemeDirs();
    }

    const std::string& dir = positional[0];
    const std::string& outPath = positional[1];
    std::string error;
    const std::optional<std::vector<Entry>> entries = listWithEmblems(dir, words.waitMs, error);
    if (!entries) {
        return fail(error);
    }
    // A wait cut short by a signal leaves a half-filled picture: the file
    // stays as it was.
    if (isInterrupted()) {
        return fail("interrupted; " + outPath + " left as it was");
    }
    std::vector<PictureEntry> pictured;
    for (const Entry& entry : *entries) {
        std::error_code ignored;
        pictured.push_back({entry.name,
                            std::filesystem::is_directory(childPath(dir, entry.name), ignored),
                            entry.emblem});
    }
    std::vector<std::string> missingIcons;
    std::string document = drawFolderPicture(folderName(dir), pictured, themeDirs, missingIcons);
    if (!words.menuEntry.empty() &&
        !addOpenMenu(dir, words.menuEntry, themeDirs, document, missingIcons)) {
        return Outcome::Failed;
    }
    return writePicture(outPath, document, missingIcons);
}

HostSession::Outcome HostSession::writePicture(const std::string& outPath,
                                               const std::string& document,
                                               const std::vector<std::string>& missingIcons) {
    if (const std::string error = replaceFile(outPath, document); !error.empty()) {
        return fail("cannot write " + outPath + ": " + error);
    }
    for (const std::string& icon : missingIcons) {
        err_ << ("warning: no SVG file for the icon " + icon + "; drawn as a dashed circle\n")
             << std::flush;
    }
    print("picture " + outPath);
    return Outcome::Ok;
}

std::optional<std::vector<HostSession::Entry>> HostSession::listWithEmblems(const std::string& dir,
                                                                            long long waitMs,
                                                                            std::string& error) {
    std::vector<Entry> entries;
    std::error_code listError;
    std::filesystem::directory_iterator it(dir, listError);
    for (; !listError && it != std::filesystem::directory_iterator(); it.increment(listError)) {
        entries.push_back({it->path().filename().string(), {}});
    }
    if (listError) {
        error = "cannot list " + dir + ": " + listError.message();
        return std::nullopt;
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });

    const auto askAll = [&] {
        bool complete = true;
        for (Entry& entry : entries) {
            entry.emblem = emblemPlugin_->requestEmblem(childPath(dir, entry.name), 0);
            complete = complete && !entry.emblem.emblems().empty();
        }
        return complete;
    };
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    while (!askAll() && Clock::now() < deadline && pause(kRedrawIntervalMs)) {
    }
    return entries;
}

HostSession::Outcome HostSession::runMenu(const CommandWords& parsed) {
    if (menuPlugin_ == nullptr || proxy_ == nullptr) {
        return fail("the plug-in has no menu provider");
    }

    // Built again every redraw interval, until the wait is over, while the
    // plug-in adds nothing or, with a wait, does not know the sync folders
    // yet: right after the start it connects first and learns the folders a
    // moment later, and meanwhile builds the menu of a path outside them. It
    // knows them once it shows PATH's emblem (a path outside every sync
    // folder has none, and waits the whole time). A file manager's user
    // would simply right-click again.
    const std::string& path = parsed.positional[0];
    const std::list<std::string> pathList(static_cast<std::size_t>(parsed.selected), path);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(parsed.waitMs);
    const auto ready = [&](bool added) {
        return added && (parsed.waitMs == 0 || emblemPlugin_ == nullptr ||
                         !emblemPlugin_->requestEmblem(path, 0).emblems().empty());
    };
    dfmext::DFMExtMenu* menu = freshMenu();
    bool added = menuPlugin_->callBuildNormalMenu(menu, parentFolder(path), path, pathList, false);
    while (!ready(added) && Clock::now() < deadline && pause(kRedrawIntervalMs)) {
        menu = freshMenu();
        added = menuPlugin_->callBuildNormalMenu(menu, parentFolder(path), path, pathList, false);
    }
    print(added ? "menu true" : "menu false");
    std::vector<const dfmext::DFMExtMenu*> branch;
    flattenMenu(menu, branch,
                [this](dfmext::DFMExtAction* action, std::size_t depth, std::size_t number) {
                    print(std::string(2 * depth, ' ') + std::to_string(number) + ". " +
                          action->text() + " [" + action->icon() + "]");
                });
    return Outcome::Ok;
}

HostSession::Outcome HostSession::runEmptyMenu(const CommandWords& words) {
    if (menuPlugin_ == nullptr || proxy_ == nullptr) {
        return fail("the plug-in has no menu provider");
    }
    dfmext::DFMExtMenu* menu = freshMenu();
    print(menuPlugin_->callBuildEmptyAreaMenu(menu, words.positional[0], false) ? "menu true"
                                                                                : "menu false");
    return Outcome::Ok;
}

HostSession::Outcome HostSession::runTrigger(const CommandWords& words) {
    if (lastMenu_ == nullptr) {
        return fail("no menu built yet");
    }
    const std::string& index = words.positional[0];
    dfmext::DFMExtAction* target = nullptr;
    if (index.find('.') == std::string::npos) {
        long long wanted = 0;
        if (!parseInteger(index, 1, std::numeric_limits<long long>::max(), wanted)) {
            return fail("bad action number: " + index);
        }
        long long seen = 0;
        std::vector<const dfmext::DFMExtMenu*> branch;
        flattenMenu(lastMenu_, branch, [&](dfmext::DFMExtAction* action, std::size_t, std::size_t) {
            if (++seen == wanted) {
                target = action;
            }
        });
    } else {
        const dfmext::DFMExtMenu* menu = lastMenu_;
        std::size_t start = 0;
        while (true) {
            const std::size_t dot = index.find('.', start);
            const std::string part = index.substr(start, dot - start);
            long long number = 0;
            if (!parseInteger(part, 1, std::numeric_limits<long long>::max(), number)) {
                return fail("bad action number: " + index);
            }
            if (menu == nullptr || static_cast<std::size_t>(number) > menu->actions().size()) {
                target = nullptr;
                break;
            }
            target = menu->actions()[static_cast<std::size_t>(number) - 1];
            if (dot == std::string::npos) {
                break;
            }
            menu = target->menu();
            start = dot + 1;
        }
    }
    if (target == nullptr) {
        return fail("no such action: " + index);
    }
    // Copied before the call: the callable may change the action's text.
    const std::string text = target->text();
    if (!target->trigger(false)) {
        return fail("action " + index + " (" + text + ") does nothing when picked");
    }
    print("triggered " + index + " " + text);
    return Outcome::Ok;
}

HostSession::Outcome HostSession::runSleep(const CommandWords& words) {
    long long ms = 0;
    if (!parseInteger(words.positional[0], 0, std::numeric_limits<int>::max(), ms)) {
        return fail("usage: sleep MS");
    }
    pause(ms);
    return Outcome::Ok;
}

bool HostSession::addOpenMenu(const std::string& dir, const std::string& name,
                              const std::vector<std::string>& themeDirs, std::string& document,
                              std::vector<std::string>& missingIcons) {
    if (menuPlugin_ == nullptr || proxy_ == nullptr) {
        fail("the plug-in has no menu provider");
        return false;
    }
    const std::string path = childPath(dir, name);
    dfmext::DFMExtMenu* menu = freshMenu();
    if (!menuPlugin_->callBuildNormalMenu(menu, dir, path, {path}, false)) {
        fail("the plug-in added nothing to the menu of " + path);
        return false;
    }
    std::optional<std::string> withMenu =
        drawMenuOverFolder(document, name, menuPictureItems(menu), themeDirs, missingIcons);
    if (!withMenu) {
        fail("no entry " + name + " in " + dir);
        return false;
    }
    document = std::move(*withMenu);
    return true;
}

HostSession::Outcome HostSession::fail(const std::string& message) {
    err_ << ("error: " + message + "\n") << std::flush;
    return Outcome::Failed;
}

void HostSession::print(const std::string& line) {
    out_ << (line + "\n") << std::flush;
}

dfmext::DFMExtMenu* HostSession::freshMenu() {
    proxy_->clear();
    lastMenu_ = proxy_->createMenu();
    return lastMenu_;
}

bool HostSession::pause(long long ms) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (true) {
        if (isInterrupted()) {
            return false;
        }
        const Clock::time_point now = Clock::now();
        if (now >= end) {
            return true;
        }
        std::this_thread::sleep_for(
            std::min<Clock::duration>(end - now, std::chrono::milliseconds(20)));
    }
}

}  // namespace dfmext_host
