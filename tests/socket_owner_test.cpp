// Who owns the socket at the other end, through netlink and through /proc
// alike: each test runs every source, since the plug-in falls back from one
// to the other and either must give the same owner.
#include "socket_owner/socket_owner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "base/posix_io.h"
#include "support/test_support.h"

namespace tarnwell {
namespace {

using test::ForeignSocket;

constexpr OwnerSource kSources[] = {OwnerSource::NetlinkOnly, OwnerSource::ProcOnly};

const char* sourceName(OwnerSource source) {
    return source == OwnerSource::NetlinkOnly ? "netlink" : "/proc";
}

int connectTo(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopbackAddress(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint64_t inodeOf(int fd) {
    struct stat st {};
    ::fstat(fd, &st);
    return st.st_ino;
}

// The chaos run excuses a lost notification only by the drops the kernel
// counted at the plug-in's socket: a count read from the wrong column, or
// from the wrong socket, would blame the plug-in or excuse it wrongly.
TEST(SocketOwner, DatagramsDroppedAtAFullSocketAreCountedForThatSocket) {
    const UniqueFd receiver(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int smallest = 1;  // the kernel raises it to its minimum
    ::setsockopt(receiver.get(), SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(receiver.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(receiver.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::uint16_t port = ntohs(address.sin_port);
    const UniqueFd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const std::string datagram(1000, 'x');
    // Nothing reads the receiver: past its small queue every datagram is
    // dropped, and counted.
    for (int i = 0; i < 200; ++i) {
        ::sendto(sender.get(), datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    const auto sockets = udpDropsOnPort(port);
    ASSERT_TRUE(sockets.has_value());
    ASSERT_EQ(sockets->size(), 1U);
    EXPECT_EQ(sockets->front().inode, inodeOf(receiver.get()));
    EXPECT_GT(sockets->front().drops, 0U);
    EXPECT_LT(sockets->front().drops, 200U);
}

// A wrong inode would send the doctor to the wrong process, so both the uid
// and the inode of our own sockets are checked against what we know.
TEST(SocketOwner, OwnSocketsAreFoundWithOwnUidAndTheirInode) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t port = ntohs(address.sin_port);
    int client = connectTo(port);
    ASSERT_GE(client, 0);
    int accepted = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);

    int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    address.sin_port = 0;
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    length = sizeof address;
    ::getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t udpPort = ntohs(address.sin_port);

    for (OwnerSource source : kSources) {
        SCOPED_TRACE(sourceName(source));
        SocketOwner owner = tcpListenerOwner(port, source);
        EXPECT_EQ(owner.result, OwnerLookup::Found);
        EXPECT_EQ(owner.uid, ::geteuid());
        EXPECT_EQ(owner.inode, inodeOf(listener));

        owner = tcpPeerOwner(client, source);
        EXPECT_EQ(owner.result, OwnerLookup::Found);
        EXPECT_EQ(owner.uid, ::geteuid());
        EXPECT_EQ(owner.inode, inodeOf(accepted));

        // The table is the machine's: another process may hold the same port
        // number beside ours, on [::] with IPV6_V6ONLY for instance, which
        // the table does not tell from a dual-stack socket. Ours must be
        // there once, with our uid, and nothing else with its inode.
        const std::vector<SocketOwner> owners = udpSocketsOnPort(udpPort, source);
        const auto ours = std::count_if(owners.begin(), owners.end(), [&](const SocketOwner& o) {
            return o.inode == inodeOf(udp);
        });
        EXPECT_EQ(ours, 1) << owners.size() << " sockets on the port";
        for (const SocketOwner& owner : owners) {
            EXPECT_EQ(owner.result, OwnerLookup::Found);
            if (owner.inode == inodeOf(udp)) {
                EXPECT_EQ(owner.uid, ::geteuid());
            }
        }
    }
    ::close(udp);
    ::close(accepted);
    ::close(client);
    ::close(listener);
}

TEST(SocketOwner, PortWithNobodyOnItIsNotFound) {
    const std::uint16_t tcpPort = test::freeTcpPort();
    const std::uint16_t udpPort = test::freeUdpPort();
    for (OwnerSource source : kSources) {
        SCOPED_TRACE(sourceName(source));
        EXPECT_EQ(tcpListenerOwner(tcpPort, source).result, OwnerLookup::NotFound);
        EXPECT_TRUE(udpSocketsOnPort(udpPort, source).empty());
    }
}

// The kernel reports uid 0 for a connection that waits in the accept queue;
// as root that would pass for "our own daemon". The peer of a connection the
// other user has not accepted yet must still come out as that user.
TEST(SocketOwner, SocketsOfAnotherUserAreFoundWithThatUidEvenBeforeAccept) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as another user";
    }
    ForeignSocket accepting;
    ForeignSocket notAccepting;
    ForeignSocket udp;
    ASSERT_TRUE(accepting.start("tcp-listen", 0) && accepting.bound());
    ASSERT_TRUE(notAccepting.start("tcp-listen", 0, {"no-accept"}) && notAccepting.bound());
    ASSERT_TRUE(udp.start("udp", 0) && udp.bound());
    int toAccepting = connectTo(accepting.port());
    int toNotAccepting = connectTo(notAccepting.port());
    ASSERT_GE(toAccepting, 0);
    ASSERT_GE(toNotAccepting, 0);

    for (OwnerSource source : kSources) {
        SCOPED_TRACE(sourceName(source));
        for (SocketOwner owner :
             {tcpListenerOwner(accepting.port(), source), tcpPeerOwner(toAccepting, source),
              tcpPeerOwner(toNotAccepting, source)}) {
            EXPECT_EQ(owner.result, OwnerLookup::Found);
            EXPECT_EQ(owner.uid, ForeignSocket::kUid);
            EXPECT_NE(owner.inode, 0U);
        }
        // Another process may hold the port number beside it (see above).
        const std::vector<SocketOwner> owners = udpSocketsOnPort(udp.port(), source);
        EXPECT_TRUE(std::any_of(owners.begin(), owners.end(),
                                [](const SocketOwner& o) {
                                    return o.result == OwnerLookup::Found &&
                                           o.uid == ForeignSocket::kUid;
                                }))
            << owners.size() << " sockets on the port";
    }
    ::close(toAccepting);
    ::close(toNotAccepting);
}

}  // namespace
}  // namespace tarnwell
