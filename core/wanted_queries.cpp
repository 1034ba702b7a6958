#include "core/wanted_queries.h"

#include <algorithm>

#include "node_bytes.h"

namespace tarnwell {

void WantedQueries::ask(const std::string& path, Priority priority, Clock::time_point now,
                        std::vector<std::string>& dropped) {
    const auto [it, added] = entries_.try_emplace(path);
    Node* node = &*it;
    Entry& entry = it->second;
    if (priority == Priority::Listed && !added) {
        return;  // any other reason to know the path is a stronger one
    }
    const bool changed = priority != Priority::Drawn && priority != Priority::Listed;
    if (changed) {
        lastChange_ = now;
    }
    if (!added) {
        if (entry.state == kSent) {
            // Its reply is on the way; only a change since makes it stale.
            entry.askAgain = entry.askAgain || changed;
            entry.priority = std::min(entry.priority, priority);
            return;
        }
        if (entry.state == kUnansweredState || entry.state == kHeldState) {
            if (entry.state == kUnansweredState && stillUnanswered(entry, priority, now)) {
                return;
            }
            // A held answer stays shown while the path is asked again.
            entry.holdsAnswer = entry.state == kHeldState;
            leaveRestingList(node);
        } else {
            // Waiting already: a draw moves it ahead with the new redraw, a
            // higher kind lifts it; the same change told again changes nothing.
            if (priority > entry.priority || (changed && priority == entry.priority)) {
                return;
            }
            unlinkWaiting(node);
        }
    }
    entry.state = kWaiting;
    entry.priority = priority;
    entry.asked = now;
    place(node, now);
    if (waiting() > kCapacity) {
        dropLeastWanted(dropped);
    }
}

WantedQueries::WantedQueries() {
    // Waiting, unanswered and held paths, kCapacity each at most (and the
    // window's few sent ones). Up to four to a bucket keeps the bucket array
    // at about 400 KiB; a chain that long comes only near the bound, while
    // a big sync is announced.
    constexpr float kPathsPerBucket = 4;
    entries_.max_load_factor(kPathsPerBucket);
    entries_.reserve(3 * kCapacity + kWindow);
}

void WantedQueries::leaveRestingList(Node* node) {
    unlink(lists_[node->second.state == kHeldState ? kHeld : kUnanswered], &Entry::order, node);
}

bool WantedQueries::stillUnanswered(const Entry& entry, Priority priority,
                                    Clock::time_point now) const {
    return priority == Priority::Drawn && now - entry.asked < kUnansweredPause;
}

void WantedQueries::place(Node* node, Clock::time_point now) {
    if (node->second.priority == Priority::Drawn) {
        placeInRedraw(node, now);
    } else {
        linkWaiting(node, nullptr);
    }
}

void WantedQueries::placeInRedraw(Node* node, Clock::time_point now) {
    // A gap since the last draw starts a new redraw, whose asks go ahead of
    // every earlier one.
    if (now - lastDraw_ >= kRedrawGap) {
        redrawEnd_ = lists_[listOf(Priority::Drawn)].head;
    }
    lastDraw_ = now;
    linkWaiting(node, redrawEnd_);
}

void WantedQueries::link(List& l, Links Entry::*links, Node* node, Node* before) {
    Links& own = node->second.*links;
    own.next = before;
    own.prev = before != nullptr ? (before->second.*links).prev : l.tail;
    (own.prev != nullptr ? (own.prev->second.*links).next : l.head) = node;
    (before != nullptr ? (before->second.*links).prev : l.tail) = node;
    ++l.size;
}

void WantedQueries::unlink(List& l, Links Entry::*links, Node* node) {
    Links& own = node->second.*links;
    (own.prev != nullptr ? (own.prev->second.*links).next : l.head) = own.next;
    (own.next != nullptr ? (own.next->second.*links).prev : l.tail) = own.prev;
    own = Links{};
    --l.size;
}

void WantedQueries::linkWaiting(Node* node, Node* before) {
    const std::size_t list = listOf(node->second.priority);
    link(lists_[list], &Entry::order, node, before);
    link(ages_[list], &Entry::age, node, nullptr);
}

void WantedQueries::unlinkWaiting(Node* node) {
    if (node == redrawEnd_) {
        redrawEnd_ = node->second.order.next;
    }
    const std::size_t list = listOf(node->second.priority);
    unlink(lists_[list], &Entry::order, node);
    unlink(ages_[list], &Entry::age, node);
}

void WantedQueries::dropWaiting(Node* node, std::vector<std::string>& dropped) {
    unlinkWaiting(node);
    dropped.push_back(node->first);
    entries_.erase(entries_.find(node->first));
}

void WantedQueries::dropLeastWanted(std::vector<std::string>& dropped) {
    for (std::size_t list = kPriorities; list-- > 0;) {
        if (Node* node = oldestOf(list)) {
            dropWaiting(node, dropped);
            return;
        }
    }
}

void WantedQueries::dropExpired(Clock::time_point now, std::vector<std::string>& dropped) {
    for (std::size_t list = 0; list < kPriorities; ++list) {
        for (Node* node = oldestOf(list); node != nullptr && now - node->second.asked >= kLifetime;
             node = oldestOf(list)) {
            dropWaiting(node, dropped);
        }
    }
    List& unanswered = lists_[kUnanswered];
    while (unanswered.head != nullptr && (now - unanswered.head->second.asked >= kUnansweredPause ||
                                          unanswered.size > kCapacity)) {
        Node* node = unanswered.head;
        unlink(unanswered, &Entry::order, node);
        entries_.erase(entries_.find(node->first));
    }
    List& held = lists_[kHeld];
    while (held.size > kCapacity) {
        Node* node = held.head;
        unlink(held, &Entry::order, node);
        entries_.erase(entries_.find(node->first));
    }
}

void WantedQueries::takeToSend(std::vector<std::string>& toSend, Clock::time_point now,
                               bool paused) {
    sendOverdueChanges(toSend, now);
    const bool unseenToo = paused || now - lastChange_ >= kChangesPause;
    const std::size_t lists = unseenToo ? kPriorities : listOf(Priority::Unseen);
    for (std::size_t list = 0; list < lists && sent_ < kWindow;) {
        Node* node = lists_[list].head;
        if (node == nullptr) {
            ++list;
            continue;
        }
        send(node, toSend);
    }
}

void WantedQueries::drawnWithOldStatus(const std::string& path, Clock::time_point now) {
    const auto it = entries_.find(path);
    if (it == entries_.end() || it->second.state != kWaiting ||
        it->second.priority <= Priority::ChangedDrawn) {
        return;
    }
    Node* node = &*it;
    unlinkWaiting(node);
    node->second.priority = Priority::ChangedDrawn;
    node->second.asked = now;
    linkWaiting(node, nullptr);
}

void WantedQueries::sendOverdueChanges(std::vector<std::string>& toSend, Clock::time_point now) {
    // The age list holds them by their last ask, oldest first: the first one
    // not overdue ends the walk.
    const std::size_t list = listOf(Priority::ChangedDrawn);
    for (Node* node = oldestOf(list);
         node != nullptr && sent_ < kWindow && now - node->second.asked >= kChangedDrawnWait;
         node = oldestOf(list)) {
        send(node, toSend);
    }
}

void WantedQueries::send(Node* node, std::vector<std::string>& toSend) {
    unlinkWaiting(node);
    node->second.state = kSent;
    link(lists_[kSentList], &Entry::order, node, nullptr);
    ++sent_;
    toSend.push_back(node->first);
}

void WantedQueries::finish(const std::string& path, std::optional<std::int32_t> status,
                           bool stored, Clock::time_point now) {
    const auto it = entries_.find(path);
    // After a clear the path may be unknown, or waiting on a new ask that
    // this reply does not end.
    if (it == entries_.end() || it->second.state != kSent) {
        return;
    }
    --sent_;
    Node* node = &*it;
    unlink(lists_[kSentList], &Entry::order, node);
    Entry& entry = it->second;
    entry.asked = now;
    // Held with the path while it is asked again, when the cache did not
    // take it: shown meanwhile, as a known path's old status is.
    entry.holdsAnswer = status && !stored;
    entry.answer = status.value_or(0);
    if (entry.askAgain) {
        // The status just answered may predate the change: it stays visible
        // while the path is asked once more, ahead of the others of its kind.
        entry.askAgain = false;
        entry.state = kWaiting;
        linkWaiting(node, lists_[listOf(entry.priority)].head);
        return;
    }
    entry.holdsAnswer = false;
    if (!status) {
        entry.state = kUnansweredState;
        link(lists_[kUnanswered], &Entry::order, node, nullptr);
        return;
    }
    if (!stored) {
        entry.state = kHeldState;
        link(lists_[kHeld], &Entry::order, node, nullptr);
        return;
    }
    entries_.erase(it);
}

std::optional<std::int32_t> WantedQueries::heldAnswer(const std::string& path) const {
    const auto it = entries_.find(path);
    if (it == entries_.end() || it->second.state != kHeldState) {
        return std::nullopt;
    }
    return it->second.answer;
}

std::optional<std::int32_t> WantedQueries::heldWhileAskedAgain(const std::string& path) const {
    const auto it = entries_.find(path);
    if (it == entries_.end() || !it->second.holdsAnswer) {
        return std::nullopt;
    }
    return it->second.answer;
}

std::optional<std::int32_t> WantedQueries::takeHeldAnswer(const std::string& path) {
    const auto it = entries_.find(path);
    if (it == entries_.end() || it->second.state != kHeldState) {
        return std::nullopt;
    }
    const std::int32_t answer = it->second.answer;
    unlink(lists_[kHeld], &Entry::order, &*it);
    entries_.erase(it);
    return answer;
}

bool WantedQueries::keepsReply(const std::string& path) const {
    const auto it = entries_.find(path);
    return it == entries_.end() || it->second.state != kSent ||
           it->second.priority < Priority::Listed;
}

void WantedQueries::distrustAnswersOnTheWay() {
    for (Node* node = lists_[kSentList].head; node != nullptr; node = node->second.order.next) {
        node->second.askAgain = true;
    }
    forgetUnanswered();
    // A held answer may be as stale as any status.
    while (Node* node = lists_[kHeld].head) {
        unlink(lists_[kHeld], &Entry::order, node);
        entries_.erase(entries_.find(node->first));
    }
}

void WantedQueries::forgetUnanswered() {
    while (Node* node = lists_[kUnanswered].head) {
        unlink(lists_[kUnanswered], &Entry::order, node);
        entries_.erase(entries_.find(node->first));
    }
}

bool WantedQueries::contains(const std::string& path) const {
    const auto it = entries_.find(path);
    return it != entries_.end() && (it->second.state == kWaiting || it->second.state == kSent);
}

std::size_t WantedQueries::waiting() const {
    std::size_t count = 0;
    for (std::size_t list = 0; list < kPriorities; ++list) {
        count += lists_[list].size;
    }
    return count;
}

void WantedQueries::clear() {
    entries_.clear();
    lists_ = {};
    ages_ = {};
    redrawEnd_ = nullptr;
    sent_ = 0;
}

void WantedQueries::clear(WantedQueries& spare) {
    // The swap moves no node, and spare's lists stay empty: destroying it
    // frees the nodes, and nothing else points at them. Its buckets were
    // reserved for the whole bound, as this one's must be; clearing the
    // empty map that comes back costs nothing.
    entries_.swap(spare.entries_);
    clear();
}

std::size_t WantedQueries::memoryBytes() const {
    return node_bytes::stringKeyedMap(entries_);
}

}  // namespace tarnwell
