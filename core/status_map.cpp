#include "core/status_map.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <utility>

namespace tarnwell {
namespace {

constexpr std::size_t kMinCapacity = 16;

// Splits "/a/b/c" into the folder "/a/b" and the name "/c". The name keeps
// its "/" so that a path without any (never canonical, but accepted) cannot
// meet one with: "x" is ("", "x") while "/x" is ("", "/x").
std::pair<std::string_view, std::string_view> split(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return {std::string_view(), path};
    }
    return {path.substr(0, slash), path.substr(slash)};
}

// A table for n entries that starts at most half full; set grows it again
// once live and deleted slots would pass three quarters.
std::size_t capacityFor(std::size_t n) {
    return std::bit_ceil(std::max(kMinCapacity, n * 2));
}

}  // namespace

StatusMap::StatusMap() : slots_(kMinCapacity, Slot{0, kEmpty, 0, 0}) {}

std::size_t StatusMap::hashOf(std::uint32_t folder, std::string_view name) {
    const std::size_t h = std::hash<std::string_view>()(name);
    return h ^ (static_cast<std::size_t>(folder) * 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2));
}

std::size_t StatusMap::probe(std::uint32_t folder, std::string_view name, bool& found) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hashOf(folder, name) & mask;
    std::size_t firstDeleted = slots_.size();
    for (;;) {
        const Slot& slot = slots_[i];
        if (slot.nameOffset == kEmpty) {
            found = false;
            return firstDeleted != slots_.size() ? firstDeleted : i;
        }
        if (slot.nameOffset == kDeleted) {
            if (firstDeleted == slots_.size()) {
                firstDeleted = i;
            }
        } else if (slot.folder == folder && slot.nameLength == name.size() &&
                   nameAt(slot) == name) {
            found = true;
            return i;
        }
        i = (i + 1) & mask;
    }
}

std::optional<std::int32_t> StatusMap::find(std::string_view path) const {
    const auto [folderPath, name] = split(path);
    const auto folder = folders_.find(folderPath);
    if (folder == folders_.end()) {
        return std::nullopt;
    }
    bool found = false;
    const std::size_t i = probe(folder->second, name, found);
    return found ? std::optional<std::int32_t>(slots_[i].status) : std::nullopt;
}

void StatusMap::set(std::string_view path, std::int32_t status) {
    const auto [folderPath, name] = split(path);
    const auto folder = folders_.find(folderPath);
    if (folder != folders_.end()) {
        bool found = false;
        const std::size_t i = probe(folder->second, name, found);
        if (found) {
            slots_[i].status = status;
            return;
        }
    }
    // A new entry. Grow first: a rebuild renumbers the folders and moves the
    // slots.
    if ((live_ + deleted_ + 1) * 4 > slots_.size() * 3) {
        rebuild(capacityFor(live_ + 1));
    }
    insert(folderIdFor(folderPath), name, status);
}

std::uint32_t StatusMap::folderIdFor(std::string_view folderPath) {
    auto folder = folders_.find(folderPath);
    if (folder == folders_.end()) {
        const auto id = static_cast<std::uint32_t>(folderPaths_.size());
        folder = folders_.emplace(std::string(folderPath), id).first;
        folderPaths_.push_back(&folder->first);
    }
    return folder->second;
}

void StatusMap::insert(std::uint32_t folder, std::string_view name, std::int32_t status) {
    bool found = false;
    const std::size_t i = probe(folder, name, found);
    if (slots_[i].nameOffset == kDeleted) {
        --deleted_;
    }
    slots_[i] = Slot{folder, static_cast<std::uint32_t>(names_.size()),
                     static_cast<std::uint32_t>(name.size()), status};
    names_.append(name);
    ++live_;
}

bool StatusMap::erase(std::string_view path) {
    const auto [folderPath, name] = split(path);
    const auto folder = folders_.find(folderPath);
    if (folder == folders_.end()) {
        return false;
    }
    bool found = false;
    const std::size_t i = probe(folder->second, name, found);
    if (!found) {
        return false;
    }
    eraseSlot(i);
    compactIfMostlyGarbage();
    return true;
}

void StatusMap::eraseSlot(std::size_t i) {
    garbageBytes_ += slots_[i].nameLength;
    slots_[i].nameOffset = kDeleted;
    ++deleted_;
    --live_;
}

void StatusMap::compactIfMostlyGarbage() {
    // Give the arena back once most of it is garbage; folders left without
    // entries go with the same rebuild, which keeps only the folders of live
    // slots.
    if (garbageBytes_ > std::size_t{64} * 1024 && garbageBytes_ > names_.size() / 2) {
        rebuild(capacityFor(live_));
    }
}

void StatusMap::clear() {
    std::vector<Slot>(kMinCapacity, Slot{0, kEmpty, 0, 0}).swap(slots_);
    std::string().swap(names_);
    folders_.clear();
    folders_.rehash(0);
    std::vector<const std::string*>().swap(folderPaths_);
    live_ = deleted_ = garbageBytes_ = 0;
}

void StatusMap::rebuild(std::size_t capacity) {
    std::vector<Slot> oldSlots(capacity, Slot{0, kEmpty, 0, 0});
    oldSlots.swap(slots_);
    std::string oldNames;
    oldNames.reserve(names_.size() - garbageBytes_);
    oldNames.swap(names_);
    auto oldFolders = std::move(folders_);
    auto oldPaths = std::move(folderPaths_);
    folders_ = {};
    folderPaths_ = {};
    live_ = deleted_ = garbageBytes_ = 0;

    for (const Slot& slot : oldSlots) {
        if (slot.nameOffset == kEmpty || slot.nameOffset == kDeleted) {
            continue;
        }
        const std::string_view name(oldNames.data() + slot.nameOffset, slot.nameLength);
        insert(folderIdFor(*oldPaths[slot.folder]), name, slot.status);
    }
}

}  // namespace tarnwell
