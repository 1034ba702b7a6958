// Lists the folder of a file the host drew without a status, off the host's
// thread, and hands its entries to the core to be asked before the host asks
// about them.
//
// A file manager that keeps what it was told (the GTK ones) asks about every
// file of a folder it opens, one file a turn of its main loop. A status not
// held yet answers "no emblem"; when the daemon's answer comes the file
// manager must be told and asks a second time, which costs it about as much
// as the first time. The daemon answers faster than the file manager asks, so
// with the folder's entries asked as soon as its first file is drawn, most
// answers are held before their file is asked about, and are shown at the
// first ask.
//
// Bounded: at most kMaxEntries entries of a folder are read; a folder listed
// within kRelistAfter is not listed again (until forgetListed: the statuses
// its listing brought were forgotten); at most kQueued folders wait, the
// oldest dropped. The core bounds what it asks (WantedQueries).
//
// Threads: post and forgetListed from any thread, the host's included: they
// take mutex_ for a few string comparisons and never wait for the listing.
// start and stop on the host's calling thread (the core's initialize and
// shutdown). The listing and `ask` run on the look-ahead's own thread, which
// the first post starts (a host that never posts has none) and which sleeps
// on a condition variable while nothing is posted.
#ifndef TARNWELL_CORE_FOLDER_LOOK_AHEAD_H_
#define TARNWELL_CORE_FOLDER_LOOK_AHEAD_H_

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace tarnwell {

class FolderLookAhead {
public:
    using Clock = std::chrono::steady_clock;
    // Asks about a batch of the canonical paths of the entries of `folder`
    // (canonical too); false stops the listing of that folder. Runs on the
    // look-ahead thread with no lock of this class held.
    using Ask = std::function<bool(const std::string& folder, std::vector<std::string>& paths)>;

    static constexpr std::size_t kMaxEntries = 20000;
    static constexpr std::size_t kBatch = 128;
    static constexpr std::size_t kQueued = 4;
    static constexpr std::size_t kRecent = 8;
    static constexpr std::chrono::seconds kRelistAfter{5};

    explicit FolderLookAhead(Ask ask) : ask_(std::move(ask)) {}
    FolderLookAhead(const FolderLookAhead&) = delete;
    FolderLookAhead& operator=(const FolderLookAhead&) = delete;
    ~FolderLookAhead() { stop(); }

    void start() TARNWELL_EXCLUDES(mutex_);
    // Ends a listing under way after its current batch; joins the thread.
    void stop() TARNWELL_EXCLUDES(mutex_);
    // The folder of `canonicalPath` (its text up to the last slash) is to be
    // listed, unless it was lately or is queued. Nothing while stopped.
    void post(std::string_view canonicalPath) TARNWELL_EXCLUDES(mutex_);
    // Every folder may be listed again at once.
    void forgetListed() TARNWELL_EXCLUDES(mutex_);

private:
    struct Listed {
        std::string folder;
        Clock::time_point at{};
    };
    void run() TARNWELL_EXCLUDES(mutex_);
    // Look-ahead thread: reads the folder, hands its entries over in batches.
    void list(const std::string& folder);
    bool listedLately(std::string_view folder, Clock::time_point now) const
        TARNWELL_REQUIRES(mutex_);

    const Ask ask_;
    Mutex mutex_;
    std::condition_variable wake_;  // used with mutex_
    std::deque<std::string> queue_ TARNWELL_GUARDED_BY(mutex_);
    // The folders posted last, as a ring; an empty folder is a free slot.
    std::array<Listed, kRecent> recent_ TARNWELL_GUARDED_BY(mutex_);
    std::size_t nextRecent_ TARNWELL_GUARDED_BY(mutex_) = 0;
    bool running_ TARNWELL_GUARDED_BY(mutex_) = false;
    // Read by the listing between batches; set by stop.
    std::atomic<bool> stopping_{false};
    std::thread thread_ TARNWELL_GUARDED_BY(mutex_);  // made by post, joined by stop
};

}  // namespace tarnwell

#endif  // TARNWELL_CORE_FOLDER_LOOK_AHEAD_H_
