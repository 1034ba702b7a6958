#include <unistd.h>

#include "checks.h"
#include "processes.h"
#include "socket_owner/socket_owner.h"

namespace tarnwell::doctor {

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
    // manager with the plug-in loaded: anything else receives the daemon's notifications in
    // its place, or beside it.
    std::vector<std::string> holders;
    std::vector<std::string> strangers;
    bool unknownHolder = false;
    bool anotherUser = false;
    for (const SocketOwner& socket : sockets) {
        if (socket.result != OwnerLookup::Found) {
            unknownHolder = true;
            holders.push_back("a socket whose owner cannot be found");
            continue;
        }
        const std::vector<ProcessInfo> processes = processesHoldingSocket(socket.inode, deadline);
        if (!isTrustedOwner(socket.uid)) {
            std::string text = describeUid(socket.uid);
            for (const ProcessInfo& process : processes) {
                text += ", pid " + std::to_string(process.pid) + " (" + process.name + ")";
            }
            holders.push_back(text);
            strangers.push_back(text + ", another user");
            anotherUser = true;
            continue;
        }
        if (processes.empty()) {
            unknownHolder = true;
            holders.push_back(describeUid(socket.uid) + ", process not visible");
            continue;
        }
        for (const ProcessInfo& process : processes) {
            const bool withPlugin = processMapsFile(process.pid, kPluginFileName);
            std::string text = "pid " + std::to_string(process.pid) + " (" + process.name + ")";
            holders.push_back(text + (withPlugin ? " with the plug-in" : ""));
            if (!withPlugin) {
                strangers.push_back(text + ", which has not loaded the plug-in");
            }
        }
    }
    check.detailList("holders", holders);

    std::string list;
    for (const std::string& holder : holders) {
        list += (list.empty() ? "" : "; ") + holder;
    }
    if (!strangers.empty()) {
        std::string culprits;
        for (const std::string& stranger : strangers) {
            culprits += (culprits.empty() ? "" : "; ") + stranger;
        }
        check.verdict = Verdict::Failed;
        check.found = "held by " + culprits +
                      ": it takes the daemon's notifications, so "
                      "emblems go stale";
        check.fix = anotherUser ? "ask that user or the administrator to stop the program that "
                                  "holds the port, then restart the file manager"
                                : "quit that program, then restart the file manager";
        return;
    }
    if (unknownHolder) {
        check.verdict = Verdict::Warning;
        check.found = "held by " + list;
        check.fix = "check that only your file manager holds it (for instance with `ss -lunpe`)";
        return;
    }
    check.found = "held by your file manager: " + list;
}

}  // namespace tarnwell::doctor
