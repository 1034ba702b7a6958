// The one deadline of a doctor run: every wait (connect, answer, child
// process) takes what is left of it, so a daemon that accepts and never
// answers cannot hold the run past it.
#ifndef TARNWELL_TOOLS_DOCTOR_DEADLINE_H_
#define TARNWELL_TOOLS_DOCTOR_DEADLINE_H_

#include <algorithm>
#include <chrono>

namespace tarnwell::doctor {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(std::chrono::milliseconds budget) : end_(Clock::now() + budget) {}

    bool passed() const { return Clock::now() >= end_; }
    Clock::time_point end() const { return end_; }

    // A deadline that ends at `cap` from now or at this one, whichever comes
    // first.
    Deadline sooner(std::chrono::milliseconds cap) const {
        Deadline inner = *this;
        inner.end_ = std::min(end_, Clock::now() + cap);
        return inner;
    }

private:
    Clock::time_point end_;
};

}  // namespace tarnwell::doctor

#endif  // TARNWELL_TOOLS_DOCTOR_DEADLINE_H_
