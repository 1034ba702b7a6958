#include "watch_sources.h"

#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "listener/copies_folder.h"
#include "processes.h"
#include "protocol/vocabulary.h"
#include "socket_owner/socket_owner.h"

namespace tarnwell::doctor {

namespace {

// An IPv4 packet as the raw socket hands it: the IP header (20 to 60 bytes),
// the UDP header (8), the datagram.
constexpr std::size_t kIpHeaderBytes = 20;
constexpr std::size_t kUdpHeaderBytes = 8;
constexpr std::size_t kPacketBytes = 65536;

std::uint16_t bigEndian16(const unsigned char* at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

// Lets through only packets for 127.0.0.1:<port>, so that the other UDP
// traffic of a busy machine never reaches the check's queue.
void attachPortFilter(int fd, std::uint16_t port) {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 16),  // destination address
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, INADDR_LOOPBACK, 0, 4),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),  // X: the IP header's length
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),   // UDP destination port
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0x40000),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    // Without it every packet is still checked below, only at more cost.
    ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}

}  // namespace

bool WireTap::open(std::uint16_t port) {
    port_ = port;
    socket_.reset(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP));
    if (!socket_.valid()) {
        why_ = errno == EPERM || errno == EACCES
                   ? "a raw socket needs CAP_NET_RAW (run the check as root)"
                   : std::string("no raw socket: ") + errnoText();
        return false;
    }
    attachPortFilter(socket_.get(), port);
    // A burst that arrives while the check reads waits in the kernel's queue.
    const int queueBytes = protocol::kNotifyReceiveQueueBytes;
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &queueBytes, sizeof queueBytes);
    buffer_.assign(kPacketBytes, '\0');
    return true;
}

bool WireTap::receive(std::string& datagram, sockaddr_in& from) {
    for (;;) {
        const ssize_t n = retryInterrupted(
            [&] { return ::recv(socket_.get(), buffer_.data(), buffer_.size(), MSG_DONTWAIT); });
        if (n < 0) {
            return false;
        }
        const auto* packet = reinterpret_cast<const unsigned char*>(buffer_.data());
        const auto length = static_cast<std::size_t>(n);
        const std::size_t ipHeader = length >= kIpHeaderBytes ? (packet[0] & 0x0fU) * 4U : 0;
        if (ipHeader < kIpHeaderBytes || length < ipHeader + kUdpHeaderBytes ||
            (packet[0] >> 4) != 4) {
            continue;
        }
        const unsigned char* udp = packet + ipHeader;
        std::uint32_t destination = 0;
        std::memcpy(&destination, packet + 16, sizeof destination);
        if (ntohl(destination) != INADDR_LOOPBACK || bigEndian16(udp + 2) != port_) {
            continue;
        }
        const std::size_t udpLength = bigEndian16(udp + 4);
        const std::size_t carried = length - ipHeader - kUdpHeaderBytes;
        const std::size_t size =
            udpLength >= kUdpHeaderBytes ? std::min(carried, udpLength - kUdpHeaderBytes) : 0;
        datagram.assign(reinterpret_cast<const char*>(udp + kUdpHeaderBytes), size);
        from = sockaddr_in{};
        from.sin_family = AF_INET;
        std::memcpy(&from.sin_addr, packet + 12, sizeof from.sin_addr);
        std::memcpy(&from.sin_port, udp, sizeof from.sin_port);
        return true;
    }
}

std::vector<pid_t> processesOnPort(std::uint16_t port, const Deadline& deadline) {
    std::vector<pid_t> pids;
    for (const SocketOwner& socket : udpSocketsOnPort(port)) {
        if (socket.result != OwnerLookup::Found) {
            continue;
        }
        for (const ProcessInfo& process : processesHoldingSocket(socket.inode, deadline)) {
            if (process.pid != ::getpid() &&
                std::find(pids.begin(), pids.end(), process.pid) == pids.end()) {
                pids.push_back(process.pid);
            }
        }
    }
    return pids;
}

namespace {

// Whether `leaf` names a copies' folder for `port`, under XDG_RUNTIME_DIR
// ("tarnwell-notify-<port>") or in /tmp ("tarnwell-notify-<uid>-<port>").
bool isCopiesFolderFor(const std::string& leaf, std::uint16_t port) {
    const std::string head = "tarnwell-notify-";
    const std::string tail = std::to_string(port);
    if (leaf.compare(0, head.size(), head) != 0 || leaf.size() < head.size() + tail.size()) {
        return false;
    }
    const std::size_t at = leaf.size() - tail.size();
    return leaf.compare(at, tail.size(), tail) == 0 && (at == head.size() || leaf[at - 1] == '-');
}

// The path a line of /proc/net/unix names (the eighth field, which may
// hold blanks); empty for an unnamed or abstract socket.
std::string socketPath(const std::string& line) {
    std::istringstream fields(line);
    std::string skipped;
    for (int i = 0; i < 7 && fields >> skipped; ++i) {
    }
    std::string path;
    std::getline(fields >> std::ws, path);
    return path.empty() || path[0] != '/' ? std::string() : path;
}

}  // namespace

std::vector<CopiesFolderInUse> copiesFoldersInUse(std::uint16_t port,
                                                  const std::vector<pid_t>& holders,
                                                  const std::string& procRoot) {
    std::vector<CopiesFolderInUse> folders;
    std::ifstream sockets(procRoot + "/net/unix");
    std::string line;
    while (std::getline(sockets, line)) {
        const std::string path = socketPath(line);
        const std::size_t slash = path.rfind('/');
        if (path.empty() || slash == 0) {
            continue;
        }
        const std::string folder = path.substr(0, slash);
        const std::optional<pid_t> pid = pidOfCopySocket(path.substr(slash + 1));
        if (!pid || std::find(holders.begin(), holders.end(), *pid) == holders.end() ||
            !isCopiesFolderFor(folder.substr(folder.rfind('/') + 1), port)) {
            continue;
        }
        auto known = std::find_if(folders.begin(), folders.end(),
                                  [&](const CopiesFolderInUse& f) { return f.folder == folder; });
        if (known == folders.end()) {
            known = folders.insert(folders.end(), CopiesFolderInUse{folder, {}});
        }
        if (std::find(known->pids.begin(), known->pids.end(), *pid) == known->pids.end()) {
            known->pids.push_back(*pid);
        }
    }
    return folders;
}

}  // namespace tarnwell::doctor
