// Invariant checks shared by the fuzz targets. A broken invariant aborts, so
// that libFuzzer saves the input and a corpus replay fails in CTest.
#ifndef TARNWELL_FUZZ_FUZZ_CHECK_H_
#define TARNWELL_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace tarnwell::fuzz {

// The LF-terminated lines of `text`, without their LFs; bytes after the last
// LF are not a line. Written independently of the product's splitting so
// that the two can be compared.
inline std::vector<std::string_view> completeLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t lf = text.find('\n', begin);
        if (lf == std::string_view::npos) {
            break;
        }
        lines.push_back(text.substr(begin, lf - begin));
        begin = lf + 1;
    }
    return lines;
}

// The fields of an argument line, split at every TAB (empty ones included).
inline std::vector<std::string> tabFields(std::string_view line) {
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == '\t') {
            fields.emplace_back();
        } else {
            fields.back().push_back(c);
        }
    }
    return fields;
}

}  // namespace tarnwell::fuzz

#endif  // TARNWELL_FUZZ_FUZZ_CHECK_H_
