// Tells the hosts that an emblem they drew may be out of date, so that hosts
// which keep what they were told until told otherwise (the GTK file managers
// cache an extension's answer per file) ask again.
//
// Thread safety: every operation may be called from any thread. The
// callbacks run on the thread that calls notify (the core's channel worker or
// its notification listener), never the host's GUI thread, and with no lock
// held: neither a core lock nor callbacksMutex_. A callback may therefore
// call back into the core, or add and remove callbacks.
#ifndef TARNWELL_CORE_EMBLEM_NOTICES_H_
#define TARNWELL_CORE_EMBLEM_NOTICES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace tarnwell {

// What may have changed since the last notice.
struct EmblemNotice {
    // Any emblem at all: the roots changed, the daemon went away or came
    // back, or notifications were lost. `paths` is then empty.
    bool everything = false;
    // Canonical paths whose status changed (appeared, took another value or
    // was dropped).
    std::vector<std::string> paths;
};

using EmblemNoticeCallback = std::function<void(const EmblemNotice&)>;

class EmblemNotices {
public:
    // Returns an id for remove; 0 for an empty callable, which is ignored.
    std::uint64_t add(EmblemNoticeCallback callback) TARNWELL_EXCLUDES(callbacksMutex_);
    // After it returns, the callback is not started again; a call already
    // running on another thread may still be finishing.
    void remove(std::uint64_t id) TARNWELL_EXCLUDES(callbacksMutex_);

    // Runs every callback, in registration order, on the caller's thread.
    // Cheap when none is registered (the stand-in host registers none).
    void notify(const EmblemNotice& notice) const TARNWELL_EXCLUDES(callbacksMutex_);
    void notifyPath(const std::string& canonicalPath) const TARNWELL_EXCLUDES(callbacksMutex_);
    void notifyEverything() const TARNWELL_EXCLUDES(callbacksMutex_);
    // Whether a host listens: one that keeps what it was told until told
    // otherwise.
    bool anyListener() const TARNWELL_EXCLUDES(callbacksMutex_);

private:
    struct Entry {
        std::uint64_t id;
        EmblemNoticeCallback callback;
    };
    using List = std::vector<Entry>;

    // The list is replaced, never changed in place: notify takes a reference
    // to the current one under the lock and runs it without.
    mutable Mutex callbacksMutex_;
    std::shared_ptr<const List> callbacks_ TARNWELL_GUARDED_BY(callbacksMutex_);
    std::uint64_t nextId_ TARNWELL_GUARDED_BY(callbacksMutex_) = 1;
};

}  // namespace tarnwell

#endif  // TARNWELL_CORE_EMBLEM_NOTICES_H_
