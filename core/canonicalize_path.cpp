// Path canonicalization: one form per file, so that a file has one cache key
// and compares equal to its sync root byte for byte.

#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/tarnwell_core.h"

namespace tarnwell {
namespace {

// Everything from the first "/" behind the first "://", anywhere in the
// input; the whole input when there is no such "/". The scheme and host are
// dropped unexamined and nothing is decoded.
std::string_view stripUrlPrefix(std::string_view input) {
    const std::size_t scheme = input.find("://");
    if (scheme == std::string_view::npos) {
        return input;
    }
    const std::size_t slash = input.find('/', scheme + 3);
    return slash == std::string_view::npos ? input : input.substr(slash);
}

// "/" plus the segments left after dropping empty and "." segments and
// letting ".." remove its predecessor (at the top it is dropped). Relative
// input ends up under "/", not under the working directory; links are not
// resolved.
std::string normalizeLexically(std::string_view candidate) {
    std::string result;
    result.reserve(candidate.size() + 1);
    std::size_t start = 0;
    while (start <= candidate.size()) {
        std::size_t end = candidate.find('/', start);
        if (end == std::string_view::npos) {
            end = candidate.size();
        }
        const std::string_view segment = candidate.substr(start, end - start);
        if (segment == "..") {
            const std::size_t last = result.rfind('/');
            if (last != std::string::npos) {
                result.erase(last);
            }
        } else if (!segment.empty() && segment != ".") {
            result.push_back('/');
            result.append(segment);
        }
        start = end + 1;
    }
    if (result.empty()) {
        result.push_back('/');
    }
    return result;
}

}  // namespace

std::string TarnwellCore::canonicalizePath(const std::string& path) {
    const std::string_view candidate = stripUrlPrefix(path);
    // A NUL byte would cut the C string short and make realpath resolve some
    // other, shorter path; no file has such a name, so it is normalized as
    // text.
    if (candidate.find('\0') == std::string_view::npos) {
        const std::string candidateString(candidate);
        char resolved[PATH_MAX];
        if (::realpath(candidateString.c_str(), resolved) != nullptr) {
            return std::string(resolved);
        }
    }
    return normalizeLexically(candidate);
}

}  // namespace tarnwell
