// The reader-writer lock whose readers count on lines of their own: readers
// on several threads against a writer, as the host's threads against the
// channel's worker.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "support/test_support.h"

namespace tarnwell {
namespace {

// Two values a store changes together; a reader must see both old or both new.
struct Pair {
    SharedMutex mutex;
    long first TARNWELL_GUARDED_BY(mutex) = 0;
    long second TARNWELL_GUARDED_BY(mutex) = 0;
};

TEST(SharedMutex, ReadersNeverSeeAStoreHalfDoneAndCannotHoldAWriterOff) {
    Pair pair;
    std::atomic<bool> stop{false};
    std::atomic<long> torn{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                ReaderLock lock(pair.mutex);
                if (pair.first != pair.second) {
                    ++torn;
                }
                ++reads;
            }
        });
    }
    // Readers that never pause must still let every store through.
    ASSERT_TRUE(test::waitUntil([&] { return reads.load() > 1000; }));
    constexpr long kStores = 2000;
    for (long i = 1; i <= kStores; ++i) {
        WriterLock lock(pair.mutex);
        pair.first = i;
        std::this_thread::yield();  // widen the window a reader could slip into
        pair.second = i;
    }
    stop = true;
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(torn.load(), 0);
    ReaderLock lock(pair.mutex);
    EXPECT_EQ(pair.second, kStores);
}

// try_lock is for a thread that must never wait (the host's): it takes only
// a lock nobody holds, and a try that fails must leave nothing behind, or the
// readers behind its raised flag, or the next writer, wait for good.
TEST(SharedMutex, TryLockTakesOnlyAFreeLockAndAFailedTryHoldsNobodyOff) {
    SharedMutex mutex;
    std::mutex gateMutex;
    std::unique_lock<std::mutex> gate(gateMutex);
    std::atomic<bool> holding{false};
    std::thread holder([&] {
        ReaderLock lock(mutex);
        holding = true;
        std::lock_guard<std::mutex> wait(gateMutex);
    });
    ASSERT_TRUE(test::waitUntil([&] { return holding.load(); }));
    const bool takenFromAReader = mutex.try_lock();
    if (takenFromAReader) {
        mutex.unlock();
    }
    EXPECT_FALSE(takenFromAReader);
    // Another reader still gets in beside the first.
    std::atomic<bool> read{false};
    std::thread reader([&] {
        ReaderLock lock(mutex);
        read = true;
    });
    const bool readBeside = test::waitUntil([&] { return read.load(); });
    EXPECT_TRUE(readBeside) << "a failed try_lock held the readers off";
    gate.unlock();
    holder.join();
    if (!readBeside) {
        // A store lowers the flag again and lets the stuck reader end.
        WriterLock lock(mutex);
    }
    reader.join();
    // Free again: taken; meanwhile a reader waits (the slow path) and gets in
    // once it is given back.
    const bool taken = mutex.try_lock();
    EXPECT_TRUE(taken);
    if (taken) {
        std::atomic<bool> readWhileHeld{false};
        std::atomic<bool> secondTry{true};
        std::atomic<bool> tried{false};
        std::thread waiting([&] {
            secondTry = mutex.try_lock();
            tried = true;
            ReaderLock lock(mutex);
            readWhileHeld = true;
        });
        EXPECT_TRUE(test::waitUntil([&] { return tried.load(); }));
        EXPECT_FALSE(readWhileHeld.load());
        mutex.unlock();
        EXPECT_TRUE(test::waitUntil([&] { return readWhileHeld.load(); }));
        waiting.join();
        EXPECT_FALSE(secondTry.load());
    }
}

// Eight words a store sets one by one; a reader must find them all equal.
struct Words {
    SharedMutex mutex;
    std::array<long, 8> words TARNWELL_GUARDED_BY(mutex){};
};

void pinToCpu(std::thread& thread, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(thread.native_handle(), sizeof set, &set);
}

void pauseFor(std::chrono::microseconds span) {
    const timespec wait{0, static_cast<long>(span.count() * 1000)};
    ::nanosleep(&wait, nullptr);
}

// A reader that looks at the writer's flag before it counts itself in, and
// not after, can slip in between: it saw no writer, then the writer saw no
// reader, and it reads a store half done. That gap is a few instructions
// wide, and a busy machine rarely stops a reader inside it. Signals do, often
// and at random points, on every CPU: their handler holds the reader for a
// while, as a preemption would, and the writer pauses in the middle of each
// store, so that a reader held inside the gap resumes while the store is
// half done. Stores go on until a reader saw a torn one or the budget is
// spent; the budget bounds the run, nothing is timed.
TEST(SharedMutex, ReadersStoppedAnywhereNeverSeeAStoreHalfDone) {
    struct sigaction hold {};
    hold.sa_handler = [](int) { pauseFor(std::chrono::microseconds(100)); };
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &hold, &previous), 0);
    Words shared;
    const int cpus = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    const int readerCount = 2 * cpus;
    std::atomic<bool> stop{false};
    std::atomic<long> torn{0};
    std::atomic<int> started{0};
    std::vector<std::atomic<pid_t>> tids(static_cast<std::size_t>(readerCount));
    std::vector<std::thread> readers;
    for (int i = 0; i < readerCount; ++i) {
        readers.emplace_back([&, i] {
            tids[static_cast<std::size_t>(i)] = static_cast<pid_t>(::syscall(SYS_gettid));
            ++started;
            while (!stop.load(std::memory_order_relaxed)) {
                ReaderLock lock(shared.mutex);
                const long first = shared.words[0];
                for (const long word : shared.words) {
                    if (word != first) {
                        torn.fetch_add(1, std::memory_order_relaxed);
                    }
                }
            }
        });
        pinToCpu(readers.back(), i % cpus);
    }
    ASSERT_TRUE(test::waitUntil([&] { return started.load() == readerCount; }));
    std::thread signaller([&] {
        for (std::size_t i = 0; !stop.load(); i = (i + 1) % tids.size()) {
            ::syscall(SYS_tgkill, ::getpid(), tids[i].load(), SIGUSR1);
            pauseFor(std::chrono::microseconds(20));
        }
    });
    const auto budget = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    long stores = 0;
    while (torn.load() == 0 && std::chrono::steady_clock::now() < budget) {
        {
            WriterLock lock(shared.mutex);
            ++stores;
            for (std::size_t i = 0; i < shared.words.size(); ++i) {
                shared.words[i] = stores;
                if (i == shared.words.size() / 2) {
                    pauseFor(std::chrono::microseconds(100));
                }
            }
        }
        // Readers get in between stores too: only they can be caught in
        // the gap.
        pauseFor(std::chrono::microseconds(100));
    }
    stop = true;
    signaller.join();
    for (auto& reader : readers) {
        reader.join();
    }
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(torn.load(), 0) << "after " << stores << " stores";
}

}  // namespace
}  // namespace tarnwell
