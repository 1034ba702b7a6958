// Fields from the daemon and from datagrams are unescaped; fields to the
// daemon are escaped. Unescaping must never grow a field, and escaping must
// survive the round trip for every byte string, so that a path holding LF,
// TAB or backslash reaches the daemon and comes back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/wire_format.h"
#include "fuzz_check.h"

namespace {

// A second, deliberately plain reading of the escape rules: "\n", "\t" and
// "\\" are one byte each; a backslash before anything else, or at the end,
// stays and the byte after it is read afresh.
std::string referenceUnescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const bool escape = field[i] == '\\' && i + 1 < field.size();
        const char next = escape ? field[i + 1] : '\0';
        if (escape && (next == 'n' || next == 't' || next == '\\')) {
            out.push_back(next == 'n' ? '\n' : next == 't' ? '\t' : '\\');
            ++i;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    const std::string unescaped = tarnwell::unescapeField(input);
    FUZZ_CHECK(unescaped.size() <= input.size());
    FUZZ_CHECK(unescaped == referenceUnescape(input));

    // An escaped field never splits a line or a field on the wire.
    const std::string escaped = tarnwell::escapeField(input);
    FUZZ_CHECK(escaped.find('\n') == std::string::npos);
    FUZZ_CHECK(escaped.find('\t') == std::string::npos);
    FUZZ_CHECK(escaped.size() >= input.size() && escaped.size() <= 2 * input.size());
    FUZZ_CHECK(tarnwell::unescapeField(escaped) == input);
    return 0;
}
