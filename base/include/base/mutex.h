// Mutexes and locks that carry thread-safety annotations, so that clang's
// -Wthread-safety can check the members they guard. Mutex costs nothing over
// the std::mutex it wraps; SharedMutex is a reader-writer lock of our own,
// made for readers on several cores at once.
//
// Waiting on a condition: MutexLock::wait* take a std::condition_variable and
// wait on the lock's own std::unique_lock, so the mutex is released while
// waiting and held again on return, as the analysis assumes. Write the
// predicate as a loop in the caller (`while (!ready_) lock.wait(cv);`) or as a
// lambda marked TARNWELL_REQUIRES(mutex_): the analysis treats a lambda body
// as a function of its own that holds no lock.
//
// Thread safety: a Mutex or SharedMutex is shared between threads; a lock
// object belongs to the thread that made it.
#ifndef TARNWELL_BASE_MUTEX_H_
#define TARNWELL_BASE_MUTEX_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/thread_annotations.h"

namespace tarnwell {

class TARNWELL_CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() TARNWELL_ACQUIRE() { mutex_.lock(); }
    void unlock() TARNWELL_RELEASE() { mutex_.unlock(); }
    bool try_lock() TARNWELL_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

    // Tells the analysis that the caller holds this mutex where it cannot see
    // it (a callback the holder runs). Checks nothing at run time.
    void assertHeld() const TARNWELL_ASSERT_CAPABILITY(this) {}

private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds a Mutex from construction to destruction. unlock() and lock() drop
// and retake it in between, for work that must run without it (a callback
// that may take the lock itself); the destructor releases it only if held.
class TARNWELL_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) TARNWELL_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() TARNWELL_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() TARNWELL_RELEASE() { lock_.unlock(); }
    void lock() TARNWELL_ACQUIRE() { lock_.lock(); }

    // Releases the mutex until `condition` is notified (or wakes spuriously),
    // and holds it again on return.
    void wait(std::condition_variable& condition) { condition.wait(lock_); }
    template <typename Predicate>
    void wait(std::condition_variable& condition, Predicate ready) {
        condition.wait(lock_, ready);
    }
    // As wait, up to `deadline`; false when it passed.
    template <typename Clock, typename Duration>
    bool waitUntil(std::condition_variable& condition,
                   const std::chrono::time_point<Clock, Duration>& deadline) {
        return condition.wait_until(lock_, deadline) == std::cv_status::no_timeout;
    }
    // Waits until `ready()` or `deadline`; returns ready().
    template <typename Clock, typename Duration, typename Predicate>
    bool waitUntil(std::condition_variable& condition,
                   const std::chrono::time_point<Clock, Duration>& deadline, Predicate ready) {
        return condition.wait_until(lock_, deadline, ready);
    }
    // Waits until `ready()` or `timeout` passed; returns ready().
    template <typename Rep, typename Period, typename Predicate>
    bool waitFor(std::condition_variable& condition,
                 const std::chrono::duration<Rep, Period>& timeout, Predicate ready) {
        return condition.wait_for(lock_, timeout, ready);
    }

private:
    std::unique_lock<std::mutex> lock_;
};

// A reader-writer mutex for data that many threads read at once and few
// write: many readers or one writer. A reader writes only a counter of its
// own CPU, on a cache line of its own; a lock whose readers all count on one
// line (std::shared_mutex) moves that line between the cores at every lock
// and unlock, which costs more than the short lookups it guards.
//
// A writer takes writerMutex_ (one writer at a time), raises writerActive_
// and waits until every CPU's count is zero; a reader counts itself in, then
// looks at writerActive_, and backs out and waits while it is raised. Both
// orders are sequentially consistent, so a reader and a writer that meet see
// each other: either the reader sees the flag, or the writer sees the count.
// Writers are preferred: a stream of readers cannot hold one off.
//
// A reader must not take the lock again while it holds it (a writer waiting
// in between would wait for it forever), and a holder must not take it as a
// writer. No condition variable waits on it; a wait needs a Mutex.
class TARNWELL_CAPABILITY("shared mutex") SharedMutex {
public:
    SharedMutex();
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;
    ~SharedMutex();

    void lock() TARNWELL_ACQUIRE();
    void unlock() TARNWELL_RELEASE();
    // Returns the counter the reader counted itself in; unlock_shared takes it
    // (the thread may run on another CPU by then).
    std::size_t lock_shared() TARNWELL_ACQUIRE_SHARED() {
        const std::size_t slot = currentSlot();
        if (tryCountIn(slot)) {
            return slot;
        }
        return lockSharedSlow();
    }
    void unlock_shared(std::size_t slot) TARNWELL_RELEASE_SHARED() {
        readers_[slot].count.fetch_sub(1, std::memory_order_release);
    }

    void assertHeld() const TARNWELL_ASSERT_CAPABILITY(this) {}

private:
    // One CPU's readers (or several CPUs', past kMaxSlots), alone on its line.
    struct alignas(64) Slot {
        std::atomic<std::uint32_t> count{0};
    };
    // Enough for the CPUs of a desktop; more CPUs share slots, which costs
    // only when two of them read at the same moment. A writer looks at every
    // slot, so more would make each store dearer.
    static constexpr std::size_t kMaxSlots = 64;

    std::size_t currentSlot() const;
    bool tryCountIn(std::size_t slot) {
        readers_[slot].count.fetch_add(1, std::memory_order_seq_cst);
        if (!writerActive_.load(std::memory_order_seq_cst)) {
            return true;
        }
        readers_[slot].count.fetch_sub(1, std::memory_order_release);
        return false;
    }
    // Waits for the writer, then counts in.
    std::size_t lockSharedSlow();

    // Readers only read these in the object itself, and only writers write
    // them, so they may share a line: a reader's writes go to readers_.
    const std::size_t slotMask_;             // slot count - 1, a power of two
    const std::unique_ptr<Slot[]> readers_;  // written by readers, read by writers
    std::atomic<bool> writerActive_;         // written by writers only
    std::mutex writerMutex_;                 // held by the writer from lock to unlock
};

// Holds a SharedMutex shared (reading) from construction to destruction.
class TARNWELL_SCOPED_CAPABILITY ReaderLock {
public:
    explicit ReaderLock(SharedMutex& mutex) TARNWELL_ACQUIRE_SHARED(mutex)
        : mutex_(mutex), slot_(mutex_.lock_shared()) {}
    ~ReaderLock() TARNWELL_RELEASE() { mutex_.unlock_shared(slot_); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

private:
    SharedMutex& mutex_;
    const std::size_t slot_;
};

// Holds a SharedMutex exclusively (writing) from construction to destruction.
class TARNWELL_SCOPED_CAPABILITY WriterLock {
public:
    explicit WriterLock(SharedMutex& mutex) TARNWELL_ACQUIRE(mutex) : mutex_(mutex) {
        mutex_.lock();
    }
    ~WriterLock() TARNWELL_RELEASE() { mutex_.unlock(); }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

private:
    SharedMutex& mutex_;
};

}  // namespace tarnwell

#endif  // TARNWELL_BASE_MUTEX_H_
