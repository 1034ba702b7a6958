// The chaos run's own sync daemon, on the plug-in's fixed ports. It answers
// the plug-in's commands from its truth (a status per path, a set of roots)
// and, at random from the seed, does what a daemon may do: changes statuses
// and pushes "refresh_stat" (some from sockets closed at once, some repeated,
// some for paths the host never lists), changes the roots and pushes
// "refresh_tw_root", is killed and restarted with other statuses, stalls,
// answers slowly, cuts an answer in the middle, resets the connection, and
// sends garbage, empty datagrams and floods. It tells the oracle every change
// of its truth and every fault, stamped when it happened.
//
// With several copies of the plug-in, each in a process of its own, there is
// an oracle per copy: the daemon's truth and its faults go to every oracle,
// and what happens on a connection (opened, closed, a query received or
// answered, the roots asked for, an action received, a cut or a reset) only to
// the oracle of the copy whose process holds the connection's other end.
//
// Thread safety: start and stop belong to the owner's thread; everything else
// runs on the daemon's own thread, which alone touches the members below
// (except running_ and the window the host publishes).
#ifndef TARNWELL_TOOLS_CHAOS_CHAOS_DAEMON_H_
#define TARNWELL_TOOLS_CHAOS_CHAOS_DAEMON_H_

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/posix_io.h"
#include "daemon_sim/request_framing.h"
#include "oracle.h"
#include "protocol/vocabulary.h"
#include "socket_owner/socket_owner.h"
#include "tree.h"

namespace tarnwell::chaos {

// The plug-in's fixed endpoints on 127.0.0.1.
inline constexpr std::uint16_t kDaemonPort = protocol::kCommandPort;
inline constexpr std::uint16_t kNotifyPort = protocol::kNotifyPort;

// The copies of the plug-in the daemon serves: an oracle per copy, where each
// copy's window begins (changes favour the rows the copies show), and the
// process of each copy. Without processes, one copy runs in this process and
// every connection is its.
struct Copies {
    std::vector<Oracle*> oracles;
    std::vector<const std::atomic<int>*> firstVisibleRows;
    std::vector<pid_t> processes;
};

struct DaemonOptions {
    std::uint64_t seed = 1;
    std::array<bool, static_cast<std::size_t>(Fault::kCount)> enabled{};
    // Mean pause between two faults.
    Millis meanGap{200};
};

class ChaosDaemon {
public:
    // Neither the tree nor what `copies` points to is owned.
    ChaosDaemon(const Tree& tree, Copies copies, const DaemonOptions& options, TimePoint start);
    ~ChaosDaemon();
    ChaosDaemon(const ChaosDaemon&) = delete;
    ChaosDaemon& operator=(const ChaosDaemon&) = delete;

    // Owner's thread: binds the fixed port, sets the first truth and starts
    // the daemon's thread. False, with `error` set, when the port is taken.
    bool start(std::string& error);
    // Owner's thread: ends the thread and closes everything.
    void stop();

private:
    // An answer made when its request was read, from the truth of that
    // moment, as a daemon that answers from a snapshot does; it may go out
    // later (slow answers), after the truth changed.
    struct Answer {
        std::string bytes;
        int path = -1;  // of a "query_stat" answered with a status
        int status = kNoStatus;
    };
    struct Connection {
        UniqueFd fd;
        int copy = -1;  // the index of the copy holding it; -1 when unknown
        sim::RequestFramer framer;
        std::deque<Answer> answers;    // made, not yet written
        TimePoint answerDue = kNever;  // of the front answer
    };

    // --- Daemon thread: serving (chaos_daemon.cpp). ---
    void run();
    bool openSockets();
    void closeSockets();
    int pollTimeoutMs(TimePoint now) const;
    void acceptConnection(TimePoint now);
    // False when the connection ended.
    bool readRequests(Connection& c, TimePoint now);
    void receiveRequest(Connection& c, const sim::Request& request, TimePoint now);
    // Writes the answers that are due; a cut or a failed write ends the
    // connection.
    void answerDue(Connection& c, TimePoint now);
    Answer answerFor(const sim::Request& request) const;
    // Closes the connection (with a reset instead of a FIN if `reset`); run
    // drops it from the list afterwards.
    void endConnection(Connection& c, bool reset, TimePoint now);
    void sampleDrops(TimePoint now);
    // The daemon's own truth: told to every copy's oracle.
    template <typename... Params, typename... Args>
    void tellAll(void (Oracle::*event)(Params...), const Args&... args) {
        for (Oracle* oracle : copies_.oracles) {
            (oracle->*event)(args...);
        }
    }
    // The oracle of the copy holding `c`; null when no copy is known to.
    Oracle* oracleOf(const Connection& c) const {
        return c.copy < 0 ? nullptr : copies_.oracles[static_cast<std::size_t>(c.copy)];
    }
    // What a connection's end or disturbance means to its copy: told to its
    // oracle, or to every oracle when the copy is unknown (each may then
    // only excuse more).
    template <typename... Params, typename... Args>
    void tellHolder(const Connection& c, void (Oracle::*event)(Params...), const Args&... args) {
        if (Oracle* oracle = oracleOf(c)) {
            (oracle->*event)(args...);
        } else {
            tellAll(event, args...);
        }
    }

    // --- Daemon thread: faults (faults.cpp). ---
    void injectFault(TimePoint now);
    Fault pickFault();
    void changeStatuses(TimePoint now);
    // Gives the path another status, drawn from `rng`, and tells the oracle;
    // returns when, or kNever for a path outside every root candidate (which
    // keeps none; the draw is made all the same).
    TimePoint changeStatus(int path, std::mt19937_64& rng);
    TimePoint changeStatus(int path) { return changeStatus(path, rng_); }
    // Now and then, right after an answer about `path`: its status changes
    // (a sync that just finished) while the answer is still on its way.
    void raceAnswer(int path);
    void changeGhosts(TimePoint now);
    void changeRoots(TimePoint now);
    void kill(TimePoint now);
    void restart(TimePoint now);
    void stall(TimePoint now);
    void slowDown(TimePoint now);
    void resetConnection(TimePoint now);
    void sendGarbage(TimePoint now);
    void sendEmptyDatagram(TimePoint now);
    void flood(TimePoint now);
    void setAllStatuses(TimePoint now);
    int randomRow();
    int visibleRow();
    Send pickSend();
    void pushRefreshStat(int path, Send how, TimePoint now);
    void pushRefreshTwRoot(Send how, TimePoint now);
    // One datagram to the plug-in's listener, from the kept socket or from
    // one opened for it and closed at once.
    void sendDatagram(const std::string& bytes, bool closedAtOnce);
    // All of `datagrams` from the kept socket, as fast as the kernel takes them.
    void sendBurst(const std::vector<std::string>& datagrams);
    bool enabled(Fault fault) const { return options_.enabled[static_cast<std::size_t>(fault)]; }
    static int uniform(std::mt19937_64& rng, int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(rng);
    }
    int uniform(int low, int high) { return uniform(rng_, low, high); }

    // Constant after construction.
    const Tree& tree_;
    const Copies copies_;
    const DaemonOptions options_;
    const TimePoint start_;

    std::thread thread_;  // owner's thread only
    std::atomic<bool> running_{false};

    // Daemon thread only (and the owner's before start and after stop).
    // The faults' stream, and a stream for whatever happens a number of
    // times that depends on timing (the plug-in's requests, the host's
    // window): racing changes, how a cut ends, how often a notification is
    // repeated. So the faults and their times stay those of the seed however
    // the timing turns out; which visible rows change does not.
    std::mt19937_64 rng_;
    std::mt19937_64 timingRng_;
    UniqueFd listenFd_;
    UniqueFd notifyFd_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<int> status_;  // per path of the tree
    unsigned rootsMask_ = 0;
    TimePoint nextFault_ = kNever;
    TimePoint restartAt_ = kNever;  // while killed
    TimePoint stalledUntil_ = kNever;
    TimePoint slowUntil_ = kNever;
    Millis slowDelay_{0};
    bool cutNext_ = false;
    TimePoint lastDropSample_ = kNever;
    // Per socket on the notification port (by inode): the datagrams the
    // kernel had dropped there at the last sample.
    std::vector<UdpSocketDrops> dropsSeen_;
    std::size_t nextWindow_ = 0;  // the copy whose window the next change favours
};

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_CHAOS_DAEMON_H_
