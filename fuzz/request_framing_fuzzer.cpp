// Any process on the machine can connect to the simulated daemon and send it
// bytes, which its request framing cuts into requests. It must never crash,
// must find exactly the requests a plain reading of the lines finds, and must
// find the same ones however the bytes are split into receives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/wire_format.h"
#include "daemon_sim/request_framing.h"
#include "fuzz_check.h"

namespace {

using tarnwell::sim::Request;
using tarnwell::sim::RequestFramer;

// Feeds `text` in pieces of `piece` bytes and collects the requests.
std::vector<Request> frame(std::string_view text, std::size_t piece) {
    RequestFramer framer;
    std::vector<Request> requests;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        const std::size_t n = std::min(piece, text.size() - at);
        std::memcpy(framer.reserve(n), text.data() + at, n);
        framer.commit(n);
        Request request;
        std::string why;
        for (;;) {
            const RequestFramer::Result result = framer.next(request, why);
            // Inputs stay far below every limit, so nothing is malformed.
            FUZZ_CHECK(result != RequestFramer::Result::kMalformed);
            if (result == RequestFramer::Result::kNeedMore) {
                break;
            }
            requests.push_back(std::move(request));
        }
        FUZZ_CHECK(!framer.hasUnscannedInput());
        framer.compact();
    }
    return requests;
}

// The requests in `text`, read the plain way: a name line, then argument
// lines up to "done"; a line without a TAB is a key without values.
std::vector<Request> plainRequests(std::string_view text) {
    std::vector<Request> requests;
    Request current;
    bool haveName = false;
    for (std::string_view line : tarnwell::fuzz::completeLines(text)) {
        if (!haveName) {
            current = Request{};
            current.name = tarnwell::unescapeField(std::string(line));
            haveName = true;
        } else if (line == "done") {
            requests.push_back(current);
            haveName = false;
        } else {
            auto fields = tarnwell::fuzz::tabFields(line);
            std::vector<std::string> values;
            for (std::size_t f = 1; f < fields.size(); ++f) {
                values.push_back(tarnwell::unescapeField(fields[f]));
            }
            current.args[tarnwell::unescapeField(fields[0])] = std::move(values);
        }
    }
    return requests;
}

bool same(const std::vector<Request>& a, const std::vector<Request>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].args != b[i].args) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 64 * 1024) {
        return 0;
    }
    // The first byte chooses how the rest is split into receives.
    const std::size_t piece = 1 + data[0] % 17;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const std::vector<Request> whole = frame(text, text.size() + 1);
    FUZZ_CHECK(same(whole, plainRequests(text)));
    FUZZ_CHECK(same(frame(text, piece), whole));
    return 0;
}
