// Ways the simulated daemon can be told to break the contract on purpose
// (--break KIND, repeatable), so that `tarnwell-doctor --daemon` can be shown
// to flag each one, and each with the one check meant for it. Every kind
// breaks one thing and leaves the rest of the daemon as it is; some break it
// only where one check looks, so that the other checks still see a sound
// daemon (a refusal without "done" rather than every answer without it).
//
// Thread safety: none needed; built from the command line, then only read by
// the single-threaded event loop.
#ifndef TARNWELL_TOOLS_DAEMON_SIM_BREAKAGE_H_
#define TARNWELL_TOOLS_DAEMON_SIM_BREAKAGE_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "daemon_sim/request_framing.h"
#include "protocol/messages.h"

namespace tarnwell::sim {

class SimState;

class Breakage {
public:
    enum class Kind : std::uint8_t {
        Slow,              // every "query_stat" answer 100 ms late
        Hang,              // reads every request, answers none
        RelativeRoot,      // "get_tw_roots" also lists a relative root
        MissingRoot,       // ... and a root that does not exist
        BadStatus,         // "stat" 7 for every path
        EmptyStatus,       // "stat" with an empty value
        NoDone,            // a refusal ends without "done"
        ExtraBytes,        // a second, unasked answer behind every answer
        NoEscape,          // answers written raw, "query_stat" echoing its path
        OneAtATime,        // no second connection accepted while one is open
        CloseAfterAnswer,  // every connection closed after its first answer
        RelativeNotify,    // notifications carry the path without its leading "/"
    };

    // The kinds' names as --break takes them, "slow, hang, ...", for the help.
    static std::string kindNames();
    // Adds the kind named `name`; false for a name that is none.
    bool add(const std::string& name);
    bool has(Kind kind) const { return (kinds_ & bit(kind)) != 0; }
    bool any() const { return kinds_ != 0; }

    // The bytes to write for `request`: the sound answer, broken as asked.
    // Empty when the daemon hangs.
    std::string answer(const SimState& state, const Request& request) const;
    // How long to wait before answering `request`.
    std::chrono::microseconds delay(const Request& request) const;
    // A notification's pairs as they are to go out.
    protocol::PairList notificationPairs(protocol::PairList pairs) const;

private:
    static std::uint32_t bit(Kind kind) { return 1U << static_cast<unsigned>(kind); }
    std::string rootsAnswer(const SimState& state) const;
    std::string statusAnswer(const SimState& state, const Request& request) const;

    std::uint32_t kinds_ = 0;
};

}  // namespace tarnwell::sim

#endif  // TARNWELL_TOOLS_DAEMON_SIM_BREAKAGE_H_
