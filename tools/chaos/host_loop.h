// The chaos run's host: the plug-in loaded with dlopen and driven through its
// four entry points and the dfmext host library, as the file manager drives
// it. Every frame (60 a second) it asks for the emblems of the 40 rows of its
// window, timing each call and reporting what it was shown to its observer
// (the oracle, or the pipe to the oracle of a copy in a process of its own);
// now and then it moves the window, and opens a context menu and picks an
// action.
//
// Thread safety: everything runs on the host's one thread (the caller's), as
// a file manager's UI thread does; the window's first row is published for the
// daemon through an atomic (which may lie in memory shared with the daemon's
// process).
#ifndef TARNWELL_TOOLS_CHAOS_HOST_LOOP_H_
#define TARNWELL_TOOLS_CHAOS_HOST_LOOP_H_

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "chaos_clock.h"
#include "dfmext/emblem.h"
#include "dfmext/menu.h"
#include "dfmext_loader/plugin_loader.h"
#include "oracle.h"
#include "stats.h"
#include "tree.h"

namespace tarnwell::chaos {

// The status an emblem stands for, or kNoStatus for none; kUnknownEmblem for
// an icon (or several) that stands for no status.
inline constexpr int kUnknownEmblem = 99;
int statusOfEmblem(const dfmext::DFMExtEmblem& emblem);

// What the host loop reports, on the host's thread.
class HostObserver {
public:
    virtual ~HostObserver() = default;
    // `shown` is the status of the emblem drawn, or kNoStatus for none.
    virtual void drawn(int row, int shown, TimePoint t) = 0;
    // Before the action is triggered, so that its arrival never comes first.
    virtual void picked(const std::string& command, const std::string& path, TimePoint t) = 0;
    // After each frame's draws and picks.
    virtual void frameDone(TimePoint now) = 0;
};

class HostLoop {
public:
    // `copy` (0 for the run's one copy, else 1 and up) gives each copy its own
    // stream of window moves and picks from the seed.
    HostLoop(const Tree& tree, HostObserver& observer, std::uint64_t seed, int copy,
             std::atomic<int>& firstVisibleRow, TimePoint start);
    ~HostLoop();
    HostLoop(const HostLoop&) = delete;
    HostLoop& operator=(const HostLoop&) = delete;

    // Before its first move, the window scrolls through the whole folder, a
    // window's height at a time, as a user looking through it would: the
    // plug-in's status cache holds every listed path before the warm-up of
    // the resources ends, so that their slope after it is what the plug-in
    // keeps growing, not what it fills once.
    void scrollThroughFirst() { sweeping_ = true; }
    // Loads the plug-in and initializes it. False, with `error` set, when it
    // cannot be loaded or lacks an entry point.
    bool load(const std::string& pluginPath, std::string& error);
    // Redraws until `until`, or until SIGINT or SIGTERM comes (stop_signal.h).
    void run(TimePoint until);
    // Shuts the plug-in down and unloads it.
    void unload();

    const Histogram& calls() const { return calls_; }
    const std::vector<ResourceSample>& samples() const { return samples_; }

private:
    void drawFrame();
    void moveWindow();
    // One step of the first scroll through the folder; ends it at the end.
    void sweepWindow();
    void pickAction();
    template <typename Call>
    auto timed(Call call);

    // Constant after construction.
    const Tree& tree_;
    HostObserver& observer_;
    std::atomic<int>& firstVisibleRow_;
    const TimePoint start_;

    std::mt19937_64 rng_;
    dfmext::host::PluginLoader plugin_;
    dfmext::DFMExtEmblemIconPlugin* emblemPlugin_ = nullptr;
    dfmext::DFMExtMenuPlugin* menuPlugin_ = nullptr;
    Histogram calls_;
    std::vector<ResourceSample> samples_;
    TimePoint nextMove_;
    bool sweeping_ = false;
    bool sweepStarted_ = false;
    TimePoint nextPick_;
    TimePoint nextSample_;
};

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_HOST_LOOP_H_
