// Text from the file system as the tools print it: names and paths are bytes,
// not necessarily UTF-8, and may hold line feeds. Free of shared state; safe
// on any thread.
#ifndef TARNWELL_TOOLS_COMMON_UTF8_TEXT_H_
#define TARNWELL_TOOLS_COMMON_UTF8_TEXT_H_

#include <cstddef>
#include <string>

namespace tarnwell::tools {

// The length (1 to 4) of the well-formed UTF-8 character that starts at
// `text[at]`, with its code point in `code`; 0 for a byte that starts none
// (a stray continuation byte, a cut sequence, an overlong form, a surrogate,
// a value past U+10FFFF).
std::size_t utf8CharLength(const std::string& text, std::size_t at, char32_t& code);

// `text` on one line of valid UTF-8: a backslash as \\, LF, CR and TAB as
// \n, \r and \t, any other control character and every byte that is not
// part of a well-formed character as \xHH. Other text is left as it is.
std::string escapeForLine(const std::string& text);

}  // namespace tarnwell::tools

#endif  // TARNWELL_TOOLS_COMMON_UTF8_TEXT_H_
