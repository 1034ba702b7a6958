// tarnwell-doctor --daemon and the plug-in's core against the same small
// scripted daemons, each wrong in one way a daemon's developer could easily
// be: the check fails the daemon, naming the cause, exactly when the plug-in
// shows a wrong emblem, none, or drops its connection; and a daemon whose
// only fault is that it is slow passes with a warning while the plug-in
// still shows its emblems.
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/wire_format.h"
#include "core/tarnwell_core.h"
#include "support/test_support.h"

namespace tarnwell::test {
namespace {

// How one scripted daemon is wrong; the defaults make a sound one.
struct Wrong {
    int statusShift = 0;          // statuses numbered from 1 instead of 0
    bool unescapeNFirst = false;  // "\n" undone before "\\"
    bool answerBeforeDone = false;
    std::string lineEnd = "\n";
    std::string status = "rsp";
    std::string greeting;                    // written as each connection is accepted
    std::chrono::milliseconds keepAlive{0};  // an empty line after this long idle
    std::chrono::milliseconds closeIdle{0};  // the connection closed after this long idle
    std::chrono::milliseconds statDelay{0};
    bool rootsOnLines = false;  // one "path" line per root
    bool rootViaLink = false;   // the root listed, and known, through a link
};

// What the plug-in shows for the row's file after one draw, or that it lost
// its connection later.
enum class Shown { Truth, Wrong, Nothing, Reconnects };

struct Row {
    const char* name;
    Wrong wrong;
    const char* file;   // under the root, whose status is 1 (syncing)
    Shown plugin;       // what the plug-in does
    const char* check;  // the check that fails ("" none), or warns (slow)
    const char* cause;  // in its finding
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

enum class Got { Line, Idle, Closed };

// One line from `fd`, byte by byte; Idle when nothing came for `idle` (0:
// wait for ever).
Got nextLine(int fd, std::chrono::milliseconds idle, std::string& line) {
    line.clear();
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int waited =
            ::poll(&ready, 1, idle.count() > 0 ? static_cast<int>(idle.count()) : -1);
        if (waited == 0 && line.empty()) {
            return Got::Idle;
        }
        char c = 0;
        if (waited < 0 || ::recv(fd, &c, 1, 0) != 1) {
            return Got::Closed;
        }
        if (c == '\n') {
            return Got::Line;
        }
        line += c;
    }
}

class ScriptedDaemon {
public:
    ScriptedDaemon(Wrong wrong, std::vector<std::string> roots, std::map<std::string, int> statuses)
        : wrong_(std::move(wrong)),
          roots_(std::move(roots)),
          statuses_(std::move(statuses)),
          server_([this](int fd) { serve(fd); }) {}

    std::uint16_t port() const { return server_.port(); }
    int connections() const { return server_.acceptedCount(); }
    int queries() const { return queries_.load(); }

private:
    void serve(int fd) {
        send(fd, wrong_.greeting);
        const auto idle = wrong_.keepAlive.count() > 0 ? wrong_.keepAlive : wrong_.closeIdle;
        std::vector<std::string> request;
        std::string line;
        for (;;) {
            const Got got = nextLine(fd, idle, line);
            if (got == Got::Closed || (got == Got::Idle && wrong_.closeIdle.count() > 0)) {
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
            if (got == Got::Idle) {
                send(fd, "\n");
                continue;
            }
            request.push_back(line);
            if (complete(request)) {
                send(fd, answer(request));
                request.clear();
            }
        }
    }

    bool complete(const std::vector<std::string>& request) const {
        if (request.size() > 1 && request.back() == "done") {
            return true;
        }
        // Answered as soon as the lines it needs are in, "done" or not.
        return wrong_.answerBeforeDone &&
               (request.front() == "get_tw_roots" ||
                (request.front() == "query_stat" && request.size() == 2));
    }

    std::string unescape(const std::string& field) const {
        if (!wrong_.unescapeNFirst) {
            return unescapeField(field);
        }
        // The mistake: one pass per escape, the line feed's first.
        const std::pair<const char*, const char*> passes[] = {
            {"\\n", "\n"}, {"\\t", "\t"}, {"\\\\", "\\"}};
        std::string text = field;
        for (const auto& [from, to] : passes) {
            for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; ++at) {
                text.replace(at, 2, to);
            }
        }
        return text;
    }

    std::string answer(const std::vector<std::string>& request) {
        std::vector<std::string> args;
        if (request.front() == "get_tw_roots") {
            std::string line = "path";
            for (const std::string& root : roots_) {
                if (wrong_.rootsOnLines && line != "path") {
                    args.push_back(line);
                    line = "path";
                }
                line += "\t" + root;
            }
            args.push_back(line);
        } else if (request.front() == "query_stat" && request.size() > 1 &&
                   request[1].rfind("path\t", 0) == 0) {
            ++queries_;
            std::this_thread::sleep_for(wrong_.statDelay);
            const auto known = statuses_.find(unescape(request[1].substr(5)));
            if (known != statuses_.end()) {
                args.push_back("stat\t" + std::to_string(known->second + wrong_.statusShift));
            }
        } else {
            return "err" + wrong_.lineEnd + "done" + wrong_.lineEnd;
        }
        std::string bytes = wrong_.status + wrong_.lineEnd;
        for (const std::string& arg : args) {
            bytes += arg + wrong_.lineEnd;
        }
        return bytes + "done" + wrong_.lineEnd;
    }

    static void send(int fd, const std::string& bytes) {
        if (!bytes.empty()) {
            ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
    }

    const Wrong wrong_;
    const std::vector<std::string> roots_;
    const std::map<std::string, int> statuses_;
    std::atomic<int> queries_{0};
    LoopbackServer server_;
};

// The value of "key":"..." in a line of the JSON report, escapes left as they are.
std::string jsonValue(const std::string& line, const std::string& key) {
    const std::string start = "\"" + key + "\":\"";
    const std::size_t from = line.find(start);
    if (from == std::string::npos) {
        return {};
    }
    std::size_t end = from + start.size();
    while (end < line.size() && !(line[end] == '"' && line[end - 1] != '\\')) {
        ++end;
    }
    return line.substr(from + start.size(), end - from - start.size());
}

class DaemonCheckTest : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", temp_.dir("run").c_str(), 1);
        root_ = temp_.dir("Sync");
        other_ = temp_.dir("Other");
        link_ = temp_.path() + "/SyncLink";
        std::filesystem::create_directory_symlink(root_, link_);
        file_ = temp_.file(std::string("Sync/") + GetParam().file);
    }

    // The daemon as it lists its roots and keys its statuses.
    ScriptedDaemon daemon() {
        const Wrong& wrong = GetParam().wrong;
        const std::string root = wrong.rootViaLink ? link_ : root_;
        std::vector<std::string> roots = {root};
        if (wrong.rootsOnLines) {
            roots.push_back(other_);
        }
        return ScriptedDaemon(wrong, roots, {{root, 0}, {root + "/" + GetParam().file, 1}});
    }

    // What the plug-in's core shows for the file after one draw.
    Shown plugin(ScriptedDaemon& daemon) {
        TarnwellCore core(daemon.port(), freeUdpPort());
        core.initialize();
        Shown shown = Shown::Nothing;
        if (waitUntil([&] { return !core.syncRoots().empty(); }, 6s) && core.isInSyncDir(file_)) {
            core.getStatus(file_);
            core.ensureStatusQueried(file_);
            waitUntil([&] { return daemon.queries() > 0 && core.pendingQueryCount() == 0; }, 6s);
            const auto status = core.getStatus(file_);
            shown = status == TarnwellCore::Syncing     ? Shown::Truth
                    : status == TarnwellCore::NotCached ? Shown::Nothing
                                                        : Shown::Wrong;
        }
        if (shown == Shown::Truth && GetParam().plugin == Shown::Reconnects &&
            waitUntil([&] { return daemon.connections() > 1; }, 6s)) {
            shown = Shown::Reconnects;
        }
        core.shutdown();
        return shown;
    }

    // Each check's result and line of the JSON report; the exit status under "".
    std::map<std::string, std::pair<std::string, std::string>> doctor(std::uint16_t port) {
        std::vector<std::string> argv = {TARNWELL_DOCTOR_PATH, "--daemon", "--json",    "--port",
                                         std::to_string(port), "--expect", file_ + "=1"};
        if (GetParam().wrong.statDelay.count() == 0) {
            // No row needs the plug-in's 3 s to tell a missing answer.
            argv.insert(argv.end(), {"--answer-limit-ms", "500", "--slow-answer-ms", "100"});
        }
        ChildProcess run;
        std::map<std::string, std::pair<std::string, std::string>> checks;
        if (!run.start(argv)) {
            return checks;
        }
        const std::optional<int> status = run.wait(60s);
        checks[""].first = status ? std::to_string(*status) : "hung";
        for (const std::string& line : run.allStdout()) {
            const std::string id = jsonValue(line, "check");
            if (!id.empty()) {
                checks[id] = {jsonValue(line, "result"), line};
            }
        }
        return checks;
    }

    TempDir temp_;
    std::string root_;
    std::string other_;
    std::string link_;
    std::string file_;
};

TEST_P(DaemonCheckTest, CheckFailsExactlyTheDaemonsThePluginCannotServeAndNamesTheCause) {
    const Row& row = GetParam();
    ScriptedDaemon forPlugin = daemon();
    EXPECT_EQ(plugin(forPlugin), row.plugin);

    ScriptedDaemon forCheck = daemon();
    auto checks = doctor(forCheck.port());
    const std::string check = row.check;
    if (row.plugin == Shown::Truth) {
        // Served: the check passes, at most with a warning naming the cause.
        EXPECT_EQ(checks[""].first, "0") << checks[check].second;
        for (const auto& [id, result] : checks) {
            EXPECT_NE(result.first, "failed") << result.second;
        }
        if (!check.empty()) {
            EXPECT_EQ(checks[check].first, "warning") << checks[check].second;
        }
    } else {
        EXPECT_EQ(checks[""].first, "1");
        EXPECT_EQ(checks[check].first, "failed") << checks[check].second;
    }
    EXPECT_NE(checks[check].second.find(row.cause), std::string::npos) << checks[check].second;
}

Wrong with(void (*change)(Wrong&)) {
    Wrong wrong;
    change(wrong);
    return wrong;
}

INSTANTIATE_TEST_SUITE_P(
    ScriptedDaemons, DaemonCheckTest,
    ::testing::Values(
        Row{"sound", {}, "a.txt", Shown::Truth, "", ""},
        Row{"statuses_from_one", with([](Wrong& w) { w.statusShift = 1; }), "a.txt", Shown::Wrong,
            "expected_status", "expected 1 (syncing), the plug-in reads 2 (locked)"},
        Row{"escapes_undone_out_of_order", with([](Wrong& w) { w.unescapeNFirst = true; }),
            "dir\\new.txt", Shown::Nothing, "expected_status",
            "expected 1 (syncing), the plug-in reads no status"},
        Row{"answer_before_done", with([](Wrong& w) { w.answerBeforeDone = true; }), "a.txt",
            Shown::Nothing, "keeps_connection", "before it has read the request's \\\"done\\\""},
        Row{"crlf", with([](Wrong& w) { w.lineEnd = "\r\n"; }), "a.txt", Shown::Nothing,
            "daemon_answers", "its lines end in CR LF"},
        Row{"space_after_rsp", with([](Wrong& w) { w.status = "rsp "; }), "a.txt", Shown::Nothing,
            "daemon_answers", "has a space after \\\"rsp\\\""},
        Row{"greeting", with([](Wrong& w) { w.greeting = "hello tarnwell 1.0\n"; }), "a.txt",
            Shown::Nothing, "daemon_answers", "before any request (a greeting)"},
        Row{"keep_alive", with([](Wrong& w) { w.keepAlive = 2s; }), "a.txt", Shown::Reconnects,
            "idle_connection", "came on a connection idle for"},
        Row{"roots_on_two_lines", with([](Wrong& w) { w.rootsOnLines = true; }), "a.txt",
            Shown::Nothing, "roots", "with the roots on 2 \\\"path\\\" lines"},
        // Two more a daemon's developer could easily write.
        Row{"closes_idle_connections", with([](Wrong& w) { w.closeIdle = 1s; }), "a.txt",
            Shown::Reconnects, "idle_connection", "closed a connection idle for"},
        Row{"root_through_a_link", with([](Wrong& w) { w.rootViaLink = true; }), "a.txt",
            Shown::Nothing, "roots", "is not in canonical form"},
        Row{"slow", with([](Wrong& w) { w.statDelay = 1500ms; }), "a.txt", Shown::Truth,
            "answer_time", "the daemon is slow: it took 15"}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwell::test
