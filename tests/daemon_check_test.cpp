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
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/wire_format.h"
#include "core/tarnwell_core.h"
#include "socket_owner/socket_owner.h"
#include "support/test_support.h"

namespace tarnwell::test {
namespace {

// When a scripted daemon sends "refresh_stat" for a change: not at all (no
// change is made), after it stored the new status, or before.
enum class Notify { Never, AfterStoring, BeforeStoring };

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
    Notify notify = Notify::Never;
    // Each request answered on a thread of its own, after a wait that differs
    // from one to the next, so that answers to requests written back to back
    // would go out in another order.
    bool threaded = false;
    bool closeAfterAnswer = false;
    bool statusAsWord = false;  // "stat<TAB>syncing"
    std::string statKey = "stat";
    std::string fieldEnd;     // behind the last value of each argument line
    bool rootSlash = false;   // "/home/ann/Sync/", the folder itself known so
    std::size_t padding = 0;  // bytes of a key the plug-in does not read
    const char* rootName = "Sync";
    bool rawRoots = false;          // roots written without their escapes
    bool noDoneThenClose = false;   // a status answer without "done", then closed
    bool echoEscapedTwice = false;  // the path written back escaped as it came, once more
};

// What the plug-in shows for the row's file after one draw, or that it lost
// its connection later.
enum class Shown { Truth, Wrong, Nothing, Reconnects };

struct Row {
    const char* name;
    Wrong wrong;
    const char* file;     // under the root, whose status is 1 (syncing)
    Shown plugin;         // what the plug-in does
    const char* check;    // the check that fails ("" none), or warns (slow)
    const char* cause;    // in its finding
    bool passes = false;  // the check passes (a served daemon's check warns otherwise)
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
    // The answering threads end before the connections they write to close.
    ~ScriptedDaemon() {
        std::vector<std::thread> answering;
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            answering.swap(answering_);
        }
        for (std::thread& thread : answering) {
            thread.join();
        }
        server_.shutdown();
    }

    std::uint16_t port() const { return server_.port(); }
    int connections() const { return server_.acceptedCount(); }
    int queries() const { return queries_.load(); }

    // The test's thread: `path` changes to `status`, announced to
    // `notifyPort` as the row's daemon announces it. A daemon that notifies
    // first stores the change only once it has answered a question about the
    // path: the one the notification brought.
    void change(const std::string& path, int status, std::uint16_t notifyPort) {
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            if (wrong_.notify == Notify::BeforeStoring) {
                unstored_ = {path, status};
            } else {
                statuses_[path] = status;
            }
        }
        sendDatagram(notifyPort, "refresh_stat\npath\t" + escapeField(path) + "\ndone\n");
    }
    bool changeStored() const {
        const std::lock_guard<std::mutex> hold(mutex_);
        return !unstored_;
    }

private:
    void serve(int fd) {
        send(fd, wrong_.greeting);
        const auto idle = wrong_.keepAlive.count() > 0 ? wrong_.keepAlive : wrong_.closeIdle;
        std::vector<std::string> request;
        std::string line;
        for (int asked = 0;;) {
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
            if (!complete(request)) {
                continue;
            }
            if (wrong_.threaded) {
                answerOnAThread(fd, request, ++asked);
            } else {
                send(fd, answer(request));
            }
            if (wrong_.closeAfterAnswer || (wrong_.noDoneThenClose && request[0] == "query_stat")) {
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
            request.clear();
        }
    }

    // The mistake: each answer written whole, but when its thread is done,
    // the odd ones 20 ms later than the even ones.
    void answerOnAThread(int fd, std::vector<std::string> request, int asked) {
        const std::lock_guard<std::mutex> hold(mutex_);
        answering_.emplace_back([this, fd, request = std::move(request), asked] {
            std::this_thread::sleep_for(std::chrono::milliseconds(asked % 2 * 20));
            const std::string bytes = answer(request);
            const std::lock_guard<std::mutex> writing(writing_);
            send(fd, bytes);
        });
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

    void addRoots(std::vector<std::string>& args) const {
        std::string line = "path";
        for (const std::string& listed : roots_) {
            const std::string root = wrong_.rootSlash ? listed + "/" : listed;
            if (wrong_.rootsOnLines && line != "path") {
                args.push_back(line);
                line = "path";
            }
            line += "\t" + (wrong_.rawRoots ? root : escapeField(root));
        }
        args.push_back(line);
    }

    // The "stat" line for `path` (unescaped), or empty; stores a change that
    // waited for this question.
    std::string statusLine(const std::string& path) {
        static const char* const kWords[] = {"uptodate", "syncing", "locked", "readonly"};
        const std::lock_guard<std::mutex> hold(mutex_);
        const auto known = statuses_.find(path);
        std::string line;
        if (known != statuses_.end()) {
            const int status = known->second + wrong_.statusShift;
            line = wrong_.statKey + "\t" +
                   (wrong_.statusAsWord ? kWords[status] : std::to_string(status));
        }
        if (unstored_ && unstored_->first == path) {
            statuses_[path] = unstored_->second;
            unstored_.reset();
        }
        return line;
    }

    std::string answer(const std::vector<std::string>& request) {
        std::vector<std::string> args;
        bool ends = true;
        if (request.front() == "get_tw_roots") {
            addRoots(args);
        } else if (request.front() == "query_stat" && request.size() > 1 &&
                   request[1].rfind("path\t", 0) == 0) {
            ++queries_;
            std::this_thread::sleep_for(wrong_.statDelay);
            if (wrong_.echoEscapedTwice) {
                args.push_back("path\t" + escapeField(request[1].substr(5)));
            }
            const std::string stat = statusLine(unescape(request[1].substr(5)));
            if (!stat.empty()) {
                args.push_back(stat);
            }
            if (wrong_.padding > 0) {
                args.push_back("log\t" + std::string(wrong_.padding, 'x'));
            }
            ends = !wrong_.noDoneThenClose;
        } else {
            return "err" + wrong_.lineEnd + "done" + wrong_.lineEnd;
        }
        std::string bytes = wrong_.status + wrong_.lineEnd;
        for (const std::string& arg : args) {
            bytes += arg + wrong_.fieldEnd + wrong_.lineEnd;
        }
        return ends ? bytes + "done" + wrong_.lineEnd : bytes;
    }

    static void send(int fd, const std::string& bytes) {
        if (!bytes.empty()) {
            ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
    }

    const Wrong wrong_;
    const std::vector<std::string> roots_;
    std::atomic<int> queries_{0};
    mutable std::mutex mutex_;
    std::map<std::string, int> statuses_;                  // guarded by mutex_
    std::optional<std::pair<std::string, int>> unstored_;  // guarded by mutex_
    std::vector<std::thread> answering_;                   // guarded by mutex_
    std::mutex writing_;                                   // one answer on a connection at a time
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
        const std::string rootName = GetParam().wrong.rootName;
        root_ = temp_.dir(rootName);
        other_ = temp_.dir("Other");
        link_ = temp_.path() + "/SyncLink";
        std::filesystem::create_directory_symlink(root_, link_);
        file_ = temp_.file(rootName + "/" + GetParam().file);
        notifyPort_ = freeUdpPort();
    }

    // The daemon as it lists its roots and keys its statuses.
    ScriptedDaemon daemon() {
        const Wrong& wrong = GetParam().wrong;
        const std::string root = wrong.rootViaLink ? link_ : root_;
        std::vector<std::string> roots = {root};
        if (wrong.rootsOnLines) {
            roots.push_back(other_);
        }
        // A daemon told its root with a slash at the end knows the folder so.
        return ScriptedDaemon(
            wrong, roots,
            {{wrong.rootSlash ? root + "/" : root, 0}, {root + "/" + GetParam().file, 1}});
    }

    // The file changes from 1 (syncing) to 2 (locked), announced: Truth when
    // the plug-in shows the new status once it asked and the daemon stored
    // it, Wrong when it keeps the old one.
    Shown afterAChange(ScriptedDaemon& daemon, TarnwellCore& core) {
        const int asked = daemon.queries();
        daemon.change(file_, 2, notifyPort_);
        waitUntil(
            [&] {
                return daemon.changeStored() && daemon.queries() > asked &&
                       core.pendingQueryCount() == 0;
            },
            6s);
        // Nothing more is to come from a daemon that stored the change late.
        waitUntil([&] { return core.getStatus(file_) == TarnwellCore::Locked; }, 2s);
        return core.getStatus(file_) == TarnwellCore::Locked ? Shown::Truth : Shown::Wrong;
    }

    // What the plug-in's core shows for the file after one draw.
    Shown plugin(ScriptedDaemon& daemon) {
        TarnwellCore core(daemon.port(), notifyPort_);
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
        if (shown == Shown::Truth && GetParam().wrong.notify != Notify::Never) {
            shown = afterAChange(daemon, core);
        }
        // A daemon that closes after each answer may have closed before the
        // status was read.
        if ((shown == Shown::Truth ||
             (shown == Shown::Nothing && GetParam().wrong.closeAfterAnswer)) &&
            GetParam().plugin == Shown::Reconnects &&
            waitUntil([&] { return daemon.connections() > 1; }, 6s)) {
            shown = Shown::Reconnects;
        }
        core.shutdown();
        return shown;
    }

    // Each check's result and line of the JSON report; the exit status under "".
    std::map<std::string, std::pair<std::string, std::string>> doctor(ScriptedDaemon& daemon) {
        std::vector<std::string> argv = {
            TARNWELL_DOCTOR_PATH,          "--daemon", "--json",    "--port",
            std::to_string(daemon.port()), "--expect", file_ + "=1"};
        const bool changes = GetParam().wrong.notify != Notify::Never;
        if (changes) {
            // Heard on the port, which the check binds as its watch begins:
            // then the file changes.
            argv.insert(argv.end(), {"--notify-port", std::to_string(notifyPort_), "--no-wire-tap",
                                     "--watch", "1"});
        }
        if (GetParam().wrong.statDelay.count() == 0) {
            // No row needs the plug-in's 3 s to tell a missing answer.
            argv.insert(argv.end(), {"--answer-limit-ms", "500", "--slow-answer-ms", "100"});
        }
        ChildProcess run;
        std::map<std::string, std::pair<std::string, std::string>> checks;
        if (!run.start(argv)) {
            return checks;
        }
        if (changes && waitUntil([&] { return !udpSocketsOnPort(notifyPort_).empty(); }, 40s)) {
            daemon.change(file_, 2, notifyPort_);
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
    std::uint16_t notifyPort_ = 0;
};

TEST_P(DaemonCheckTest, CheckFailsExactlyTheDaemonsThePluginCannotServeAndNamesTheCause) {
    const Row& row = GetParam();
    ScriptedDaemon forPlugin = daemon();
    EXPECT_EQ(plugin(forPlugin), row.plugin);

    ScriptedDaemon forCheck = daemon();
    auto checks = doctor(forCheck);
    const std::string check = row.check;
    if (row.plugin == Shown::Truth) {
        // Served: the check passes, at most with a warning naming the cause.
        EXPECT_EQ(checks[""].first, "0") << checks[check].second;
        for (const auto& [id, result] : checks) {
            EXPECT_NE(result.first, "failed") << result.second;
        }
        if (!check.empty()) {
            EXPECT_EQ(checks[check].first, row.passes ? "passed" : "warning")
                << checks[check].second;
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
            "answer_time", "the daemon is slow: it took 15"},
        // A change announced before the new status is stored: the plug-in's
        // question, sent at once, reads the old one, and nothing follows.
        Row{"notifies_before_storing", with([](Wrong& w) { w.notify = Notify::BeforeStoring; }),
            "a.txt", Shown::Wrong, "notify_after_store",
            "read 1 (syncing) when asked at once, at "},
        Row{"notifies_after_storing", with([](Wrong& w) { w.notify = Notify::AfterStoring; }),
            "a.txt", Shown::Truth, "notify_after_store", "1 refresh_stat followed", true},
        // More a developer writing from docs/protocol.md alone could write.
        Row{"answers_on_threads", with([](Wrong& w) { w.threaded = true; }), "a.txt", Shown::Truth,
            "", ""},
        Row{"closes_after_each_answer", with([](Wrong& w) { w.closeAfterAnswer = true; }), "a.txt",
            Shown::Reconnects, "keeps_connection",
            "the daemon closed the connection after its answer"},
        Row{"status_as_a_word", with([](Wrong& w) { w.statusAsWord = true; }), "a.txt",
            Shown::Wrong, "query_stat", "stat \\\"syncing\\\" is read as 0 (up to date)"},
        Row{"stat_key_in_capitals", with([](Wrong& w) { w.statKey = "STAT"; }), "a.txt",
            Shown::Nothing, "query_stat", "case matters, and the plug-in reads no status"},
        Row{"tab_at_line_end", with([](Wrong& w) { w.fieldEnd = "\t"; }), "a.txt", Shown::Truth,
            "roots", "an empty value (a tab at the end of the line?)"},
        Row{"roots_end_in_a_slash", with([](Wrong& w) { w.rootSlash = true; }), "a.txt",
            Shown::Truth, "roots", "ends in a slash, which the plug-in drops"},
        Row{"huge_answer", with([](Wrong& w) { w.padding = 2 << 20; }), "a.txt", Shown::Nothing,
            "query_stat", "without a whole answer"},
        Row{"root_tab_unescaped", with([](Wrong& w) {
                w.rootName = "Two\tparts";
                w.rawRoots = true;
            }),
            "a.txt", Shown::Nothing, "roots", "split at a tab written without its escape"},
        Row{"no_done_then_close", with([](Wrong& w) { w.noDoneThenClose = true; }), "a.txt",
            Shown::Nothing, "query_stat", "the daemon closed the connection"},
        Row{"path_written_back_escaped_twice", with([](Wrong& w) { w.echoEscapedTwice = true; }),
            "a.txt", Shown::Truth, "escaping", "which the plug-in does not read here"}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwell::test
