// The status queries the core wants answered: the paths waiting to be sent,
// most wanted first, the few handed to the channel, the paths the daemon had
// no status for, and the answers held for paths nobody has drawn yet.
//
// The channel serves its queue first in, first out, and a person's menu
// action waits behind whatever is queued there. So only a small window of
// status queries is in the channel at a time; the rest wait here, where the
// order can follow what the person sees. Waiting paths go by priority:
//   Drawn           the host draws the path and has no status for it: the
//                   latest redraw first, in the order it asked (top to bottom
//                   on the screen); a path drawn again moves ahead with it;
//   ChangedDrawn    the daemon said a path changed that the host drew in the
//                   last moments: its old status stays visible meanwhile;
//   ChangedUndrawn  the same for a path with a status that nobody drew lately;
//   Listed          a path neither known nor pending that lies in the folder
//                   of a path the host just drew without a status: a file
//                   manager that asks about every file of a folder (the GTK
//                   ones do, one file a main-loop turn) asks about it next.
//                   Asked in the listing's order, behind everything else but
//                   Unseen, and its answer is held as an Unseen one's is,
//                   until the host draws the path; a draw before the answer
//                   lifts it to Drawn. It is no change: it never delays the
//                   Unseen paths' pause, and an ask for a path the list holds
//                   in any state does nothing;
//   Unseen          the same for a path neither known nor drawn, asked only
//                   because the daemon may expect it. Its answer is held
//                   here, not put in the status cache, until the host draws
//                   the path: the cache grows only by what the host asked
//                   for, while the held answers are bounded (kCapacity, the
//                   oldest forgotten first). While such a path is asked
//                   again (changed since), its last answer stays held with
//                   it: a redraw shows it, as a known path's old status is
//                   shown, and asks the path as drawn, so that the newer
//                   answer goes to the cache.
// The three changed kinds go oldest first. A big sync, announced file by
// file, thus never delays what is on the screen, and when the list is full
// the lowest kind is dropped first, its oldest path first. Unseen paths are
// sent only once the daemon's changes have paused for kChangesPause: while
// it announces a big sync, neither it nor the plug-in spends time on paths
// nobody sees, and the listener keeps the CPU it needs to drain its queue.
// Whoever hears of the pause then takes them (takeToSend with `paused`).
//
// One exception bounds how long a wrong emblem stays: a ChangedDrawn path
// that has waited kChangedDrawnWait goes ahead of the draws. Its old status
// is on the screen while it waits, and draws can keep coming for longer than
// an old status may stay: a screen refilled after new roots, or a folder
// scrolled through, while the daemon takes a few hundred milliseconds an
// answer. Such paths are few (what the host drew in the last moments), so
// the draws wait for them a little at most.
//
// Bounded: at most kCapacity waiting paths (the least wanted beyond it are
// dropped at once), and a waiting path not asked again within kLifetime is
// dropped when the worker next takes paths to send after a reply, or after
// lost notifications (dropExpired). The host's ask and the pause take paths
// to send without expiring first, so a path may go out somewhat later than
// kLifetime after its last ask: at most until the next reply's drop would
// have taken it. A dropped path was never sent; the host asks again when it
// draws it again. A folder scrolled past or left costs the daemon nothing
// more.
//
// A path is pending from its first ask until its reply is handled (waiting
// or sent); asking again for a pending path sends nothing more, though it
// may raise its priority. A changed ask for a path already sent marks it: the
// reply on its way may predate the change, so the path is asked once more
// after it, ahead of the others of its kind.
//
// The daemon has no status for some paths (ignored or temporary files). Such
// a path is remembered as unanswered, and a draw asks again only after
// kUnansweredPause: without it a folder of them would be asked about at every
// redraw, 60 times a second for as long as it is open. A changed ask, and
// a draw after distrustAnswersOnTheWay (lost notifications) or clear (a new
// connection, new roots), ask at once.
//
// Each path is one node: its entry in the hash map carries the links of the
// lists it is in. The map has from the start the buckets for every path its
// bounds allow, so it never grows them: a rehash of tens of thousands of
// paths in the middle of a big sync's burst held the listener up for
// milliseconds while its receive queue overflowed (and a bucket array
// allocated then would look like a leak).
//
// Thread safety: none; the status cache guards it with its pending mutex.
#ifndef TARNWELL_CORE_WANTED_QUERIES_H_
#define TARNWELL_CORE_WANTED_QUERIES_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarnwell {

class WantedQueries {
public:
    using Clock = std::chrono::steady_clock;

    // Most wanted first; see above.
    enum class Priority : std::uint8_t { Drawn, ChangedDrawn, ChangedUndrawn, Listed, Unseen };

    // Waiting paths kept at most; as many unanswered ones at most.
    static constexpr std::size_t kCapacity = 65536;
    // A waiting path nobody asked for again within this long is dropped.
    static constexpr std::chrono::seconds kLifetime{5};
    // Queries in the channel at a time. The next one is handed over from the
    // previous one's completion, before the worker looks at its queue again,
    // so two keep the worker busy; a menu action waits for at most these.
    static constexpr std::size_t kWindow = 2;
    // Asks closer together than this belong to one redraw.
    static constexpr std::chrono::milliseconds kRedrawGap{1};
    // How long a draw of a path the daemon had no status for asks nothing.
    static constexpr std::chrono::seconds kUnansweredPause{1};
    // How long the daemon's changes must pause before Unseen paths are sent.
    static constexpr std::chrono::milliseconds kChangesPause{10};
    // How long a ChangedDrawn path waits behind draws at most; see above.
    static constexpr std::chrono::seconds kChangedDrawnWait{1};

    WantedQueries();
    WantedQueries(const WantedQueries&) = delete;
    WantedQueries& operator=(const WantedQueries&) = delete;

    // A path asked for at `now`: by a draw (Drawn), or by the daemon's word
    // that it changed (the other priorities). Paths dropped to keep the bound
    // are appended to `dropped`.
    void ask(const std::string& path, Priority priority, Clock::time_point now,
             std::vector<std::string>& dropped);
    // The host draws a path whose changed ask waits while its old status is
    // shown (known but not drawn lately when the change came, or unseen): it
    // is a change on the screen from `now` on, asked within kChangedDrawnWait
    // whatever the draws. Nothing for any other path.
    void drawnWithOldStatus(const std::string& path, Clock::time_point now);
    // Moves the most wanted waiting paths to the sent ones while the window
    // has room, appending them to `toSend`. Unseen paths only when the
    // changes have paused at `now`, or when `paused` says they have.
    void takeToSend(std::vector<std::string>& toSend, Clock::time_point now, bool paused = false);
    // Drops (into `dropped`) the waiting paths past their lifetime, and
    // forgets the unanswered ones past their pause. The worker does it before it takes more, not
    // the host's ask: a folder scrolled past expires in one piece, which can be thousands of paths.
    void dropExpired(Clock::time_point now, std::vector<std::string>& dropped);
    // The reply for a sent path was handled, with a status or without, and
    // `stored` in the status cache or not (see keepsReply). A path that
    // changed while its query was out waits again, ahead of its kind, with
    // its answer held meanwhile when the cache did not take it; otherwise a
    // status the cache did not take is held. Does nothing for a path not
    // sent (a reply after a clear, or one the path was asked again since).
    void finish(const std::string& path, std::optional<std::int32_t> status, bool stored,
                Clock::time_point now);
    // Whether the reply for a sent path goes to the status cache: not when
    // only the daemon's word of a change, or a listing, asked for a path
    // nobody drew or knew (finish then holds it). True for a path it does not know (a reply
    // after a clear is stored).
    bool keepsReply(const std::string& path) const;
    // Whether an answer is held for the path at rest (not asked again), and
    // takes it (the host draws the path now).
    std::optional<std::int32_t> heldAnswer(const std::string& path) const;
    std::optional<std::int32_t> takeHeldAnswer(const std::string& path);
    // The answer held for a path while it is asked again (waiting or sent),
    // to be shown meanwhile. It never goes into the cache: the newer answer
    // on its way would then be held behind it and hidden.
    std::optional<std::int32_t> heldWhileAskedAgain(const std::string& path) const;
    // Notifications may have been lost: every path whose query is out is
    // asked again after its reply, and the unanswered and held answers at
    // rest are forgotten. One held while its path is asked again stays, as a
    // drawn path's status does: that path is asked again anyway.
    void distrustAnswersOnTheWay();
    // Forgets everything: a new connection or new roots.
    void clear();
    // The same, but the paths' nodes pass to `spare`, a new and empty one
    // whose buckets this one takes in exchange, so that the caller frees
    // them when `spare` goes, after letting go of the lock that guards this
    // one: freeing tens of thousands of paths takes milliseconds, and tens
    // of them on a loaded machine, which a host thread waiting for the lock
    // would wait too.
    void clear(WantedQueries& spare);

    // Waiting and sent.
    std::size_t size() const { return waiting() + sent_; }
    std::size_t waiting() const;
    std::size_t sent() const { return sent_; }
    std::size_t unanswered() const { return lists_[kUnanswered].size; }
    std::size_t held() const { return lists_[kHeld].size; }
    // Waiting or sent.
    bool contains(const std::string& path) const;
    // Bytes held by the map and its nodes (an estimate of the allocator's
    // share included).
    std::size_t memoryBytes() const;

private:
    struct Entry;
    using Entries = std::unordered_map<std::string, Entry>;
    using Node = Entries::value_type;

    enum State : std::uint8_t { kWaiting, kSent, kUnansweredState, kHeldState };
    // The lists: one per priority of waiting paths, then the unanswered
    // ones, then those with a held answer, then the sent ones.
    static constexpr std::size_t kPriorities = 5;
    static constexpr std::size_t kUnanswered = kPriorities;
    static constexpr std::size_t kHeld = kPriorities + 1;
    static constexpr std::size_t kSentList = kPriorities + 2;

    struct Links {
        Node* prev = nullptr;
        Node* next = nullptr;
    };
    struct Entry {
        Links order;                // in the list of its state (and kind, while waiting)
        Links age;                  // in its kind's list by age (oldest first) while waiting
        Clock::time_point asked{};  // last ask; when unanswered, the reply
        std::int32_t answer = 0;    // the held answer
        Priority priority = Priority::Unseen;
        State state = kWaiting;
        bool askAgain = false;     // sent, and changed since
        bool holdsAnswer = false;  // waiting or sent again, `answer` held meanwhile
    };
    struct List {
        Node* head = nullptr;
        Node* tail = nullptr;
        std::size_t size = 0;
    };

    static std::size_t listOf(Priority priority) { return static_cast<std::size_t>(priority); }
    // Links `node` before `before` (nullptr: at the tail) of list `l`,
    // through its links `links`.
    static void link(List& l, Links Entry::*links, Node* node, Node* before);
    static void unlink(List& l, Links Entry::*links, Node* node);
    // Puts a path in its kind's send list before `before`, and at the
    // newest end of its age list.
    void linkWaiting(Node* node, Node* before);
    // Takes a waiting path out of its list (not out of entries_).
    void unlinkWaiting(Node* node);
    // Puts a waiting path where its priority places it.
    void place(Node* node, Clock::time_point now);
    // Moves a waiting path to the sent ones and appends it to `toSend`.
    void send(Node* node, std::vector<std::string>& toSend);
    // Sends the ChangedDrawn paths that have waited kChangedDrawnWait, oldest
    // first, while the window has room.
    void sendOverdueChanges(std::vector<std::string>& toSend, Clock::time_point now);
    // Puts a drawn path at the end of the current redraw's run, which starts
    // anew at the head after a gap.
    void placeInRedraw(Node* node, Clock::time_point now);
    // The unanswered paths are asked again at their next draw.
    void forgetUnanswered();
    // Whether an ask of `priority` asks nothing for this unanswered path.
    bool stillUnanswered(const Entry& entry, Priority priority, Clock::time_point now) const;
    // Leaves the unanswered or held list, as an ask makes the path wait.
    void leaveRestingList(Node* node);
    // Drops the least wanted waiting path: the oldest of the lowest kind.
    void dropLeastWanted(std::vector<std::string>& dropped);
    void dropWaiting(Node* node, std::vector<std::string>& dropped);
    Node* oldestOf(std::size_t list) const { return ages_[list].head; }

    Entries entries_;
    // Send order: one list per kind, then the unanswered paths, then the
    // held answers (oldest first), then the sent paths: the few that
    // distrustAnswersOnTheWay marks, found without a walk over every path
    // while the host waits for the lock.
    std::array<List, kPriorities + 3> lists_{};
    // Age order of each kind: the order in which they are dropped.
    std::array<List, kPriorities> ages_{};
    // The first drawn path of the redraws before the current one: the
    // current redraw's asks go in front of it. nullptr when there is none.
    Node* redrawEnd_ = nullptr;
    Clock::time_point lastDraw_{};
    // The daemon's latest change (a changed ask).
    Clock::time_point lastChange_{};
    std::size_t sent_ = 0;
};

}  // namespace tarnwell

#endif  // TARNWELL_CORE_WANTED_QUERIES_H_
