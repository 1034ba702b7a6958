#include "copy_reports.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/posix_io.h"

namespace tarnwell::chaos {

namespace {

constexpr std::size_t kBufferSize = std::size_t{64} * 1024;
// The longest text a record carries (a path and a command, a line).
constexpr std::uint32_t kLongestText = 16 * 1024;

constexpr char kDraw = 'd';
constexpr char kPick = 'p';
constexpr char kLine = 'l';
constexpr char kBroken = 'b';
constexpr char kFinished = 'e';

struct Head {
    std::int64_t ns = 0;  // steady_clock's count
    std::uint32_t textSize = 0;
    std::int32_t value = 0;  // the row of a draw, the rule broken
    char kind = 0;
    std::int8_t shown = 0;
};

TimePoint timeOf(std::int64_t ns) {
    return TimePoint(Clock::duration(ns));
}

}  // namespace

ReportWriter::ReportWriter(int fd) : fd_(fd) {
    buffer_.reserve(kBufferSize);
}

void ReportWriter::drawn(int row, int shown, TimePoint t) {
    append(kDraw, row, shown, t, {});
}

void ReportWriter::picked(const std::string& command, const std::string& path, TimePoint t) {
    append(kPick, 0, 0, t, command + "\t" + path);
    // Before the action is triggered: the parent has it before the daemon
    // can have received the action, or soon after.
    flush();
}

void ReportWriter::frameDone(TimePoint) {
    flush();
}

void ReportWriter::line(const std::string& text) {
    append(kLine, 0, 0, Clock::now(), text);
}

void ReportWriter::broken(Rule rule, const std::string& detail) {
    append(kBroken, static_cast<int>(rule), 0, Clock::now(), detail);
}

void ReportWriter::finished() {
    append(kFinished, 0, 0, Clock::now(), {});
    flush();
}

void ReportWriter::append(char kind, int value, int shown, TimePoint t, std::string_view text) {
    text = text.substr(0, kLongestText);
    Head head;
    head.ns = t.time_since_epoch().count();
    head.textSize = static_cast<std::uint32_t>(text.size());
    head.value = value;
    head.kind = kind;
    head.shown = static_cast<std::int8_t>(shown);
    if (buffer_.size() + sizeof head + text.size() > kBufferSize) {
        flush();
    }
    const auto* bytes = reinterpret_cast<const char*>(&head);
    buffer_.insert(buffer_.end(), bytes, bytes + sizeof head);
    buffer_.insert(buffer_.end(), text.begin(), text.end());
}

void ReportWriter::flush() {
    if (!failed_ && !writeAll(fd_, std::string_view(buffer_.data(), buffer_.size()))) {
        failed_ = true;
    }
    buffer_.clear();
}

ReportReader::ReportReader(int fd, Oracle& oracle, std::size_t rows)
    : fd_(fd), oracle_(oracle), rows_(rows) {}

ReportReader::~ReportReader() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool ReportReader::readAvailable() {
    char chunk[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        if (n <= 0) {
            return false;
        }
        pending_.insert(pending_.end(), chunk, chunk + n);
        if (!feed()) {
            broken_ = true;
            return false;
        }
    }
}

bool ReportReader::feed() {
    std::size_t at = 0;
    Head head;
    while (pending_.size() - at >= sizeof head) {
        std::memcpy(&head, pending_.data() + at, sizeof head);
        if (head.textSize > kLongestText) {
            return false;
        }
        if (pending_.size() - at < sizeof head + head.textSize) {
            break;
        }
        const std::string text(pending_.data() + at + sizeof head, head.textSize);
        at += sizeof head + head.textSize;
        const TimePoint t = timeOf(head.ns);
        if (head.kind == kDraw && head.value >= 0 && static_cast<std::size_t>(head.value) < rows_) {
            oracle_.checkDraw(head.value, head.shown, t);
        } else if (head.kind == kPick && text.find('\t') != std::string::npos) {
            const std::size_t tab = text.find('\t');
            oracle_.actionPicked(text.substr(0, tab), text.substr(tab + 1), t);
        } else if (head.kind == kLine) {
            lines_.push_back(text);
        } else if (head.kind == kBroken && head.value >= 0 &&
                   head.value < static_cast<int>(Rule::kCount)) {
            oracle_.ruleBroken(static_cast<Rule>(head.value), text);
        } else if (head.kind == kFinished) {
            finished_ = true;
        } else {
            return false;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(at));
    return true;
}

}  // namespace tarnwell::chaos
