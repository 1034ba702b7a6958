// The status queries the core wants answered: a list of paths waiting to be
// sent, most wanted first, and the few handed to the channel.
//
// The channel serves its queue first in, first out, and a person's menu
// action waits behind whatever is queued there. So only a small window of
// status queries is in the channel at a time; the rest wait here, where the
// order can follow what the host draws now: the paths of the latest redraw
// go first, in the order they were asked (top to bottom on the screen); a
// path drawn again moves ahead with the new redraw.
//
// Bounded: at most kCapacity waiting paths (the oldest beyond it are dropped)
// and none older than kLifetime since it was last asked by the time the next
// ones are taken to be sent (dropExpired). A dropped path was
// never sent; the host asks again when it draws it again. A folder scrolled
// past or left costs the daemon nothing more.
//
// A path is pending from its first ask until its reply is handled (waiting
// or sent); asking again for a pending path sends nothing more. A "changed"
// ask (the daemon said the path changed) for a path already sent marks it:
// the reply on its way may predate the change, so the path is asked once more
// after it.
//
// Thread safety: none; the status cache guards it with its pending mutex.
#ifndef TARNWELL_CORE_WANTED_QUERIES_H_
#define TARNWELL_CORE_WANTED_QUERIES_H_

#include <chrono>
#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarnwell {

class WantedQueries {
public:
    using Clock = std::chrono::steady_clock;

    // Waiting paths kept at most.
    static constexpr std::size_t kCapacity = 65536;
    // A waiting path nobody asked for again within this long is dropped.
    static constexpr std::chrono::seconds kLifetime{5};
    // Queries in the channel at a time. The next one is handed over from the
    // previous one's completion, before the worker looks at its queue again,
    // so two keep the worker busy; a menu action waits for at most these.
    static constexpr std::size_t kWindow = 2;
    // Asks closer together than this belong to one redraw.
    static constexpr std::chrono::milliseconds kRedrawGap{1};

    // A path asked for at `now`, by a draw or, with `changed`, by the daemon's
    // word that it changed. Paths dropped to keep the bound are appended to
    // `dropped`.
    void ask(const std::string& path, bool changed, Clock::time_point now,
             std::vector<std::string>& dropped);
    // Moves the most wanted waiting paths to the sent ones while the window
    // has room, appending them to `toSend`.
    void takeToSend(std::vector<std::string>& toSend);
    // Drops (into `dropped`) the waiting paths past their lifetime. The
    // worker does it before it takes more, not the host's ask: a folder
    // scrolled past expires in one piece, which can be thousands of paths.
    void dropExpired(Clock::time_point now, std::vector<std::string>& dropped);
    // The reply for a sent path was handled: it is no longer pending. True
    // when it must be asked again (it changed while its query was out).
    bool finish(const std::string& path);
    void clear();

    // Waiting and sent.
    std::size_t size() const { return entries_.size(); }
    std::size_t waiting() const { return order_.size(); }
    std::size_t sent() const { return sent_; }
    bool contains(const std::string& path) const { return entries_.count(path) != 0; }
    // Bytes held by the containers and their nodes (an estimate of the
    // allocator's share included).
    std::size_t memoryBytes() const;

private:
    struct Entry;
    // Waiting paths, each once, pointing at their element of entries_ (which
    // stays put when the map rehashes).
    using Order = std::list<std::pair<const std::string, Entry>*>;
    struct Entry {
        Order::iterator position;  // in order_, valid while waiting
        Order::iterator age;       // in byAge_, valid while waiting
        Clock::time_point asked;
        bool sent = false;
        bool askAgain = false;  // sent, and changed since
    };
    using Entries = std::unordered_map<std::string, Entry>;

    // Puts a waiting path at the end of the current redraw's run, which
    // starts anew at the front after a gap.
    void placeInRedraw(Entries::iterator it, Clock::time_point now);
    // Takes a waiting path out of the order (not out of entries_).
    void unlink(Entry& entry);
    // Drops the waiting path asked for longest ago.
    void dropOldest(std::vector<std::string>& dropped);

    Entries entries_;
    // Most wanted first: the order in which they are sent.
    Order order_;
    // Asked longest ago first: the order in which they are dropped.
    Order byAge_;
    // The first path of the redraws before the current one: the current
    // redraw's asks go in front of it. order_.end() when there is none.
    Order::iterator redrawEnd_ = order_.end();
    Clock::time_point lastAsk_{};
    std::size_t sent_ = 0;
};

}  // namespace tarnwell

#endif  // TARNWELL_CORE_WANTED_QUERIES_H_
