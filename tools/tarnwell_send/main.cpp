// tarnwell-send: sends one command to the sync daemon through the plug-in's
// own CommandClient and prints what went out and what came back. See
// docs/tools.md.
//
// Threads: main waits; the client's worker thread runs the connect hook and
// the command's callback, which hand their results over through a Handover.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "channel/command_client.h"
#include "tools_common/event_line.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kConnectLimit = 5s;
constexpr auto kResponseLimit = 10s;

constexpr const char* kUsage =
    "usage: tarnwell-send [--port P] NAME [KEY VALUE]...\n"
    "       tarnwell-send --help | --version\n"
    "  sends the command NAME with the given arguments to the daemon on 127.0.0.1\n"
    "  (port 19080 unless --port) and prints the response.\n"
    "  exit status: 0 a response arrived (possibly empty), 1 no connection within 5 s\n"
    "  or no response within 10 s, 2 bad arguments\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "tarnwell-send: %s\n%s", message.c_str(), kUsage);
    return 2;
}

void printLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// What the worker thread hands to main: that the connection is up, and the
// response. Thread safety: every member function is safe on any thread.
class Handover {
public:
    // Worker thread, from the connect hook.
    void markConnected() TARNWELL_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        connected_ = true;
        changed_.notify_all();
    }
    // Worker thread, from the command's callback.
    void deliver(const tarnwell::ArgumentMap& response) TARNWELL_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        response_ = response;
        changed_.notify_all();
    }
    // Main thread. The hook may have run before it was added, hence the
    // client's own flag as well.
    bool waitConnected(const tarnwell::CommandClient& client) TARNWELL_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return lock.waitFor(changed_, kConnectLimit, [&]() TARNWELL_REQUIRES(mutex_) {
            return connected_ || client.isConnected();
        });
    }
    // Main thread: the response, or nothing when none came in time.
    std::optional<tarnwell::ArgumentMap> waitResponse() TARNWELL_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        lock.waitFor(changed_, kResponseLimit,
                     [&]() TARNWELL_REQUIRES(mutex_) { return response_.has_value(); });
        return response_;
    }

private:
    using Mutex = tarnwell::Mutex;
    using MutexLock = tarnwell::MutexLock;

    Mutex mutex_;
    std::condition_variable changed_;  // used with mutex_
    bool connected_ TARNWELL_GUARDED_BY(mutex_) = false;
    std::optional<tarnwell::ArgumentMap> response_ TARNWELL_GUARDED_BY(mutex_);
};

}  // namespace

int main(int argc, char** argv) {
    long port = tarnwell::CommandClient::kDefaultPort;
    std::vector<std::string> words;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsDone && (arg == "--help" || arg == "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!optionsDone && arg == "--version") {
            std::fputs("tarnwell-send " TARNWELL_VERSION "\n", stdout);
            return 0;
        }
        if (!optionsDone && arg == "--") {
            optionsDone = true;
        } else if (!optionsDone && arg == "--port") {
            if (i + 1 >= argc) {
                return usageError("--port needs a value");
            }
            const char* text = argv[++i];
            char* end = nullptr;
            port = std::strtol(text, &end, 10);
            if (*text == '\0' || *end != '\0' || port < 1 || port > 65535) {
                return usageError("--port wants a port from 1 to 65535, got: " + std::string(text));
            }
        } else if (!optionsDone && words.empty() && arg.rfind("--", 0) == 0) {
            return usageError("unknown option: " + arg);
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) {
        return usageError("no command name given");
    }
    if (words.size() % 2 != 1) {
        return usageError("arguments come in KEY VALUE pairs; '" + words.back() + "' has no value");
    }

    Handover handover;
    tarnwell::CommandClient client(tarnwell::CommandClient::kDefaultAddress,
                                   static_cast<std::uint16_t>(port));
    client.addOnConnectHook([&] { handover.markConnected(); });
    client.setup();
    client.start();

    if (!handover.waitConnected(client)) {
        client.stop();
        std::fprintf(stderr, "tarnwell-send: no connection to 127.0.0.1:%ld within 5 s\n", port);
        return 1;
    }

    auto command = tarnwell::CommandClient::createCommand(
        [&](tarnwell::TarnwellCommand* done) { handover.deliver(done->response); }, false, nullptr,
        words.front());
    for (std::size_t i = 1; i + 1 < words.size(); i += 2) {
        command->args[words[i]].push_back(words[i + 1]);
    }
    printLine(tarnwell::sim::formatEvent("sent", command->name, command->args));
    client.sendCommand(std::move(command));

    const std::optional<tarnwell::ArgumentMap> received = handover.waitResponse();
    client.stop();
    if (!received) {
        std::fprintf(stderr, "tarnwell-send: no response within 10 s\n");
        return 1;
    }
    printLine(received->empty() ? "response (empty)"
                                : "response" + tarnwell::sim::formatArgs(*received));
    return 0;
}
