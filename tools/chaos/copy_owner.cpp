#include "copy_owner.h"

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

}  // namespace tarnwell::chaos
