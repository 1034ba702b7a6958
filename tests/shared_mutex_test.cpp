// The reader-writer lock whose readers count on lines of their own: readers
// on several threads against a writer, as the host's threads against the
// channel's worker.
#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
}  // namespace tarnwell
