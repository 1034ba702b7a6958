// A fixed-size ring of the last N items: the timelines of a chaos run keep
// only the recent past, so that their memory stays flat over an hour.
//
// Thread safety: none; the owner guards it.
#ifndef TARNWELL_TOOLS_CHAOS_RING_H_
#define TARNWELL_TOOLS_CHAOS_RING_H_

#include <array>
#include <cstddef>

namespace tarnwell::chaos {

template <typename T, std::size_t N>
class Ring {
public:
    void push(T item) {
        items_[next_] = std::move(item);
        next_ = (next_ + 1) % N;
        if (size_ < N) {
            ++size_;
        }
    }
    std::size_t size() const { return size_; }
    bool full() const { return size_ == N; }
    // The i-th item, 0 the oldest kept.
    const T& at(std::size_t i) const { return items_[(next_ + N - size_ + i) % N]; }
    const T& newest() const { return at(size_ - 1); }

private:
    std::array<T, N> items_{};
    std::size_t next_ = 0;
    std::size_t size_ = 0;
};

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_RING_H_
