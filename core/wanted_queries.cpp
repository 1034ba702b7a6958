#include "core/wanted_queries.h"

#include "node_bytes.h"

namespace tarnwell {

void WantedQueries::ask(const std::string& path, bool changed, Clock::time_point now,
                        std::vector<std::string>& dropped) {
    const auto [it, added] = entries_.try_emplace(path);
    Entry& entry = it->second;
    if (entry.sent) {
        // Its reply is on the way; only a change since makes it stale.
        entry.askAgain = entry.askAgain || changed;
        return;
    }
    if (!added) {
        unlink(entry);
    }
    entry.asked = now;
    entry.age = byAge_.insert(byAge_.end(), &*it);
    placeInRedraw(it, now);
    if (order_.size() > kCapacity) {
        dropOldest(dropped);
    }
}

void WantedQueries::placeInRedraw(Entries::iterator it, Clock::time_point now) {
    // A gap since the last ask starts a new redraw, whose asks go ahead of
    // every earlier one.
    if (now - lastAsk_ >= kRedrawGap) {
        redrawEnd_ = order_.begin();
    }
    lastAsk_ = now;
    it->second.position = order_.insert(redrawEnd_, &*it);
}

void WantedQueries::unlink(Entry& entry) {
    if (entry.position == redrawEnd_) {
        redrawEnd_ = std::next(redrawEnd_);
    }
    order_.erase(entry.position);
    byAge_.erase(entry.age);
}

void WantedQueries::dropOldest(std::vector<std::string>& dropped) {
    auto* element = byAge_.front();
    unlink(element->second);
    dropped.push_back(element->first);
    entries_.erase(dropped.back());
}

void WantedQueries::dropExpired(Clock::time_point now, std::vector<std::string>& dropped) {
    while (!byAge_.empty() && now - byAge_.front()->second.asked >= kLifetime) {
        dropOldest(dropped);
    }
}

void WantedQueries::takeToSend(std::vector<std::string>& toSend) {
    while (sent_ < kWindow && !order_.empty()) {
        auto* element = order_.front();
        unlink(element->second);
        element->second.sent = true;
        ++sent_;
        toSend.push_back(element->first);
    }
}

bool WantedQueries::finish(const std::string& path) {
    const auto it = entries_.find(path);
    // After a clear the path may be unknown, or waiting on a new ask that
    // this reply does not end.
    if (it == entries_.end() || !it->second.sent) {
        return false;
    }
    const bool again = it->second.askAgain;
    entries_.erase(it);
    --sent_;
    return again;
}

void WantedQueries::clear() {
    order_.clear();
    byAge_.clear();
    entries_.clear();
    redrawEnd_ = order_.end();
    sent_ = 0;
}

std::size_t WantedQueries::memoryBytes() const {
    // Each list node holds a pointer to its element of entries_.
    return node_bytes::stringKeyedMap(entries_) +
           (order_.size() + byAge_.size()) * node_bytes::listNode(sizeof(void*));
}

}  // namespace tarnwell
