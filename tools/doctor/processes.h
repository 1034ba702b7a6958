// Which processes hold a socket, found the way a user can see it: each
// /proc/<pid>/fd link that reads "socket:[inode]". Processes of other users
// are visible only to root; for them the socket's owner uid is all there is.
#ifndef TARNWELL_TOOLS_DOCTOR_PROCESSES_H_
#define TARNWELL_TOOLS_DOCTOR_PROCESSES_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "deadline.h"

namespace tarnwell::doctor {

struct ProcessInfo {
    pid_t pid = 0;
    std::string name;  // the program's file name, else /proc/<pid>/comm; empty when unreadable
};

// Every visible process with a descriptor on the socket with this inode.
// Gives up (with what it has) when the deadline passes.
std::vector<ProcessInfo> processesHoldingSocket(std::uint64_t inode, const Deadline& deadline,
                                                const std::string& procRoot = "/proc");

// Whether the process has a file whose name ends in `fileName` mapped (a
// loaded shared object). False when its maps cannot be read.
bool processMapsFile(pid_t pid, const std::string& fileName, const std::string& procRoot = "/proc");

// "alice (uid 1000)", or "uid 1000" when the user has no name.
std::string describeUid(uid_t uid);

}  // namespace tarnwell::doctor

#endif  // TARNWELL_TOOLS_DOCTOR_PROCESSES_H_
