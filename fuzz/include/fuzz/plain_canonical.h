// What path canonicalization must return, written the plain way, as an
// oracle for the tests and the fuzzer: the part behind a URL prefix, resolved
// by realpath, or normalized as text ("." and empty segments dropped, ".."
// taking back one kept segment) where realpath fails or a NUL byte would cut
// the name short.
#ifndef TARNWELL_FUZZ_PLAIN_CANONICAL_H_
#define TARNWELL_FUZZ_PLAIN_CANONICAL_H_

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace tarnwell::test {

inline std::string withoutUrlPrefix(const std::string& input) {
    const std::size_t scheme = input.find("://");
    if (scheme != std::string::npos) {
        const std::size_t slash = input.find('/', scheme + 3);
        if (slash != std::string::npos) {
            return input.substr(slash);
        }
    }
    return input;
}

inline bool realpathResolves(const std::string& candidate) {
    char buf[PATH_MAX];
    return candidate.find('\0') == std::string::npos &&
           ::realpath(candidate.c_str(), buf) != nullptr;
}

inline std::string plainCanonical(const std::string& input) {
    const std::string candidate = withoutUrlPrefix(input);
    char buf[PATH_MAX];
    if (candidate.find('\0') == std::string::npos &&
        ::realpath(candidate.c_str(), buf) != nullptr) {
        return buf;
    }
    std::vector<std::string> kept;
    std::string segment;
    for (std::size_t i = 0; i <= candidate.size(); ++i) {
        if (i < candidate.size() && candidate[i] != '/') {
            segment += candidate[i];
            continue;
        }
        if (segment == "..") {
            if (!kept.empty()) {
                kept.pop_back();
            }
        } else if (!segment.empty() && segment != ".") {
            kept.push_back(segment);
        }
        segment.clear();
    }
    std::string result;
    for (const std::string& k : kept) {
        result += "/" + k;
    }
    return result.empty() ? "/" : result;
}

}  // namespace tarnwell::test

#endif  // TARNWELL_FUZZ_PLAIN_CANONICAL_H_
