#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "base/posix_io.h"
#include "checks.h"
#include "listener/copies_folder.h"
#include "processes.h"
#include "socket_owner/socket_owner.h"

namespace tarnwell::doctor {

namespace {

// Who holds the port, one text per socket or process, and what is wrong.
struct PortHolders {
    std::vector<std::string> holders;    // everyone, for the finding
    std::vector<std::string> strangers;  // those who must not hold it
    bool unknownHolder = false;          // a socket or process that cannot be seen
    bool anotherUser = false;            // a stranger is another user's
    std::vector<ProcessInfo> copies;     // the user's processes with the plug-in
};

std::string joinedBySemicolons(const std::vector<std::string>& texts) {
    std::string text;
    for (const std::string& each : texts) {
        text += (text.empty() ? "" : "; ") + each;
    }
    return text;
}

// A socket of the user (or root): fine only when its process is the user's
// own file manager with the plug-in loaded.
void addOwnSocket(const SocketOwner& socket, const std::vector<ProcessInfo>& processes,
                  PortHolders& found) {
    if (processes.empty()) {
        found.unknownHolder = true;
        found.holders.push_back(describeUid(socket.uid) + ", process not visible");
        return;
    }
    for (const ProcessInfo& process : processes) {
        const bool withPlugin = processMapsFile(process.pid, kPluginFileName);
        const std::string text = "pid " + std::to_string(process.pid) + " (" + process.name + ")";
        found.holders.push_back(text + (withPlugin ? " with the plug-in" : ""));
        if (withPlugin) {
            found.copies.push_back(process);
        }
        if (!withPlugin) {
            found.strangers.push_back(text + ", which has not loaded the plug-in");
        }
    }
}

void addSocket(const SocketOwner& socket, const Deadline& deadline, PortHolders& found) {
    if (socket.result != OwnerLookup::Found) {
        found.unknownHolder = true;
        found.holders.push_back("a socket whose owner cannot be found");
        return;
    }
    const std::vector<ProcessInfo> processes = processesHoldingSocket(socket.inode, deadline);
    if (isTrustedOwner(socket.uid)) {
        addOwnSocket(socket, processes, found);
        return;
    }
    std::string text = describeUid(socket.uid);
    for (const ProcessInfo& process : processes) {
        text += ", pid " + std::to_string(process.pid) + " (" + process.name + ")";
    }
    found.holders.push_back(text);
    found.strangers.push_back(text + ", another user");
    found.anotherUser = true;
}

void judge(const PortHolders& found, Check& check) {
    if (!found.strangers.empty()) {
        check.verdict = Verdict::Failed;
        check.found = "held by " + joinedBySemicolons(found.strangers) +
                      ": it takes the daemon's notifications, so emblems go stale";
        check.fix = found.anotherUser
                        ? "ask that user or the administrator to stop the program that holds "
                          "the port, then restart the file manager"
                        : "quit that program, then restart the file manager";
        return;
    }
    if (found.unknownHolder) {
        check.verdict = Verdict::Warning;
        check.found = "held by " + joinedBySemicolons(found.holders);
        check.fix = "check that only your file manager holds it (for instance with `ss -lunpe`)";
        return;
    }
    // Several copies are the usual case on a desktop, not a conflict: they
    // share the port and the notifications (the copies check below).
    check.found = found.copies.size() < 2
                      ? "held by your file manager: " + joinedBySemicolons(found.holders)
                      : "held by " + std::to_string(found.copies.size()) +
                            " copies of the plug-in, all yours (the desktop and each "
                            "file-manager window load one): " +
                            joinedBySemicolons(found.holders);
}

// Whether a process holds the socket at `path`: connecting a datagram socket
// sends nothing, and is refused when nobody has bound it.
bool socketIsHeld(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const UniqueFd probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return probe.valid() &&
           ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// The copies whose socket in the folder is held, by process id, and how many
// sockets there nobody holds any more.
struct CopySockets {
    std::set<pid_t> held;
    int stale = 0;
};

CopySockets readCopiesFolder(const std::string& folder) {
    CopySockets sockets;
    DIR* const dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return sockets;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::optional<pid_t> pid = pidOfCopySocket(entry->d_name);
        if (!pid) {
            continue;
        }
        if (socketIsHeld(folder + "/" + entry->d_name)) {
            sockets.held.insert(*pid);
        } else {
            ++sockets.stale;
        }
    }
    ::closedir(dir);
    return sockets;
}

// The kernel hands each notification to one copy on the port; a copy that
// passes nothing on leaves the others' emblems stale, and hears only its share.
void checkCopies(const std::vector<ProcessInfo>& copies, std::uint16_t port, Report& report) {
    Check& check = report.checks.emplace_back();
    check.id = "copies";
    check.title = "copies of the plug-in on 127.0.0.1:" + std::to_string(port);
    const std::string folder = copiesFolder(port);
    const CopySockets sockets = readCopiesFolder(folder);
    check.detailNumber("copies", static_cast<long long>(copies.size()));
    check.detail("folder", folder);
    check.detailNumber("stale_sockets", sockets.stale);
    if (copies.size() < 2) {
        check.found = copies.empty() ? "none running" : "one: there is nothing to pass on";
        return;
    }
    std::vector<std::string> alone;
    for (const ProcessInfo& copy : copies) {
        if (sockets.held.count(copy.pid) == 0) {
            alone.push_back("pid " + std::to_string(copy.pid) + " (" + copy.name + ")");
        }
    }
    check.detailList("not_passing_on", alone);
    const std::string count = std::to_string(copies.size()) + " copies share the port";
    const std::string stale =
        sockets.stale == 0 ? ""
                           : "; " + std::to_string(sockets.stale) +
                                 " sockets there are left by copies that ended (the next copy "
                                 "to start removes them)";
    if (alone.empty()) {
        check.found = count +
                      " and share every notification, each passing on what it receives "
                      "to the others through " +
                      folder + stale;
        return;
    }
    check.verdict = Verdict::Warning;
    check.found = count + ", but " + joinedBySemicolons(alone) + " passes nothing on through " +
                  folder + ": the others miss the notifications the kernel hands it" + stale;
    check.fix =
        "restart that program; if it logs \"tarnwell: notifications are not shared with other "
        "copies of the plug-in: ...\", mend what the line names";
}

}  // namespace

void checkNotifyPort(std::uint16_t port, const Deadline& deadline, Report& report) {
    Check& check = report.checks.emplace_back();
    check.id = "notify_port";
    check.title = "notification port 127.0.0.1:" + std::to_string(port);
    check.detailNumber("port", port);
    const std::vector<SocketOwner> sockets = udpSocketsOnPort(port);
    if (sockets.empty()) {
        check.found = "free (the plug-in binds it while a file manager has it loaded)";
        return;
    }
    // Each holder is fine only when it is the user's own (or root's) file
    // manager with the plug-in loaded: anything else receives the daemon's
    // notifications in its place, or beside it.
    PortHolders found;
    for (const SocketOwner& socket : sockets) {
        addSocket(socket, deadline, found);
    }
    check.detailList("holders", found.holders);
    judge(found, check);
    checkCopies(found.copies, port, report);
}

}  // namespace tarnwell::doctor
