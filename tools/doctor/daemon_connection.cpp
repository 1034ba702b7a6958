#include "daemon_connection.h"

#include <system_error>

#include "channel/daemon_connect.h"
#include "channel/exchange.h"

namespace tarnwell::doctor {

DaemonConnection::Connect DaemonConnection::connect(std::uint16_t port, const Deadline& deadline,
                                                    std::string& error) {
    DaemonSocket daemon = connectToDaemon("127.0.0.1", port, deadline.end());
    fd_ = std::move(daemon.fd);
    switch (daemon.outcome) {
        case DaemonSocket::Outcome::Connected:
            return Connect::Connected;
        case DaemonSocket::Outcome::Refused:
            return Connect::Refused;
        case DaemonSocket::Outcome::TimedOut:
            return Connect::TimedOut;
        case DaemonSocket::Outcome::Failed:
            break;
    }
    error = std::generic_category().message(daemon.error);
    return Connect::Failed;
}

bool DaemonConnection::ask(const std::string& name, const ArgumentMap* args,
                           const Deadline& deadline, ArgumentMap& response, std::string& error) {
    response.clear();
    if (!fd_.valid()) {
        error = "not connected";
        return false;
    }
    const ExchangeOutcome outcome = exchange(fd_.get(), name, args, response,
                                             LineReader::Mode::ReadAhead, deadline.end(), &error);
    if (outcome == ExchangeOutcome::Ok) {
        return true;
    }
    response.clear();
    if (outcome == ExchangeOutcome::Broken) {
        fd_.reset();
    }
    return false;
}

}  // namespace tarnwell::doctor
