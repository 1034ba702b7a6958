// Whether the daemon stores a file's new status before it sends
// "refresh_stat" for it. The plug-in asks at once when it hears one; a daemon
// that notifies first is asked too early, tells the old status, and sends
// nothing more: the old emblem stays until the file changes again.
//
// For each of the first kFollowed "refresh_stat" heard during the watch, the
// path is asked at once, as the plug-in asks, and again kSecondLook later. A
// status that differs between the two answers, with no "refresh_stat" for
// that path heard after the first question (and up to kGrace after the
// second), was stored after its notification. All of it runs on the main
// thread, inside the watch's loop.
#ifndef TARNWELL_TOOLS_DOCTOR_NOTIFY_ORDER_H_
#define TARNWELL_TOOLS_DOCTOR_NOTIFY_ORDER_H_

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "conformance_checks.h"

namespace tarnwell::doctor {

class NotifyOrder {
public:
    using Clock = Deadline::Clock;
    static constexpr std::size_t kFollowed = 20;
    static constexpr std::chrono::milliseconds kSecondLook{1000};
    static constexpr std::chrono::milliseconds kGrace{3000};

    // `start`: the watch's start, from which the times in the finding count.
    NotifyOrder(const Conformance& run, Clock::time_point start);

    // A "refresh_stat" for `path` (canonical, in a root) was heard now;
    // with `followNew` false only counted, never followed.
    void heard(const std::string& path, bool followNew);
    // When the next second look is due; time_point::max() when none is.
    Clock::time_point nextDue() const;
    // Has every second look that is due by now.
    void lookAgain();
    // When every followed path has had its second look and its grace:
    // the watch may end no sooner.
    Clock::time_point settledAt() const;
    void judge(Check& check) const;

private:
    struct Followed {
        std::string path;
        Clock::time_point firstAt;  // when the first question went out
        std::string first;          // the status read, as "1 (syncing)"
        Clock::time_point secondAt{};
        std::string second;
        bool looked = false;  // the second question was asked
        bool whole = true;    // both answers came whole
    };

    std::string ask(const std::string& path, bool& whole);
    bool announcedAfter(const Followed& followed) const;
    std::string seconds(Clock::time_point at) const;

    const Conformance& run_;
    const Clock::time_point start_;
    Probe probe_;
    std::vector<Followed> followed_;
    std::map<std::string, std::vector<Clock::time_point>> heardAt_;
};

}  // namespace tarnwell::doctor

#endif  // TARNWELL_TOOLS_DOCTOR_NOTIFY_ORDER_H_
