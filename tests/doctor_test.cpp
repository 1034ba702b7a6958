// tarnwell-doctor run as a user runs it, against real peers on free ports.
// The fixture builds a healthy setup (the built plug-in, the icons the build
// lays out as the only XDG data folder, a free notification port); each case
// breaks one thing and asserts the doctor's finding and its exit status.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/posix_io.h"
#include "support/test_support.h"

namespace tarnwell::test {
namespace {

struct DoctorRun {
    std::optional<int> exitStatus;
    std::vector<std::string> lines;
    std::chrono::milliseconds elapsed{0};

    // The first output line containing `needle`, or "" (which no assertion
    // on a finding accepts).
    std::string line(const std::string& needle) const {
        for (const std::string& line : lines) {
            if (line.find(needle) != std::string::npos) {
                return line;
            }
        }
        return "";
    }
};

int socketOn(int type, std::uint16_t port) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 4) != 0)) {
        return -1;
    }
    return fd;
}

class DoctorTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Only the icons the build laid out, none of the machine's.
        ::setenv("XDG_DATA_HOME", temp_.dir("no-data").c_str(), 1);
        ::setenv("XDG_DATA_DIRS", TARNWELL_ICON_DATA_DIR, 1);
        // English, whatever the machine's session asks for; a case that
        // wants another language sets LANGUAGE.
        ::setenv("LC_ALL", "C.UTF-8", 1);
        ::unsetenv("LANGUAGE");
        root_ = temp_.dir("Sync");
        notifyPort_ = freeUdpPort();
    }

    bool startSim(const std::vector<std::string>& extraArgs = {}) {
        return sim_.start({root_}, notifyPort_, extraArgs);
    }

    // In `cwd` when one is given.
    DoctorRun runDoctor(std::uint16_t daemonPort, const std::vector<std::string>& extra = {},
                        const std::string& cwd = {}) {
        std::vector<std::string> argv = {
            TARNWELL_DOCTOR_PATH,       "--plugin",      TARNWELL_PLUGIN_PATH,       "--port",
            std::to_string(daemonPort), "--notify-port", std::to_string(notifyPort_)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!cwd.empty()) {
            argv.insert(argv.begin(), {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", cwd});
        }
        DoctorRun run;
        ChildProcess doctor;
        const auto start = std::chrono::steady_clock::now();
        if (!doctor.start(argv)) {
            return run;
        }
        // Reads to the end of its output: no line matches.
        doctor.waitForLine([](const std::string&) { return false; });
        run.exitStatus = doctor.wait();
        run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        run.lines = doctor.allStdout();
        return run;
    }

    // Every request the doctor made, once the sim has seen it hang up.
    std::vector<std::string> simRequests() {
        sim_.waitForRequest("disconnected");
        std::vector<std::string> requests;
        for (const std::string& line : sim_.process().allStdout()) {
            if (line.rfind("request ", 0) == 0) {
                requests.push_back(line.substr(0, line.find(' ', 8)));
            }
        }
        return requests;
    }

    TempDir temp_;
    std::string root_;
    std::uint16_t notifyPort_ = 0;
    DaemonSim sim_;
};

TEST_F(DoctorTest, HealthySetupPassesEveryCheckAndAsksOnlyReadOnlyQuestions) {
    const std::string file = temp_.file("Sync/report.txt");
    ASSERT_TRUE(startSim({"--status", file + "=2"}));
    const DoctorRun run = runDoctor(sim_.port(), {file});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.line("passed  daemon on 127.0.0.1:" + std::to_string(sim_.port()) +
                       ": listening, yours: "),
              "");
    EXPECT_NE(run.line(", pid " + std::to_string(sim_.process().pid()) + " (tarnwell-daemon-sim)"),
              "");
    EXPECT_NE(run.line("passed  daemon answers: get_tw_roots answered in"), "");
    EXPECT_NE(run.line("passed  path " + file + ": " + file + " in sync root " + root_ +
                       ", status 2, emblem emblem-tarnwell-locked"),
              "");
    EXPECT_EQ(run.lines.back(), "all checks passed");
    EXPECT_EQ(simRequests(),
              (std::vector<std::string>{"request get_tw_roots", "request query_stat"}));
}

TEST_F(DoctorTest, NoDaemonFailsWithWhatToDo) {
    const DoctorRun run = runDoctor(freeTcpPort());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.line(": nothing listens there"), "");
    EXPECT_EQ(run.line("failed").rfind("failed  daemon on 127.0.0.1:", 0), 0u);
    EXPECT_NE(run.line("fix: start the Tarnwell client"), "");
}

TEST_F(DoctorTest, PeerThatAcceptsAndNeverAnswersEndsTheRunWithinTwoSeconds) {
    LoopbackServer silent([](int fd) {
        while (readSocketLine(fd)) {
        }
    });
    const DoctorRun run = runDoctor(silent.port(), {"--json", root_});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.line("{\"check\":\"daemon_answers\",\"title\":\"daemon answers\","
                       "\"result\":\"failed\",\"found\":\"no answer to get_tw_roots within 1 s"),
              "");
    // Two seconds promised; the margin is for a loaded machine starting the
    // program, not for the doctor's own waits.
    EXPECT_LT(run.elapsed, std::chrono::milliseconds(4000));
}

TEST_F(DoctorTest, AnotherUsersDaemonIsNamedAndSentNothing) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a listener as another user";
    }
    const std::uint16_t port = freeTcpPort();
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // As uid 65534: listen, say so, then count every byte one client sends.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(1);
        }
        const int listener = socketOn(SOCK_STREAM, port);
        if (listener < 0 || ::write(report[1], "L", 1) != 1) {
            ::_exit(1);
        }
        const int fd = ::accept(listener, nullptr, nullptr);
        long received = 0;
        char buffer[256];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
            received += n;
        }
        const char byte = received == 0 ? '0' : '1';
        ::_exit(::write(report[1], &byte, 1) == 1 ? 0 : 1);
    }
    ::close(report[1]);
    char ready = 0;
    ASSERT_EQ(::read(report[0], &ready, 1), 1);

    const DoctorRun run = runDoctor(port);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.line("failed  daemon on 127.0.0.1:" + std::to_string(port) +
                       ": listening, but it belongs to "),
              "");
    EXPECT_NE(run.line("(uid 65534), pid " + std::to_string(child)), "");
    char received = 0;
    EXPECT_EQ(::read(report[0], &received, 1), 1);
    EXPECT_EQ(received, '0') << "the doctor sent bytes to another user's daemon";
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
}

TEST_F(DoctorTest, NotificationPortHeldByAnotherProgramFails) {
    ASSERT_TRUE(startSim());
    const int squatter = socketOn(SOCK_DGRAM, notifyPort_);
    ASSERT_GE(squatter, 0);
    const DoctorRun run = runDoctor(sim_.port());
    ::close(squatter);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.line("failed  notification port 127.0.0.1:" + std::to_string(notifyPort_) +
                       ": held by pid " + std::to_string(::getpid()) +
                       " (doctor_test), which has not loaded the plug-in"),
              "");
}

TEST_F(DoctorTest, PathOutsideEveryRootFailsAndIsNotSentToTheDaemon) {
    ASSERT_TRUE(startSim());
    const std::string elsewhere = temp_.dir("Elsewhere");
    const DoctorRun run = runDoctor(sim_.port(), {elsewhere});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.line("failed  path " + elsewhere + ": " + elsewhere + " lies in no sync folder"),
              "");
    EXPECT_EQ(simRequests(), (std::vector<std::string>{"request get_tw_roots"}));
}

// A user types a path as the shell knows it: relative to the current folder.
// Taken as standing at "/", it was explained as a file that does not exist
// there; one that does not exist was shown with the root's status.
TEST_F(DoctorTest, RelativePathsAreTakenFromTheCurrentFolderAndMissingOnesAreNamed) {
    ASSERT_TRUE(startSim());
    temp_.file("Sync/report.odt");
    const DoctorRun run = runDoctor(sim_.port(), {"report.odt", "nosuch.txt"}, root_);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(
        run.line("path report.odt").rfind("passed  path report.odt: " + root_ + "/report.odt", 0),
        0u)
        << run.line("path report.odt");
    EXPECT_EQ(run.line("path nosuch.txt"),
              "failed  path nosuch.txt: " + root_ +
                  "/nosuch.txt does not exist, so the file manager shows nothing there");
}

TEST_F(DoctorTest, LanguageWithoutCatalogueWarnsThatTheMenuShowsInEnglish) {
    ::setenv("LANGUAGE", "eo", 1);
    const DoctorRun untranslated = runDoctor(freeTcpPort());
    EXPECT_EQ(untranslated.line("menu language")
                  .rfind("warning menu language: no catalogue for eo "
                         "in ",
                         0),
              0u);
    EXPECT_NE(untranslated.line("fix: translated so far: de, es, fr, it, ja, ko, pt_BR, ru, zh_CN"),
              "");

    // gettext's own fallbacks: de_AT finds the German catalogue.
    ::setenv("LANGUAGE", "de_AT:eo", 1);
    const DoctorRun german = runDoctor(freeTcpPort());
    EXPECT_EQ(
        german.line("menu language").rfind("passed  menu language: de_AT: catalogue de in ", 0),
        0u);
}

// Whatever listens on the port, the doctor names what it did: a program of
// another protocol by its first bytes (it passed as "yours" and then
// "closed the connection"); a daemon that knows a root only through a link by
// the two forms of the root (it read "wait for it to sync"); a daemon too slow
// for the run by the time (the next path read "not connected"); and one that
// sends more than its answer by what it sent (it read "no answer").
TEST_F(DoctorTest, EachFaultOfWhatListensIsNamedForItsRealCause) {
    LoopbackServer web([](int fd) {
        readRequest(fd);
        writeAll(fd, "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n");
        ::shutdown(fd, SHUT_WR);
    });
    const DoctorRun webRun = runDoctor(web.port());
    EXPECT_NE(webRun.line("but it is not the Tarnwell daemon"), "");
    EXPECT_EQ(webRun.line("but it is not the Tarnwell daemon").rfind("failed  daemon on", 0), 0u);
    EXPECT_NE(webRun.line("failed  daemon answers: what listens does not speak the daemon's "
                          "protocol: it answered get_tw_roots with \"HTTP/1.1 400 Bad "
                          "Request\\r\\n"),
              "");

    const std::string real = temp_.dir("Real");
    const std::string link = temp_.path() + "/Link";
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    // Answers the roots with the link's form, nothing for the first path, and
    // never for the second.
    LoopbackServer linkDaemon([&](int fd) {
        while (const auto request = readRequest(fd)) {
            if (request->front() == "get_tw_roots") {
                writeAll(fd, "rsp\npath\t" + link + "\ndone\n");
            } else if (request->back() == "path\t" + real + "/a.txt") {
                writeAll(fd, "rsp\ndone\n");
            }
        }
    });
    temp_.file("Real/a.txt");
    temp_.file("Real/b.txt");
    temp_.file("Real/c.txt");
    const DoctorRun run =
        runDoctor(linkDaemon.port(), {link + "/a.txt", link + "/b.txt", link + "/c.txt"});
    EXPECT_NE(run.line("warning sync root " + link +
                       ": a folder, but the plug-in asks about the "
                       "files in it as " +
                       real + "/..."),
              "");
    EXPECT_NE(run.line("it lists this root as " + link + " while the plug-in asks in the form " +
                       real + "/a.txt"),
              "");
    EXPECT_NE(run.line("path " + link + "/b.txt: " + real + "/b.txt in sync root " + real +
                       "; no status from the daemon: no answer to query_stat within the "
                       "doctor's two seconds"),
              "");
    EXPECT_NE(run.line("path " + link + "/c.txt: " + real + "/c.txt in sync root " + real +
                       "; no status from the daemon: not asked, since the connection ended at "
                       "the question before: no answer to query_stat"),
              "");

    LoopbackServer talkative([](int fd) {
        readRequest(fd);
        writeAll(fd, "rsp\ndone\nrsp\n");
        readSocketLine(fd);
    });
    EXPECT_NE(runDoctor(talkative.port())
                  .line("failed  daemon answers: the daemon answered get_tw_roots, then sent "
                        "more bytes after its \"done\""),
              "");
}

// What the user hands the doctor is taken as the plug-in would take it, or
// refused with what it is: a URL as its path, a program given as the plug-in
// as no plug-in, a device as a device, a missing icon folder at once, and a
// LANGUAGE that the C locale ignores as ignored.
TEST_F(DoctorTest, WhatTheUserGivesIsReadAsThePluginReadsItOrNamedForWhatItIs) {
    const std::uint16_t nobody = freeTcpPort();
    const std::string file = temp_.file("Sync/report.txt");
    EXPECT_NE(runDoctor(nobody, {"file://" + file})
                  .line("path file://" + file + ": canonical form " + file),
              "");
    EXPECT_EQ(runDoctor(nobody, {"--plugin", "/bin/ls"})
                  .line("plug-in:")
                  .rfind("failed  plug-in: /bin/ls exports none of the 4 entry points", 0),
              0u);
    EXPECT_NE(runDoctor(nobody, {"--plugin", "/dev/null"})
                  .line("failed  plug-in: /dev/null is a character device, not the plug-in file"),
              "");

    ChildProcess refused;
    ASSERT_TRUE(refused.start({TARNWELL_DOCTOR_PATH, "--icons", "/nonexistent"}, true));
    EXPECT_EQ(refused.wait(), 2);
    EXPECT_EQ(refused.stderrLines(),
              (std::vector<std::string>{
                  "tarnwell-doctor: --icons /nonexistent: no such folder; see --help"}));

    ::unsetenv("LC_ALL");
    ::unsetenv("LC_MESSAGES");
    ::unsetenv("LANG");
    ::setenv("LANGUAGE", "de", 1);
    EXPECT_NE(runDoctor(nobody).line("warning menu language: the C locale, where gettext ignores "
                                     "LANGUAGE=de, so the menu shows in English"),
              "");
}

// `tarnwell-doctor | head -1`: the reader is gone before the report is
// written. The doctor said nothing and died of SIGPIPE (status 141).
TEST_F(DoctorTest, ReaderThatWentAwayIsNamedAndTheRunEndsWithStatusOne) {
    // As a shell leaves it for the programs it starts.
    ASSERT_NE(::signal(SIGPIPE, SIG_DFL), SIG_ERR);
    int output[2];
    ASSERT_EQ(::pipe(output), 0);
    ::close(output[0]);
    ChildProcess doctor;
    // The doctor's stderr on the pipe the test reads, its stdout on the one
    // nobody reads.
    ASSERT_TRUE(
        doctor.start({"/bin/bash", "-c", "exec \"$0\" \"$@\" 2>&1 >&" + std::to_string(output[1]),
                      TARNWELL_DOCTOR_PATH, "--port", std::to_string(freeTcpPort()),
                      "--notify-port", std::to_string(notifyPort_)}));
    ::close(output[1]);
    EXPECT_EQ(doctor.wait(), 1);
    EXPECT_EQ(doctor.allStdout(),
              (std::vector<std::string>{
                  "tarnwell-doctor: cannot write the report to stdout: Broken pipe"}));
}

}  // namespace
}  // namespace tarnwell::test
