// Estimates of the heap that node-based standard containers hold, for the
// memory figures of the wanted queries. They follow libstdc++'s layout and
// count the allocator's header in front of every block; they are estimates
// for benchmarks, never used for limits.
#ifndef TARNWELL_CORE_NODE_BYTES_H_
#define TARNWELL_CORE_NODE_BYTES_H_

#include <cstddef>
#include <string>

namespace tarnwell::node_bytes {

constexpr std::size_t kMallocHeader = sizeof(void*);

// A string's own block; short strings live inside the string itself.
inline std::size_t stringHeap(const std::string& text) {
    constexpr std::size_t kInlineCapacity = 15;
    return text.capacity() > kInlineCapacity ? text.capacity() + 1 + kMallocHeader : 0;
}

// One node of a doubly linked list holding `valueBytes` (its two links,
// the value, the allocator's header).
constexpr std::size_t listNode(std::size_t valueBytes) {
    return 2 * sizeof(void*) + valueBytes + kMallocHeader;
}

// An unordered map with string keys: its buckets, its nodes (next pointer,
// the key and value, the cached hash) and the keys' own blocks.
template <typename Map>
std::size_t stringKeyedMap(const Map& map) {
    constexpr std::size_t kNode =
        sizeof(void*) + sizeof(typename Map::value_type) + sizeof(std::size_t) + kMallocHeader;
    std::size_t bytes = map.bucket_count() * sizeof(void*) + map.size() * kNode;
    for (const auto& entry : map) {
        bytes += stringHeap(entry.first);
    }
    return bytes;
}

}  // namespace tarnwell::node_bytes

#endif  // TARNWELL_CORE_NODE_BYTES_H_
