#include <sched.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <thread>

#include "base/mutex.h"

namespace tarnwell {
namespace {

// For a thread on a system that cannot tell its CPU: a slot picked by its id
// (not a thread-local counter: the plug-in keeps off thread-local storage).
// Threads that share one still get the right answer, only slower.
std::size_t threadSlot() {
    return std::hash<std::thread::id>()(std::this_thread::get_id());
}

// Spinning pays while the other side holds the lock for a lookup or a store;
// past that, the CPU goes to whoever holds it (perhaps on this very CPU).
void pauseWhileWaiting(unsigned& round) {
    constexpr unsigned kSpinRounds = 64;
    if (++round < kSpinRounds) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        return;
    }
    std::this_thread::yield();
}

std::size_t slotCount(std::size_t maxSlots) {
    const int cpus = ::get_nprocs_conf();
    return std::bit_ceil(std::clamp<std::size_t>(cpus > 0 ? cpus : 1, 1, maxSlots));
}

}  // namespace

SharedMutex::SharedMutex()
    : slotMask_(slotCount(kMaxSlots) - 1),
      readers_(std::make_unique<Slot[]>(slotMask_ + 1)),
      writerActive_(false) {}

SharedMutex::~SharedMutex() = default;

std::size_t SharedMutex::currentSlot() const {
    // glibc reads the CPU from the kernel's restartable-sequence area, with no
    // system call.
    const int cpu = ::sched_getcpu();
    return (cpu >= 0 ? static_cast<std::size_t>(cpu) : threadSlot()) & slotMask_;
}

void SharedMutex::lock() {
    writerMutex_.lock();
    writerActive_.store(true, std::memory_order_seq_cst);
    // Readers that counted in before they could see the flag finish their
    // lookups; later ones see it and stay out.
    for (std::size_t slot = 0; slot <= slotMask_; ++slot) {
        unsigned round = 0;
        while (readers_[slot].count.load(std::memory_order_seq_cst) != 0) {
            pauseWhileWaiting(round);
        }
    }
}

bool SharedMutex::try_lock() {
    if (!writerMutex_.try_lock()) {
        return false;
    }
    writerActive_.store(true, std::memory_order_seq_cst);
    for (std::size_t slot = 0; slot <= slotMask_; ++slot) {
        if (readers_[slot].count.load(std::memory_order_seq_cst) != 0) {
            // A reader that saw the flag meanwhile backed out and waits for
            // it to fall; it counts in again then.
            writerActive_.store(false, std::memory_order_seq_cst);
            writerMutex_.unlock();
            return false;
        }
    }
    return true;
}

void SharedMutex::unlock() {
    writerActive_.store(false, std::memory_order_seq_cst);
    writerMutex_.unlock();
}

std::size_t SharedMutex::lockSharedSlow() {
    for (;;) {
        // A store is short: spin for it first. A writer still there after
        // that may wait for a reader descheduled on this CPU, so block on the
        // writers' mutex until it is done.
        unsigned round = 0;
        while (writerActive_.load(std::memory_order_seq_cst) && round < 64) {
            pauseWhileWaiting(round);
        }
        if (writerActive_.load(std::memory_order_seq_cst)) {
            writerMutex_.lock();
            writerMutex_.unlock();
        }
        const std::size_t slot = currentSlot();
        if (tryCountIn(slot)) {
            return slot;
        }
    }
}

}  // namespace tarnwell
