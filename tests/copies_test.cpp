// Several copies of the plug-in at once, as a desktop runs them (the desktop,
// each file-manager window, each file dialog): each a dfmext-host process
// loading the real plug-in, all on the fixed ports, sharing one folder. The
// kernel hands each datagram to one copy; every copy must show every change.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/posix_io.h"
#include "support/test_support.h"
#include "support/ui_tables.h"

namespace tarnwell {
namespace {

using test::ChildProcess;
using test::DaemonSim;
using test::TempDir;
using test::waitUntil;

constexpr std::uint16_t kDaemonPort = 19080;
constexpr std::uint16_t kNotifyPort = 19081;
constexpr int kFiles = 12;

const std::string kStartedLine = "tarnwell: UDP input command server started";

// One way a daemon may send a datagram to 127.0.0.1:19081.
enum class Sending { KeptSocket, FreshSockets, Wildcard, DualStackIpv6 };

// A socket of the given kind, bound to a port of its own; -1 on failure.
int senderSocket(Sending how) {
    if (how == Sending::DualStackIpv6) {
        const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        return fd;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (how != Sending::Wildcard) {
        sockaddr_in local = loopbackAddress(0);
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    return fd;
}

bool sendFrom(int fd, Sending how, const std::string& bytes) {
    if (how == Sending::DualStackIpv6) {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(kNotifyPort);
        ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &to.sin6_addr);
        return ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                        sizeof to) == static_cast<ssize_t>(bytes.size());
    }
    sockaddr_in to = loopbackAddress(kNotifyPort);
    return ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(bytes.size());
}

class CopiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::udpPortFree(kNotifyPort)) << "something holds 19081";
        root_ = std::filesystem::canonical(tmp_.dir("Sync")).string();
        for (int i = 0; i < kFiles; ++i) {
            files_.push_back(tmp_.file("Sync/f" + std::to_string(10 + i)));
        }
        // The daemon's own pushes go to a port nobody reads, so that the test
        // sends every notification itself, from the kind of socket it names.
        std::vector<std::string> statuses;
        for (const std::string& file : files_) {
            statuses.insert(statuses.end(), {"--status", file + "=1"});
        }
        ASSERT_TRUE(daemon_.startOnPort(kDaemonPort, {root_}, test::freeUdpPort(), statuses));
    }

    // A copy of the plug-in in a process of its own; waits until it listens.
    // A copy given another runtime folder (another session's environment)
    // cannot meet the others.
    ChildProcess& startCopy(const std::string& runtimeFolder = {}) {
        copies_.push_back(std::make_unique<ChildProcess>());
        ChildProcess& copy = *copies_.back();
        const std::string runtime = runtimeFolder.empty() ? runtime_.path() : runtimeFolder;
        EXPECT_TRUE(copy.start({"/usr/bin/env", "XDG_RUNTIME_DIR=" + runtime, DFMEXT_HOST_PATH,
                                "--plugin", TARNWELL_PLUGIN_PATH},
                               true));
        EXPECT_TRUE(waitUntil([&] { return logged(copy, kStartedLine); }));
        return copy;
    }
    static bool logged(const ChildProcess& copy, const std::string& line) {
        const auto lines = copy.stderrLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    // The icon (or "-") the copy shows for each file, in order.
    std::vector<std::string> shown(ChildProcess& copy) {
        copy.writeStdin("ls " + root_ + "\necho end\n");
        std::vector<std::string> icons;
        while (auto line = copy.readLine()) {
            if (*line == "end") {
                break;
            }
            icons.push_back(line->substr(0, line->find(' ')));
        }
        return icons;
    }
    bool showsAll(ChildProcess& copy, const std::string& icon) {
        return waitUntil(
            [&] {
                const auto icons = shown(copy);
                return icons.size() == files_.size() &&
                       std::all_of(icons.begin(), icons.end(),
                                   [&](const std::string& i) { return i == icon; });
            },
            test::kDeadline, std::chrono::milliseconds(20));
    }

    // Sets every file to `status` in the daemon, then tells the copies the
    // way `how` says: one notification per file.
    void changeAll(int status, Sending how) {
        for (const std::string& file : files_) {
            ASSERT_TRUE(daemon_.control("set " + file + " " + std::to_string(status)));
            ASSERT_TRUE(
                daemon_.process().waitForLineContaining("notify refresh_stat path=" + file));
        }
        int kept = senderSocket(how);
        for (const std::string& file : files_) {
            if (how == Sending::FreshSockets) {
                ::close(kept);
                kept = senderSocket(how);
            }
            ASSERT_TRUE(sendFrom(kept, how, "refresh_stat\npath\t" + file + "\ndone\n"));
        }
        ::close(kept);
    }

    // The sockets in the shared folder.
    std::size_t socketsShared() const {
        std::size_t count = 0;
        const auto folder = runtime_.path() + "/tarnwell-notify-" + std::to_string(kNotifyPort);
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            count += entry.is_socket() ? 1 : 0;
        }
        return count;
    }

    TempDir tmp_;
    TempDir runtime_;
    std::string root_;
    std::vector<std::string> files_;
    DaemonSim daemon_;
    std::vector<std::unique_ptr<ChildProcess>> copies_;
};

TEST_F(CopiesTest, EveryCopyShowsEveryChangeWhicheverWayTheDaemonSendsAndNewRootsReachAll) {
    const std::string syncing = test::statusIcon(1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(showsAll(startCopy(), syncing));
    }
    int status = 0;
    for (Sending how :
         {Sending::KeptSocket, Sending::FreshSockets, Sending::Wildcard, Sending::DualStackIpv6}) {
        changeAll(status, how);
        for (const auto& copy : copies_) {
            EXPECT_TRUE(showsAll(*copy, test::statusIcon(status)))
                << "copy " << copy->pid() << ", sending way " << static_cast<int>(how);
        }
        status = status == 0 ? 1 : 0;
    }
    // New roots: the files are outside every root in every copy.
    const std::string elsewhere = tmp_.dir("Elsewhere");
    ASSERT_TRUE(daemon_.control("roots " + elsewhere));
    ASSERT_TRUE(daemon_.process().waitForLineContaining("notify refresh_tw_root"));
    const int fd = senderSocket(Sending::FreshSockets);
    ASSERT_TRUE(sendFrom(fd, Sending::FreshSockets, "refresh_tw_root\ndone\n"));
    ::close(fd);
    for (const auto& copy : copies_) {
        EXPECT_TRUE(showsAll(*copy, "-")) << "copy " << copy->pid();
    }
}

TEST_F(CopiesTest, ACopyKilledWithoutAWordLeavesNothingInTheWayAndALaterCopyHears) {
    const std::string syncing = test::statusIcon(1);
    ChildProcess& first = startCopy();
    ChildProcess& doomed = startCopy();
    ASSERT_TRUE(showsAll(first, syncing));
    ASSERT_EQ(socketsShared(), 2u);
    doomed.signal(SIGKILL);
    ASSERT_TRUE(doomed.wait());

    // A copy started later finds the dead copy's socket and removes it.
    ChildProcess& later = startCopy();
    EXPECT_EQ(socketsShared(), 2u);
    ASSERT_TRUE(showsAll(later, syncing));
    // Sent from fresh sockets, the changes spread over every socket on the
    // port: both live copies hear them all.
    for (int status : {0, 2}) {
        changeAll(status, Sending::FreshSockets);
        EXPECT_TRUE(showsAll(first, test::statusIcon(status)));
        EXPECT_TRUE(showsAll(later, test::statusIcon(status)));
    }
}

// The doctor counts the copies on the port and names one that cannot pass
// notifications on: the others then miss what the kernel hands it.
TEST_F(CopiesTest, DoctorCountsTheCopiesAndNamesOneThatPassesNothingOn) {
    startCopy();
    startCopy();
    TempDir elsewhere;
    const pid_t alone = startCopy(elsewhere.path()).pid();
    ChildProcess doctor;
    ASSERT_TRUE(doctor.start({"/usr/bin/env", "XDG_RUNTIME_DIR=" + runtime_.path(),
                              TARNWELL_DOCTOR_PATH, "--plugin", TARNWELL_PLUGIN_PATH}));
    ASSERT_TRUE(doctor.wait());
    const std::string expected =
        "copies of the plug-in on 127.0.0.1:19081: 3 copies share the "
        "port, but pid " +
        std::to_string(alone) + " (dfmext-host) passes nothing on";
    const auto lines = doctor.allStdout();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind("warning", 0) == 0 && line.find(expected) != std::string::npos;
    })) << testing::PrintToString(lines);
}

}  // namespace
}  // namespace tarnwell
