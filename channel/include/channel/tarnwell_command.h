// The record of one request to the sync daemon.
#ifndef TARNWELL_CHANNEL_TARNWELL_COMMAND_H_
#define TARNWELL_CHANNEL_TARNWELL_COMMAND_H_

#include <functional>
#include <memory>
#include <string>

#include "base/argument_map.h"

namespace tarnwell {

// One request to the daemon. Owned through a unique pointer from its creator
// to the client's queue to the worker thread, which destroys it after
// completion. Not copied, not shared: at any time exactly one thread touches
// it, so it needs no lock.
struct TarnwellCommand {
    using Callback = std::function<void(TarnwellCommand*)>;

    // Sent as the request's first line. "__RESET__" is reserved for the
    // client's reset request and never reaches the daemon.
    std::string name;
    ArgumentMap args;
    // Called once on the worker thread after the exchange, or when the record
    // is drained at the end of a connection. May be empty.
    Callback callback;
    // The daemon's argument lines when the exchange succeeded; empty when it
    // failed or was never sent (and when the answer had no argument lines).
    ArgumentMap response;
    // Keeps its object alive until the record is destroyed; never inspected.
    std::shared_ptr<void> owner;

    TarnwellCommand() = default;
    TarnwellCommand(const TarnwellCommand&) = delete;
    TarnwellCommand& operator=(const TarnwellCommand&) = delete;
};

using CommandPtr = std::unique_ptr<TarnwellCommand>;

// The name of the client's reset request.
inline constexpr char kResetCommandName[] = "__RESET__";

}  // namespace tarnwell

#endif  // TARNWELL_CHANNEL_TARNWELL_COMMAND_H_
