#include "daemon_sim/request_framing.h"

#include <utility>

#include "base/wire_format.h"
#include "protocol/vocabulary.h"

namespace tarnwell::sim {

char* RequestFramer::reserve(std::size_t count) {
    reservedFrom_ = in_.size();
    in_.resize(reservedFrom_ + count);
    return in_.data() + reservedFrom_;
}

void RequestFramer::commit(std::size_t received) {
    in_.resize(reservedFrom_ + received);
}

RequestFramer::Result RequestFramer::next(Request& request, std::string& why) {
    for (;;) {
        const std::size_t lf = in_.find('\n', scanFrom_);
        if (lf == std::string::npos) {
            scanFrom_ = in_.size();
            if (in_.size() - consumed_ > kMaxLineBytes) {
                why = "line longer than " + std::to_string(kMaxLineBytes) + " bytes";
                return Result::kMalformed;
            }
            return Result::kNeedMore;
        }
        if (lf - consumed_ > kMaxLineBytes) {
            why = "line longer than " + std::to_string(kMaxLineBytes) + " bytes";
            return Result::kMalformed;
        }
        const std::string line = in_.substr(consumed_, lf - consumed_);
        consumed_ = lf + 1;
        scanFrom_ = consumed_;
        bool done = false;
        if (!takeLine(line, request, done, why)) {
            return Result::kMalformed;
        }
        if (done) {
            return Result::kRequest;
        }
    }
}

bool RequestFramer::takeLine(const std::string& line, Request& request, bool& done,
                             std::string& why) {
    requestBytes_ += line.size() + 1;
    if (requestBytes_ > kMaxRequestBytes) {
        why = "request larger than " + std::to_string(kMaxRequestBytes) + " bytes";
        return false;
    }
    if (!haveName_) {
        partial_.name = unescapeField(line);
        haveName_ = true;
        return true;
    }
    if (line == protocol::kEndLine) {
        request = std::move(partial_);
        partial_ = Request{};
        haveName_ = false;
        argLines_ = 0;
        requestBytes_ = 0;
        done = true;
        return true;
    }
    if (++argLines_ > kMaxResponseLines) {
        why = "request of more than " + std::to_string(kMaxResponseLines) + " argument lines";
        return false;
    }
    if (line.find('\t') == std::string::npos) {
        partial_.args[unescapeField(line)].clear();
    } else {
        parseArgumentLine(line, partial_.args);
    }
    return true;
}

void RequestFramer::compact() {
    in_.erase(0, consumed_);
    scanFrom_ -= consumed_;
    consumed_ = 0;
}

void RequestFramer::release() {
    in_.clear();
    in_.shrink_to_fit();
    reservedFrom_ = consumed_ = scanFrom_ = 0;
    haveName_ = false;
    partial_ = Request{};
    argLines_ = requestBytes_ = 0;
}

}  // namespace tarnwell::sim
