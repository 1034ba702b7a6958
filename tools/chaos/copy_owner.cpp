#include "copy_owner.h"

#include <dirent.h>
#include <unistd.h>

#include <string>

#include "socket_owner/socket_owner.h"

namespace tarnwell::chaos {

int copyHoldingPeer(int fd, const std::vector<pid_t>& processes) {
    const SocketOwner owner = tcpPeerOwner(fd);
    if (owner.result != OwnerLookup::Found) {
        return -1;
    }
    for (std::size_t i = 0; i < processes.size(); ++i) {
        if (processHoldsSocket(processes[i], owner.inode)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool processHoldsSocket(pid_t pid, std::uint64_t inode) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    bool held = false;
    // Only the daemon's thread reads this directory stream.
    while (const dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
        char target[64];
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == wanted) {
            held = true;
            break;
        }
    }
    ::closedir(dir);
    return held;
}

}  // namespace tarnwell::chaos
