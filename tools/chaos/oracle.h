// The oracle of a chaos run. The daemon thread tells it its truth as it
// changes (statuses, roots, connections, answers, the faults it injects),
// stamped when it happened; the host thread tells it every emblem it was shown
// and every action it picked. Each draw is checked at once against the truth:
//
//   a. a status shown is one the daemon held for that path during the last
//      `window`, and never one it never held;
//   b. once the daemon has answered a query for the path after its last
//      change, and nothing has disturbed the daemon or cleared the plug-in's
//      state since, the host shows that answer after `shown`; and a path in
//      the roots whose emblem is missing gets it back within `window` of calm;
//   c. no emblem for a path outside the daemon's roots after `shown`, and
//      none while no connection to the daemon is open after `disconnected`;
//   d. an action reaches the daemon at most once, and exactly once when the
//      daemon stays calm for `actionCalm` after the pick.
//
// Rules e and f (host calls, resources) are judged from figures the host
// loop keeps; it reports their violations here so that all are counted alike.
//
// With several copies of the plug-in, each copy has an oracle of its own: the
// daemon's truth goes to every oracle, what happens on one connection only to
// the oracle of the copy that holds it. A copy's draws and picks then reach
// its oracle a little after they happened (through a pipe), stamped when they
// happened; the rules compare stamps, so a late report is judged as if on
// time, and a reception is judged against the picks only once every pick made
// before it has surely been reported.
//
// Thread safety: every operation may be called from any thread; mutex_
// guards all state. The daemon thread and the host thread (or the thread that
// reads a copy's reports) are its callers.
#ifndef TARNWELL_TOOLS_CHAOS_ORACLE_H_
#define TARNWELL_TOOLS_CHAOS_ORACLE_H_

#include <array>
#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "chaos_clock.h"
#include "ring.h"
#include "stats.h"
#include "tree.h"

namespace tarnwell::chaos {

inline constexpr int kNoStatus = -1;
inline constexpr int kStatusCount = 4;

// What the daemon may do, one kind per entry; each is counted.
enum class Fault {
    Change,         // statuses changed, "refresh_stat" pushed
    RacingChange,   // a status changed right after the daemon answered for it
    ClosedSocket,   // a notification sent from a socket closed at once
    Repeat,         // a notification sent more than once
    Ghost,          // "refresh_stat" for paths the host never lists
    Roots,          // the roots changed, "refresh_tw_root" pushed
    Kill,           // killed and restarted on the same port with other statuses
    Stall,          // reads and answers nothing for up to 4 s
    Slow,           // answers late for a while
    Cut,            // an answer cut in the middle, then the connection closed
    Reset,          // the connection reset
    Garbage,        // datagrams that are no notification
    EmptyDatagram,  // a datagram of no bytes
    Flood,          // thousands of "refresh_stat" at once
    Calm,           // nothing at all for a while
    kCount,
};
const char* faultName(Fault fault);
// The fault named `name`; false when there is none.
bool faultByName(const std::string& name, Fault& fault);

enum class Rule {
    Stale,           // a
    NeverHeld,       // a
    AnswerNotShown,  // b
    NeverBack,       // b
    OutsideRoots,    // c
    Disconnected,    // c
    ActionTwice,     // d
    ActionLost,      // d
    HostCalls,       // e
    Resources,       // f
    kCount,
};
char ruleLetter(Rule rule);
const char* ruleText(Rule rule);

// How a notification left the daemon.
enum class Send { Kept, Closed, Repeated };
const char* sendName(Send how);

struct Bounds {
    Millis window{5000};
    Millis shown{100};
    Millis disconnected{50};
    Millis actionCalm{1000};
    // The plug-in must notice the datagrams the kernel dropped and ask again
    // itself. Lenient: a drop excuses the stale emblems of the paths it may
    // have been for, until the daemon answers for them again.
    bool lenientDrops = false;
};

struct OracleFigures {
    std::array<std::uint64_t, static_cast<std::size_t>(Fault::kCount)> faults{};
    std::array<std::uint64_t, static_cast<std::size_t>(Rule::kCount)> violations{};
    std::uint64_t draws = 0;
    std::uint64_t emblems = 0;           // draws that showed an emblem
    std::uint64_t staleEmblems = 0;      // of those, a status the daemon no longer held
    std::uint64_t excusedEmblems = 0;    // stale beyond the window after a kernel drop
    std::uint64_t uncheckedEmblems = 0;  // history too short to judge
    Histogram lag;                       // of stale emblems: since the daemon stopped holding it
    std::uint64_t actionsPicked = 0;
    std::uint64_t actionsReceived = 0;
    std::uint64_t actionsHeldToOnce = 0;  // picked in a calm second: exactly once checked
    std::uint64_t kernelDrops = 0;
    std::uint64_t answers = 0;
};

class Oracle {
public:
    // `copy` names the copy of the plug-in it judges in what it prints (1 and
    // up), or 0 when the run has one copy.
    Oracle(const Tree& tree, const Bounds& bounds, std::uint64_t seed, TimePoint start,
           std::ostream& out, int copy = 0);

    // --- The daemon thread: its truth, stamped when it happened. ---
    void statusChanged(int path, int status, TimePoint t);
    void rootsChanged(unsigned rootsMask, TimePoint t);
    void refreshSent(int path, Send how, TimePoint t);
    void rootsRefreshSent(Send how, TimePoint t);
    void queryReceived(int path, TimePoint t);
    // "get_tw_roots": the plug-in has just emptied its state.
    void rootsRequested(TimePoint t);
    // Once the whole answer is written.
    void queryAnswered(int path, int status, TimePoint t);
    void connectionOpened(TimePoint t);
    void connectionClosed(TimePoint t);
    // Something that may keep the plug-in from hearing the daemon until
    // `calmAt`; kNever: until the next connection is accepted.
    void disturbed(TimePoint t, TimePoint calmAt);
    // A flood since `from`: the plug-in may be busy catching up until
    // `calmAt`, and may have emptied its state after datagrams were dropped.
    void flooded(TimePoint from, TimePoint calmAt);
    // A fault worth a line in the daemon's timeline, and counted.
    void faultInjected(Fault fault, TimePoint t, const std::string& detail);
    // A fault only counted (one of many datagrams).
    void countFault(Fault fault);
    void note(TimePoint t, const std::string& text);
    void actionReceived(const std::string& command, const std::string& path, TimePoint t);
    // The kernel dropped `count` datagrams on the listener's socket between
    // `since` and `t`.
    void kernelDropped(std::uint64_t count, TimePoint since, TimePoint t);

    // --- The host thread. ---
    // `shown` is the status of the emblem drawn, or kNoStatus for none.
    void checkDraw(int path, int shown, TimePoint t);
    // Before the action is triggered, so that its arrival never comes first.
    void actionPicked(const std::string& command, const std::string& path, TimePoint t);
    // Judges the picks whose calm second has passed and the receptions whose
    // picks have all been reported (all of them if `final`).
    void checkActions(TimePoint now, bool final);
    void ruleBroken(Rule rule, const std::string& detail);

    OracleFigures figures() const;
    std::uint64_t violationCount() const;

private:
    struct Held {
        TimePoint since;
        int status;
    };
    struct PathEvent {
        TimePoint t;
        char kind;  // 'c' change, 'r' refresh, 'q' query, 'a' answer, 'x' excused
        int value;
    };
    struct ShownEvent {
        TimePoint t;
        int status;
    };
    struct PathState {
        int status = kNoStatus;
        unsigned heldMask = 0;  // bit per status ever held
        TimePoint changedAt = kNever;
        TimePoint answeredAt = kNever;
        int answeredStatus = kNoStatus;
        TimePoint queriedAt = kNever;
        TimePoint refreshedAt = kNever;
        Send refreshedHow = Send::Kept;
        TimePoint excusedAt = kNever;
        int shown = kNoStatus;
        bool drawn = false;
        TimePoint drawnAt = kNever;
        // Drawn in every frame since; a path scrolled into view has had no
        // chance to be asked about before.
        TimePoint visibleSince = kNever;
        unsigned violating = 0;  // bit per rule: inside a reported episode
        Ring<Held, 16> held;
        Ring<PathEvent, 24> events;
        Ring<ShownEvent, 12> shownEvents;
    };
    struct Pick {
        std::string key;
        TimePoint t;
        bool connected;
    };
    struct Reception {
        std::string key;
        TimePoint t;
    };

    // Whether a reception at or after the pick is left to match it (taken).
    bool matchReception(const Pick& pick) TARNWELL_REQUIRES(mutex_);
    void judgePick(const Pick& pick, TimePoint now) TARNWELL_REQUIRES(mutex_);
    void judgeReception(const Reception& reception) TARNWELL_REQUIRES(mutex_);
    // "seed 7", or "seed 7, copy 2".
    std::string origin() const;
    // Each returns the rule the draw breaks, or Rule::kCount.
    Rule judgeConnection(int shown, TimePoint t) const TARNWELL_REQUIRES(mutex_);
    Rule judgeRoots(int path, int shown, TimePoint t) const TARNWELL_REQUIRES(mutex_);
    Rule judgeStatus(const PathState& p, int shown, TimePoint t) TARNWELL_REQUIRES(mutex_);
    Rule judgeAnswer(const PathState& p, int shown, TimePoint t) const TARNWELL_REQUIRES(mutex_);
    Rule judgeReturn(const PathState& p, int shown, TimePoint t) const TARNWELL_REQUIRES(mutex_);
    // When the daemon last stopped holding `status` for the path; kNever when
    // the history kept is too short to tell.
    static TimePoint heldUntil(const PathState& p, int status, TimePoint from);
    bool excused(const PathState& p) const TARNWELL_REQUIRES(mutex_);
    bool calmAt(TimePoint t) const TARNWELL_REQUIRES(mutex_);

    void recordShown(PathState& p, int shown, TimePoint t);
    void violate(Rule rule, int path, int shown, TimePoint t) TARNWELL_REQUIRES(mutex_);
    void printViolation(Rule rule, int path, int shown, TimePoint t) const
        TARNWELL_REQUIRES(mutex_);
    void printTimelines(const PathState& p, TimePoint t) const TARNWELL_REQUIRES(mutex_);
    void printPathEvents(const PathState& p) const TARNWELL_REQUIRES(mutex_);
    // The daemon's own events between `from` and `to`.
    void printGlobal(TimePoint from, TimePoint to) const TARNWELL_REQUIRES(mutex_);
    void printHints(const PathState& p) const TARNWELL_REQUIRES(mutex_);
    void globalEvent(TimePoint t, std::string text) TARNWELL_REQUIRES(mutex_);

    // Constant after construction.
    const Tree& tree_;
    const Bounds bounds_;
    const std::uint64_t seed_;
    const TimePoint start_;
    const int copy_;

    mutable Mutex mutex_;
    std::ostream& out_ TARNWELL_GUARDED_BY(mutex_);
    std::vector<PathState> paths_ TARNWELL_GUARDED_BY(mutex_);
    unsigned rootsMask_ TARNWELL_GUARDED_BY(mutex_) = 0;
    // Per root candidate: when the daemon last dropped it from its roots.
    std::array<TimePoint, kRootCandidates> rootLeftAt_ TARNWELL_GUARDED_BY(mutex_);
    int openConnections_ TARNWELL_GUARDED_BY(mutex_) = 0;
    TimePoint disconnectedSince_ TARNWELL_GUARDED_BY(mutex_);
    // The plug-in may have emptied its state since (a notification asked it
    // to), or surely has (its connection ended or began).
    TimePoint lastClear_ TARNWELL_GUARDED_BY(mutex_) = kNever;
    TimePoint lastCertainClear_ TARNWELL_GUARDED_BY(mutex_) = kNever;
    // The start of the last fault that may have kept answers from the plug-in.
    TimePoint lastDisturbance_ TARNWELL_GUARDED_BY(mutex_) = kNever;
    // From when the daemon answers promptly again; with calmAfterAccept_,
    // only from the next accepted connection on.
    TimePoint calmSince_ TARNWELL_GUARDED_BY(mutex_);
    bool calmAfterAccept_ TARNWELL_GUARDED_BY(mutex_) = true;
    TimePoint rootsRefreshedAt_ TARNWELL_GUARDED_BY(mutex_) = kNever;
    Send rootsRefreshedHow_ TARNWELL_GUARDED_BY(mutex_) = Send::Kept;
    TimePoint rootsExcusedAt_ TARNWELL_GUARDED_BY(mutex_) = kNever;
    Ring<TimePoint, 64> emptyDatagrams_ TARNWELL_GUARDED_BY(mutex_);
    TimePoint lastKernelDrop_ TARNWELL_GUARDED_BY(mutex_) = kNever;
    Ring<std::pair<TimePoint, std::string>, 1024> global_ TARNWELL_GUARDED_BY(mutex_);
    std::deque<Pick> picks_ TARNWELL_GUARDED_BY(mutex_);
    // Receptions not yet judged against the picks, oldest first.
    std::deque<Reception> receptions_ TARNWELL_GUARDED_BY(mutex_);
    // Per "command TAB path": when picked (in order), how often received.
    std::unordered_map<std::string, std::vector<TimePoint>> pickedAt_ TARNWELL_GUARDED_BY(mutex_);
    std::unordered_map<std::string, std::uint64_t> received_ TARNWELL_GUARDED_BY(mutex_);
    // Receptions not yet matched to a pick, oldest first: a pick is matched
    // to the first one at or after it, so that a pick lost in a disturbance
    // does not take the reception of a later pick of the same action.
    std::unordered_map<std::string, std::deque<TimePoint>> unmatched_ TARNWELL_GUARDED_BY(mutex_);
    OracleFigures figures_ TARNWELL_GUARDED_BY(mutex_);
    int printed_ TARNWELL_GUARDED_BY(mutex_) = 0;
};

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_ORACLE_H_
