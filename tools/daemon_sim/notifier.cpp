#include "notifier.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "base/posix_io.h"
#include "protocol/vocabulary.h"
#include "sim_output.h"
#include "tools_common/event_line.h"

namespace tarnwell::sim {

Notifier::~Notifier() = default;

bool Notifier::open(std::string& error) {
    fd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd_.valid()) {
        error = "cannot create the notification socket: " + errnoText();
        return false;
    }
    return true;
}

bool Notifier::sendDatagram(const std::string& datagram) {
    sockaddr_in addr = loopbackAddress(port_);
    UniqueFd fresh;
    if (freshSockets_) {
        fresh.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    }
    const int fd = freshSockets_ ? fresh.get() : fd_.get();
    if (fd < 0) {
        return false;
    }
    const bool sent = ::sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                               reinterpret_cast<sockaddr*>(&addr), sizeof addr) >= 0;
    // The fresh socket closes on the way out, after errno was read.
    const int saved = errno;
    fresh.reset();
    errno = saved;
    return sent;
}

void Notifier::notify(const std::string& name, const PairList& asked) {
    const PairList pairs = breaks_.notificationPairs(asked);
    const std::string datagram = protocol::buildNotification(name, pairs);
    if (datagram.size() > protocol::kMaxNotificationBytes) {
        complain("notification of " + std::to_string(datagram.size()) +
                 " bytes is sent, but a daemon must keep them within " +
                 std::to_string(protocol::kMaxNotificationBytes));
    }
    if (!sendDatagram(datagram)) {
        complain("cannot send notification " + name + ": " + errnoText());
        return;
    }
    ArgumentMap args;
    for (const auto& [key, value] : pairs) {
        args[key].push_back(value);
    }
    emitEvent(formatEvent("notify", name, args));
}

}  // namespace tarnwell::sim
