// What one owner lookup costs, through netlink and through /proc, for the
// two kinds the plug-in makes: the exact lookup of the daemon's end of a new
// connection, and the port-filtered dump behind the check of a datagram's
// sender. The floor is one loopback datagram sent and received, the least the
// listener pays for any notification; the ratio says how many datagrams'
// worth one lookup costs.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/posix_io.h"
#include "bench_support.h"
#include "socket_owner/socket_owner.h"

namespace tarnwell::bench {
namespace {

constexpr int kCalls = 200;
constexpr int kBatches = 5;

std::uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A connected pair on loopback and a bound UDP socket: what the lookups ask
// about.
struct Sockets {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int client = ::socket(AF_INET, SOCK_STREAM, 0);
    int accepted = -1;
    int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    int udpSender = ::socket(AF_INET, SOCK_DGRAM, 0);
    bool ok = false;

    Sockets() {
        sockaddr_in any = loopbackAddress(0);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
            ::listen(listener, 4) != 0 ||
            ::bind(udp, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
            return;
        }
        sockaddr_in to = loopbackAddress(boundPort(listener));
        if (::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            return;
        }
        accepted = ::accept(listener, nullptr, nullptr);
        ok = accepted >= 0;
    }
    ~Sockets() {
        for (int fd : {listener, client, accepted, udp, udpSender}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
};

double datagramFloorNanos(Sockets& sockets) {
    const sockaddr_in to = loopbackAddress(boundPort(sockets.udp));
    char byte = 0;
    return minNanosPerCall(
        [&] {
            ::sendto(sockets.udpSender, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to);
            ::recv(sockets.udp, &byte, 1, 0);
        },
        kCalls, kBatches);
}

// Arguments: kind (0 the peer of a TCP connection, 1 the UDP sockets on a
// port), source (0 netlink, 1 /proc).
void BM_OwnerLookup(benchmark::State& state) {
    Sockets sockets;
    if (!sockets.ok) {
        state.SkipWithError("loopback sockets could not be set up");
        return;
    }
    const bool tcp = state.range(0) == 0;
    const OwnerSource source =
        state.range(1) == 0 ? OwnerSource::NetlinkOnly : OwnerSource::ProcOnly;
    const std::uint16_t udpPort = boundPort(sockets.udp);
    bool found = true;
    auto lookup = [&] {
        if (tcp) {
            found = found && tcpPeerOwner(sockets.client, source).result == OwnerLookup::Found;
        } else {
            found = found && udpSocketsOnPort(udpPort, source).size() == 1;
        }
    };
    double figure = 0;
    for (auto _ : state) {
        figure = minNanosPerCall(lookup, kCalls, kBatches);
    }
    if (!found) {
        state.SkipWithError("a lookup did not find the socket");
        return;
    }
    const double floor = datagramFloorNanos(sockets);
    state.counters["figure_ns"] = figure;
    state.counters["floor_ns"] = floor;
    state.counters["ratio"] = figure / floor;
}
BENCHMARK(BM_OwnerLookup)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarnwell::bench
