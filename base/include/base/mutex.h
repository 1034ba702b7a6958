// Mutexes and locks that carry thread-safety annotations, so that clang's
// -Wthread-safety can check the members they guard. They cost nothing over
// std::mutex and std::shared_mutex, which they wrap.
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

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

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
    bool waitFor(std::condition_variable& condition, const std::chrono::duration<Rep, Period>& timeout,
                 Predicate ready) {
        return condition.wait_for(lock_, timeout, ready);
    }

private:
    std::unique_lock<std::mutex> lock_;
};

// A reader-writer mutex: many readers or one writer. No condition variable
// waits on it; a wait needs a Mutex.
class TARNWELL_CAPABILITY("shared mutex") SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock() TARNWELL_ACQUIRE() { mutex_.lock(); }
    void unlock() TARNWELL_RELEASE() { mutex_.unlock(); }
    void lock_shared() TARNWELL_ACQUIRE_SHARED() { mutex_.lock_shared(); }
    void unlock_shared() TARNWELL_RELEASE_SHARED() { mutex_.unlock_shared(); }

    void assertHeld() const TARNWELL_ASSERT_CAPABILITY(this) {}

private:
    std::shared_mutex mutex_;
};

// Holds a SharedMutex shared (reading) from construction to destruction.
class TARNWELL_SCOPED_CAPABILITY ReaderLock {
public:
    explicit ReaderLock(SharedMutex& mutex) TARNWELL_ACQUIRE_SHARED(mutex) : mutex_(mutex) {
        mutex_.lock_shared();
    }
    ~ReaderLock() TARNWELL_RELEASE() { mutex_.unlock_shared(); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

private:
    SharedMutex& mutex_;
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
