// A socket held by another local user, for the tests of who is at the other
// end of a loopback connection. Run as root; it drops to the given uid before
// it creates its socket, so the kernel records that uid as the owner.
//
//   foreign_socket_helper UID tcp-listen PORT [no-accept] [reuseaddr] [reuseport]
//   foreign_socket_helper UID udp PORT [reuseaddr] [reuseport]
//
// Prints "ready port=P" once bound (P is the real port when PORT is 0) or
// "bind-failed errno=E", then serves commands on stdin, one per line:
//   send TOPORT COUNT TEXT   UDP: sends COUNT datagrams "TEXT" with "\n" for
//                            every "|" to 127.0.0.1:TOPORT; prints "sent"
//   bytes                    prints "bytes N": what it received so far (TCP:
//                            from every accepted connection; UDP: datagram bytes)
// Ends at end of stdin.
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/posix_io.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s UID tcp-listen|udp PORT [options]\n", argv[0]);
        return 2;
    }
    const auto uid = static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10));
    const bool tcp = std::strcmp(argv[2], "tcp-listen") == 0;
    const auto port = static_cast<std::uint16_t>(std::strtoul(argv[3], nullptr, 10));
    bool accept = true;
    std::vector<int> options;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "no-accept") == 0) {
            accept = false;
        } else if (std::strcmp(argv[i], "reuseaddr") == 0) {
            options.push_back(SO_REUSEADDR);
        } else if (std::strcmp(argv[i], "reuseport") == 0) {
            options.push_back(SO_REUSEPORT);
        }
    }
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) {
        std::printf("drop-failed errno=%d\n", errno);
        std::fflush(stdout);
        return 1;
    }

    int fd = ::socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    for (int option : options) {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, option, &one, sizeof one);
    }
    sockaddr_in address = tarnwell::loopbackAddress(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (tcp && ::listen(fd, 16) != 0)) {
        std::printf("bind-failed errno=%d\n", errno);
        std::fflush(stdout);
        // Stay until the test is done, so that it can still talk to us.
        char c;
        while (::read(0, &c, 1) > 0) {
        }
        return 0;
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("ready port=%u\n", ntohs(address.sin_port));
    std::fflush(stdout);

    std::vector<pollfd> fds{{0, POLLIN, 0}, {fd, POLLIN, 0}};
    if (tcp && !accept) {
        fds.pop_back();
    }
    unsigned long received = 0;
    std::string input;
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 1;
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            if (tcp && fds[i].fd == fd) {
                int connection = ::accept(fd, nullptr, nullptr);
                if (connection >= 0) {
                    fds.push_back({connection, POLLIN, 0});
                }
                continue;
            }
            char buffer[4096];
            ssize_t got = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (got > 0) {
                received += static_cast<unsigned long>(got);
            } else if (tcp) {
                fds[i].fd = -1;  // the peer hung up; poll skips negative fds
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP)) == 0) {
            continue;
        }
        char buffer[1024];
        ssize_t got = ::read(0, buffer, sizeof buffer);
        if (got <= 0) {
            return 0;
        }
        input.append(buffer, static_cast<std::size_t>(got));
        std::size_t newline;
        while ((newline = input.find('\n')) != std::string::npos) {
            std::string line = input.substr(0, newline);
            input.erase(0, newline + 1);
            if (line == "bytes") {
                std::printf("bytes %lu\n", received);
            } else if (line.rfind("send ", 0) == 0) {
                unsigned to = 0;
                int count = 0;
                int textAt = 0;
                std::sscanf(line.c_str(), "send %u %d %n", &to, &count, &textAt);
                std::string text = line.substr(static_cast<std::size_t>(textAt));
                for (char& c : text) {
                    if (c == '|') {
                        c = '\n';
                    }
                }
                sockaddr_in target = tarnwell::loopbackAddress(static_cast<std::uint16_t>(to));
                for (int n = 0; n < count; ++n) {
                    ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&target),
                             sizeof target);
                }
                std::printf("sent\n");
            }
            std::fflush(stdout);
        }
    }
}
