// dfmext-host: a stand-in for the file manager. It loads a dfmext plug-in
// the way the file manager does (dlopen, the four entry points, the menu
// proxy handed over before any menu is built) and runs commands against it,
// given with -e or read line by line from stdin. stdout carries only the
// commands' results; the plug-in's diagnostics go to stderr untouched.
//
// Everything runs on the main thread, as a file manager's UI thread does;
// the signal handler only sets a flag, which the stdin loop and every wait
// poll.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dfmext/emblem.h"
#include "dfmext/menu.h"
#include "dfmext_host/host_session.h"
#include "dfmext_loader/plugin_loader.h"
#include "tools_common/options.h"
#include "tools_common/own_folders.h"
#include "tools_common/program.h"

namespace {

volatile std::sig_atomic_t gStopSignal = 0;

extern "C" void onStopSignal(int signal) {
    gStopSignal = signal;
}

constexpr const char* kPluginFileName = "libdfm-extension-tarnwell.so";

void printUsage(std::ostream& out) {
    out << "usage: dfmext-host [--plugin PATH] [-e COMMAND]...\n"
           "       dfmext-host --help | --version\n"
           "\n"
           "Loads a file-manager extension plug-in (default: the one installed beside\n"
           "this program, <bin>/" DFMEXT_HOST_PLUGIN_DIR_FROM_BINDIR "/"
        << kPluginFileName
        << ",\n"
           "else the one built beside it, <bin>/../lib/"
        << kPluginFileName
        << ")\n"
           "and runs the commands given with -e, in order, or else one per line read\n"
           "from stdin. Ends on quit, at the end of the input, or on SIGINT or SIGTERM,\n"
           "then shuts the plug-in down and unloads it.\n"
           "\n"
           "Exit status: 0; with -e, 1 if any command failed or a signal ended the run\n"
           "early; 1 if the plug-in cannot be loaded or stdout cannot be written; 2 for\n"
           "bad options.\n"
           "\n"
        << dfmext_host::commandHelp();
}

struct Options {
    std::string pluginPath;
    std::vector<std::string> commands;
    bool help = false;
    bool version = false;
};

// One line naming what is wrong, instead of the whole usage, which would push
// the error off the screen.
std::nullopt_t optionError(const std::string& message) {
    std::cerr << ("dfmext-host: error: " + message + "; see --help\n");
    return std::nullopt;
}

std::optional<Options> parseOptions(int argc, char** argv) {
    using tarnwell::tools::Option;
    Options options;
    const Option table[] = {
        tarnwell::tools::flagOption("--help", "-h", options.help),
        tarnwell::tools::flagOption("--version", "", options.version),
        {"-e", "", true, "-e needs a COMMAND",
         [&](const std::string& command) {
             options.commands.push_back(command);
             return std::string();
         }},
        {"--plugin", "", true, "--plugin needs a PATH, the plug-in file to load",
         [&](const std::string& path) {
             options.pluginPath = path;
             return path.empty() ? "--plugin needs a PATH, the plug-in file to load" : "";
         }},
    };
    tarnwell::tools::OptionRules rules;
    rules.joinedValues = true;
    const std::string refused = tarnwell::tools::parseCommandLine(argc, argv, table, rules);
    if (!refused.empty()) {
        return optionError(refused);
    }
    return options;
}

// The plug-in next to this program: where an install puts it, seen from the
// program's own folder, so that a tree installed under a DESTDIR or another
// prefix works as installed; else where the build tree keeps it. When neither
// exists, the installed place, so that the load error names it. Without
// /proc, the bare file name, left to dlopen's own search.
std::string defaultPluginPath() {
    const std::filesystem::path bin = tarnwell::tools::programFolder();
    if (bin.empty()) {
        return kPluginFileName;
    }
    const std::filesystem::path installed =
        (bin / DFMEXT_HOST_PLUGIN_DIR_FROM_BINDIR / kPluginFileName).lexically_normal();
    const std::filesystem::path built = (bin / ".." / "lib" / kPluginFileName).lexically_normal();
    if (::access(installed.c_str(), F_OK) != 0 && ::access(built.c_str(), F_OK) == 0) {
        return built.string();
    }
    return installed.string();
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call returns EINTR so the loop sees the flag.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Reads stdin line by line without blocking past a signal: poll with a short
// time-out, then read what is there.
class StdinLines {
public:
    // The next line without its newline; nullopt at the end of input or once
    // a stop signal arrived.
    std::optional<std::string> next() {
        while (true) {
            const std::size_t newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            if (endOfInput_) {
                if (buffer_.empty()) {
                    return std::nullopt;
                }
                return std::exchange(buffer_, std::string());
            }
            if (gStopSignal != 0) {
                return std::nullopt;
            }
            pollfd input{STDIN_FILENO, POLLIN, 0};
            const int ready = ::poll(&input, 1, 100);
            if (ready == 0 || (ready < 0 && errno == EINTR)) {
                continue;
            }
            char chunk[4096];
            const ssize_t count = ready < 0 ? -1 : ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (count > 0) {
                buffer_.append(chunk, static_cast<std::size_t>(count));
            } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
                endOfInput_ = true;
            }
        }
    }

private:
    std::string buffer_;
    bool endOfInput_ = false;
};

// False, after a line on stderr, once stdout has lost a result: a script
// reading it must not take the run for a success.
bool outputIntact() {
    std::string error;
    if (tarnwell::tools::flushStandardOutput(error)) {
        return true;
    }
    std::cerr << ("dfmext-host: error: cannot write to stdout: " + error + "\n");
    return false;
}

int runCommands(dfmext_host::HostSession& session, const std::vector<std::string>& commands) {
    using Outcome = dfmext_host::HostSession::Outcome;
    bool failed = false;
    if (!commands.empty()) {
        for (const std::string& command : commands) {
            if (gStopSignal != 0) {
                return 1;
            }
            const Outcome outcome = session.execute(command);
            if (!outputIntact()) {
                return 1;
            }
            if (outcome == Outcome::Quit) {
                break;
            }
            failed = failed || outcome == Outcome::Failed;
        }
        return failed || gStopSignal != 0 ? 1 : 0;
    }

    const bool interactive = ::isatty(STDIN_FILENO) == 1;
    StdinLines lines;
    while (true) {
        if (interactive) {
            std::cout << "dfmext> " << std::flush;
        }
        const std::optional<std::string> line = lines.next();
        if (!line) {
            break;
        }
        const Outcome outcome = session.execute(*line);
        if (!outputIntact()) {
            return 1;
        }
        if (outcome == Outcome::Quit) {
            break;
        }
    }
    if (interactive) {
        std::cout << std::endl;
    }
    return outputIntact() ? 0 : 1;
}

// The user's locale, taken from the environment as a file manager takes it
// at start-up, so that a plug-in's gettext texts come in the user's language
// (LANG, LC_ALL, LC_MESSAGES, LANGUAGE). Numbers stay in the C form: the
// SVG files read and written here need a '.' as decimal point.
void useEnvironmentLocale() {
    // Runs first in main, before any other thread exists.
    std::setlocale(LC_ALL, "");       // NOLINT(concurrency-mt-unsafe)
    std::setlocale(LC_NUMERIC, "C");  // NOLINT(concurrency-mt-unsafe)
}

}  // namespace

int main(int argc, char** argv) {
    tarnwell::tools::openClosedStandardDescriptors();
    useEnvironmentLocale();
    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        return 2;
    }
    if (options->help) {
        printUsage(std::cout);
        return 0;
    }
    if (options->version) {
        std::cout << "dfmext-host " TARNWELL_VERSION "\n";
        return 0;
    }
    installSignalHandlers();

    const std::string path =
        options->pluginPath.empty() ? defaultPluginPath() : options->pluginPath;
    dfmext::host::PluginLoader plugin;
    std::string error;
    if (!plugin.load(path, error)) {
        std::cerr << ("dfmext-host: error: " + error + "\n");
        return 1;
    }

    plugin.initialize();
    plugin.lendProxy();
    int status = 0;
    {
        dfmext_host::HostSession session(plugin.emblemPlugin(), plugin.menuPlugin(),
                                         &plugin.proxy(), std::cout, std::cerr,
                                         [] { return gStopSignal != 0; });
        status = runCommands(session, options->commands);
    }

    plugin.shutdown();
    // unload() frees the proxy's menus, whose callables live in the plug-in,
    // before it unmaps the plug-in.
    plugin.unload();
    return status;
}
