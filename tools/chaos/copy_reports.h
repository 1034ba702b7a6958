// What a copy of the plug-in, run in a process of its own, reports to the
// chaos run's parent process through a pipe: each draw (row, status shown,
// when), each action picked, and at its end the lines of its own figures and
// the rules those broke (host calls, resources), then a last record that says
// it finished. Records are binary, a fixed head and a text; both ends are the
// same program, forked, so the head's layout is the same on both.
//
// Stamps are steady_clock's (CLOCK_MONOTONIC): the same clock in every
// process, so a copy's draws compare directly with the daemon's truth.
//
// Thread safety: each object belongs to one thread: the writer to the copy's
// host thread, the reader to the parent's main thread.
#ifndef TARNWELL_TOOLS_CHAOS_COPY_REPORTS_H_
#define TARNWELL_TOOLS_CHAOS_COPY_REPORTS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host_loop.h"
#include "oracle.h"

namespace tarnwell::chaos {

class ReportWriter final : public HostObserver {
public:
    // Writes to the pipe `fd`, which stays the caller's.
    explicit ReportWriter(int fd);

    void drawn(int row, int shown, TimePoint t) override;
    void picked(const std::string& command, const std::string& path, TimePoint t) override;
    void frameDone(TimePoint now) override;

    // A line of the copy's figures, printed by the parent in the copy's part.
    void line(const std::string& text);
    void broken(Rule rule, const std::string& detail);
    // The copy finished its run; sends everything.
    void finished();
    // Whether a write failed (the parent is gone).
    bool failed() const { return failed_; }

private:
    void append(char kind, int value, int shown, TimePoint t, std::string_view text);
    void flush();

    const int fd_;
    // Allocated once: the copy's heap holds the plug-in's growth alone.
    std::vector<char> buffer_;
    bool failed_ = false;
};

class ReportReader {
public:
    // Reads the pipe `fd` (owned, closed at the end) and feeds `oracle`;
    // rows beyond `rows` are refused as a broken stream.
    ReportReader(int fd, Oracle& oracle, std::size_t rows);
    ~ReportReader();
    ReportReader(const ReportReader&) = delete;
    ReportReader& operator=(const ReportReader&) = delete;

    int fd() const { return fd_; }
    // Reads what the pipe holds and feeds it on. False once the pipe ended
    // (or carried something no copy writes).
    bool readAvailable();
    bool finished() const { return finished_; }
    bool broken() const { return broken_; }
    const std::vector<std::string>& lines() const { return lines_; }

private:
    // Feeds the complete records in `pending_` on; false for a broken one.
    bool feed();

    int fd_;
    Oracle& oracle_;
    const std::size_t rows_;
    std::vector<char> pending_;
    std::vector<std::string> lines_;
    bool finished_ = false;
    bool broken_ = false;
};

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_COPY_REPORTS_H_
