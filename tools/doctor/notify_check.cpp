#include <unistd.h>

#include "checks.h"
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
    check.found = "held by your file manager: " + joinedBySemicolons(found.holders);
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
}

}  // namespace tarnwell::doctor
