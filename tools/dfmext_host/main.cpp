// dfmext-host: a stand-in for the file manager. It loads a dfmext plug-in
// the way the file manager does (dlopen, the four entry points, the menu
// proxy handed over before any menu is built) and runs commands against it,
// given with -e or read line by line from stdin. stdout carries only the
// commands' results; the plug-in's diagnostics go to stderr untouched.
//
// Everything runs on the main thread, as a file manager's UI thread does;
// the signal handler only sets a flag, which the stdin loop and every wait
// poll.
#include <fcntl.h>
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

#include "base/posix_io.h"
#include "dfmext/emblem.h"
#include "dfmext/menu.h"
#include "dfmext_host/host_session.h"
#include "dfmext_loader/plugin_loader.h"
#include "protocol/vocabulary.h"
#include "tools_common/options.h"
#include "tools_common/own_folders.h"
#include "tools_common/program.h"

namespace {

using tarnwell::writeAll;

volatile std::sig_atomic_t gStopSignal = 0;

extern "C" void onStopSignal(int signal) {
    gStopSignal = signal;
}

using tarnwell::protocol::kPluginFileName;

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
           "from stdin. Ends on quit, at the end of the input, on SIGINT, SIGTERM or\n"
           "SIGHUP, or when stdout cannot be written (its reader gone), then shuts the\n"
           "plug-in down and unloads it.\n"
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

// SIGHUP (the terminal closed) ends the session like SIGINT and SIGTERM, with
// the plug-in shut down. SIGPIPE is ignored: a reader of stdout that went
// away (`| head -1`) is a failed write, said on stderr, not a silent death
// that leaves the plug-in running its threads into the exit.
void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call returns EINTR so the loop sees the flag.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

constexpr const char* kPrompt = "dfmext> ";

// In a terminal, the plug-in's diagnostics, written on its own threads, would
// land after the prompt and leave the user typing on a line without one.
// There, stderr goes through a pipe that the main thread drains while it
// waits for input and during the waits of commands: each whole line goes to
// the terminal on a line of its own, and the prompt is drawn again after it.
// Main thread only; the plug-in's threads only write into the pipe, whose
// writing end blocks (a line is never torn) but holds far more than the
// lines that pile up during a command.
class LogRelay {
public:
    LogRelay() = default;
    LogRelay(const LogRelay&) = delete;
    LogRelay& operator=(const LogRelay&) = delete;
    ~LogRelay() { stop(); }

    // Starts relaying when stdin, stdout and stderr are all a terminal.
    void start() {
        int ends[2];
        if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDOUT_FILENO) != 1 ||
            ::isatty(STDERR_FILENO) != 1 || ::pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        terminal_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (terminal_ < 0) {
            ::close(ends[0]);
            ::close(ends[1]);
            return;
        }
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
        ::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
        ::dup2(ends[1], STDERR_FILENO);
        ::close(ends[1]);
        readFd_ = ends[0];
    }
    // The pipe's reading end, or -1 when not relaying.
    int fd() const { return readFd_; }
    // Whether the prompt stands on the terminal, waiting for input.
    void setPromptShown(bool shown) { promptShown_ = shown; }

    // Relays the whole lines waiting in the pipe.
    void drain() {
        if (readFd_ < 0) {
            return;
        }
        char chunk[4096];
        for (ssize_t n; (n = ::read(readFd_, chunk, sizeof chunk)) > 0;) {
            partial_.append(chunk, static_cast<std::size_t>(n));
        }
        const std::size_t end = partial_.rfind('\n');
        if (end == std::string::npos) {
            return;
        }
        std::string lines = partial_.substr(0, end + 1);
        partial_.erase(0, end + 1);
        std::cout << std::flush;
        writeAll(terminal_, promptShown_ ? "\n" + lines + kPrompt : lines);
    }

    // Relays what is left and gives stderr back to the terminal, before the
    // plug-in's shut-down writes its last lines.
    void stop() {
        if (readFd_ < 0) {
            return;
        }
        // The terminal first, so that no line written meanwhile is lost in
        // the pipe; then what the pipe still holds.
        ::dup2(terminal_, STDERR_FILENO);
        drain();
        writeAll(terminal_, partial_);
        ::close(terminal_);
        ::close(readFd_);
        readFd_ = -1;
    }

private:
    int readFd_ = -1;
    int terminal_ = -1;    // the real stderr, while relaying
    std::string partial_;  // a line not yet whole
    bool promptShown_ = false;
};

// Reads stdin line by line without blocking past a signal: poll with a short
// time-out, then read what is there; meanwhile the plug-in's diagnostics are
// relayed.
class StdinLines {
public:
    explicit StdinLines(LogRelay& relay) : relay_(relay) {}

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
            readSome();
        }
    }

private:
    void readSome() {
        pollfd inputs[2] = {{STDIN_FILENO, POLLIN, 0}, {relay_.fd(), POLLIN, 0}};
        const int ready = ::poll(inputs, 2, 100);
        relay_.drain();
        if (ready <= 0 || inputs[0].revents == 0) {
            return;
        }
        char chunk[4096];
        const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (count > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(count));
        } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
            endOfInput_ = true;
        }
    }

    LogRelay& relay_;
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

int runGivenCommands(dfmext_host::HostSession& session, const std::vector<std::string>& commands) {
    using Outcome = dfmext_host::HostSession::Outcome;
    bool failed = false;
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

int runInputCommands(dfmext_host::HostSession& session, LogRelay& relay) {
    using Outcome = dfmext_host::HostSession::Outcome;
    const bool interactive = ::isatty(STDIN_FILENO) == 1;
    StdinLines lines(relay);
    while (true) {
        if (interactive) {
            std::cout << kPrompt << std::flush;
            relay.setPromptShown(true);
        }
        const std::optional<std::string> line = lines.next();
        relay.setPromptShown(false);
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
        LogRelay relay;
        if (options->commands.empty()) {
            relay.start();
        }
        // The waits of commands poll this: it also relays the plug-in's lines.
        const auto interrupted = [&relay] {
            relay.drain();
            return gStopSignal != 0;
        };
        dfmext_host::HostSession session(plugin.emblemPlugin(), plugin.menuPlugin(),
                                         &plugin.proxy(), std::cout, std::cerr, interrupted);
        status = options->commands.empty() ? runInputCommands(session, relay)
                                           : runGivenCommands(session, options->commands);
    }

    plugin.shutdown();
    // unload() frees the proxy's menus, whose callables live in the plug-in,
    // before it unmaps the plug-in.
    plugin.unload();
    return status;
}
