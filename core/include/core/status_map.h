// A compact map from canonical path to status for the core's status cache.
//
// The cache never evicts, so its size per path is what the file manager pays
// for every file ever shown in a sync folder. A node-based hash map of strings
// costs about 156 bytes per 60-byte path; this one stores each folder's path
// once, each entry's last segment in one shared byte arena, and the entries in
// one open-addressing table of 16-byte slots, for roughly 40 to 80 bytes per
// path.
//
// Thread safety: none. The core guards it with its status mutex; the const
// operations never modify anything, so any number of readers may call them
// at once.
#ifndef TARNWELL_CORE_STATUS_MAP_H_
#define TARNWELL_CORE_STATUS_MAP_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarnwell {

class StatusMap {
public:
    StatusMap();

    std::optional<std::int32_t> find(std::string_view path) const;
    // Inserts or overwrites.
    void set(std::string_view path, std::int32_t status);
    // True when there was an entry.
    bool erase(std::string_view path);
    // Keeps the entries for whose path `keep` returns true and erases the
    // rest, in one walk over the table.
    template <typename Keep>
    void retainIf(Keep keep);
    // Calls `visit` with every path, in one walk over the table.
    template <typename Visit>
    void forEachPath(Visit visit) const;
    void clear();

    std::size_t size() const { return live_; }

private:
    struct Slot {
        std::uint32_t folder;
        std::uint32_t nameOffset;  // kEmpty, kDeleted or an offset into names_
        std::uint32_t nameLength;
        std::int32_t status;
    };
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    static constexpr std::uint32_t kDeleted = 0xFFFFFFFEu;

    struct FolderHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const {
            return std::hash<std::string_view>()(s);
        }
    };
    static std::size_t hashOf(std::uint32_t folder, std::string_view name);
    // The slot holding (folder, name), or the one where it would go; the
    // table always has an empty slot, so probing ends.
    std::size_t probe(std::uint32_t folder, std::string_view name, bool& found) const;
    std::string_view nameAt(const Slot& slot) const {
        return std::string_view(names_.data() + slot.nameOffset, slot.nameLength);
    }
    // The id of the folder, a new one when it has none yet. May rehash
    // folders_, never moves the slots.
    std::uint32_t folderIdFor(std::string_view folderPath);
    // Puts (folder, name) into a free slot; the table has room, and the pair
    // is not in it.
    void insert(std::uint32_t folder, std::string_view name, std::int32_t status);
    // Rebuilds the table (and the arena, without the names of erased entries)
    // with room for `capacity` slots.
    void rebuild(std::size_t capacity);
    // Marks slot i erased, and gives the arena back once most of it is
    // garbage.
    void eraseSlot(std::size_t i);
    void compactIfMostlyGarbage();

    std::vector<Slot> slots_;  // size is a power of two
    std::string names_;        // every live entry's last segment, plus garbage
    std::size_t live_ = 0;
    std::size_t deleted_ = 0;       // kDeleted slots
    std::size_t garbageBytes_ = 0;  // bytes in names_ no live slot points to
    // Folder path -> its id, for the folders of live slots (and, until the
    // next rebuild, of erased ones).
    std::unordered_map<std::string, std::uint32_t, FolderHash, std::equal_to<>> folders_;
    std::vector<const std::string*> folderPaths_;  // by id; points into folders_ keys
};

template <typename Keep>
void StatusMap::retainIf(Keep keep) {
    std::string path;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const Slot& slot = slots_[i];
        if (slot.nameOffset == kEmpty || slot.nameOffset == kDeleted) {
            continue;
        }
        path.assign(*folderPaths_[slot.folder]);
        path.append(nameAt(slot));
        if (!keep(std::string_view(path))) {
            eraseSlot(i);
        }
    }
    // Erasing marks slots only, so the walk sees every slot once; the arena
    // is compacted after it.
    compactIfMostlyGarbage();
}

template <typename Visit>
void StatusMap::forEachPath(Visit visit) const {
    std::string path;
    for (const Slot& slot : slots_) {
        if (slot.nameOffset == kEmpty || slot.nameOffset == kDeleted) {
            continue;
        }
        path.assign(*folderPaths_[slot.folder]);
        path.append(nameAt(slot));
        visit(std::string_view(path));
    }
}

}  // namespace tarnwell

#endif  // TARNWELL_CORE_STATUS_MAP_H_
