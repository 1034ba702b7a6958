#include "dfmext_host/host_session.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <system_error>
#include <thread>

#include "dfmext_host/command_words.h"
#include "path_text.h"
#include "picture/folder_picture.h"
#include "replace_file.h"
#include "tools_common/options.h"
#include "tools_common/utf8_text.h"

namespace dfmext_host {

namespace {

using Clock = std::chrono::steady_clock;
using tarnwell::tools::parseInteger;

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

}  // namespace

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

HostSession::Outcome HostSession::runSleep(const CommandWords& words) {
    long long ms = 0;
    if (!parseInteger(words.positional[0], 0, std::numeric_limits<int>::max(), ms)) {
        return fail("usage: sleep MS");
    }
    pause(ms);
    return Outcome::Ok;
}

HostSession::Outcome HostSession::fail(const std::string& message) {
    err_ << ("error: " + message + "\n") << std::flush;
    return Outcome::Failed;
}

void HostSession::print(const std::string& line) {
    out_ << (line + "\n") << std::flush;
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
