// Names and paths from the file system as the tools print them on one line
// and as the folder picture writes them into XML. Whatever the bytes, the
// line is valid UTF-8 without a control character and reads back to the
// bytes; the XML text is valid UTF-8 of characters XML can carry, with no
// markup character left bare.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "picture/svg_text.h"
#include "tools_common/utf8_text.h"

namespace {

// A second, deliberately plain reading of well-formed UTF-8 (the table of
// well-formed byte sequences, range by range): the length of the character
// at `at`, 0 for none.
std::size_t plainCharLength(const std::string& text, std::size_t at, char32_t& code) {
    auto byte = [&](std::size_t k) {
        return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0x100U;
    };
    auto in = [](unsigned value, unsigned low, unsigned high) {
        return value >= low && value <= high;
    };
    const unsigned b0 = byte(0);
    const unsigned b1 = byte(1);
    const unsigned b2 = byte(2);
    const unsigned b3 = byte(3);
    if (b0 <= 0x7F) {
        code = b0;
        return 1;
    }
    if (in(b0, 0xC2, 0xDF) && in(b1, 0x80, 0xBF)) {
        code = ((b0 & 0x1FU) << 6) | (b1 & 0x3FU);
        return 2;
    }
    const bool three = (b0 == 0xE0 && in(b1, 0xA0, 0xBF)) ||
                       ((in(b0, 0xE1, 0xEC) || in(b0, 0xEE, 0xEF)) && in(b1, 0x80, 0xBF)) ||
                       (b0 == 0xED && in(b1, 0x80, 0x9F));
    if (three && in(b2, 0x80, 0xBF)) {
        code = ((b0 & 0x0FU) << 12) | ((b1 & 0x3FU) << 6) | (b2 & 0x3FU);
        return 3;
    }
    const bool four = (b0 == 0xF0 && in(b1, 0x90, 0xBF)) ||
                      (in(b0, 0xF1, 0xF3) && in(b1, 0x80, 0xBF)) ||
                      (b0 == 0xF4 && in(b1, 0x80, 0x8F));
    if (four && in(b2, 0x80, 0xBF) && in(b3, 0x80, 0xBF)) {
        code = ((b0 & 0x07U) << 18) | ((b1 & 0x3FU) << 12) | ((b2 & 0x3FU) << 6) | (b3 & 0x3FU);
        return 4;
    }
    return 0;
}

// Every character of `text` passes `allowed`, and all of it is well formed.
template <typename Allowed>
bool wellFormed(const std::string& text, Allowed allowed) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t code = 0;
        const std::size_t length = plainCharLength(text, i, code);
        if (length == 0 || !allowed(code)) {
            return false;
        }
        i += length;
    }
    return true;
}

int hexValue(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The bytes a printed line stands for; false for an escape the printing
// never writes.
bool unescapeLine(const std::string& line, std::string& bytes) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\\') {
            bytes += line[i];
            continue;
        }
        const char kind = i + 1 < line.size() ? line[i + 1] : '\0';
        if (kind == '\\' || kind == 'n' || kind == 'r' || kind == 't') {
            bytes += kind == '\\' ? '\\' : kind == 'n' ? '\n' : kind == 'r' ? '\r' : '\t';
            ++i;
        } else if (kind == 'x' && i + 3 < line.size() && hexValue(line[i + 2]) >= 0 &&
                   hexValue(line[i + 3]) >= 0) {
            bytes += static_cast<char>(hexValue(line[i + 2]) * 16 + hexValue(line[i + 3]));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

void checkCharLengths(const std::string& text) {
    for (std::size_t at = 0; at < text.size(); ++at) {
        char32_t code = 0;
        char32_t plainCode = 0;
        const std::size_t length = tarnwell::tools::utf8CharLength(text, at, code);
        FUZZ_CHECK(length == plainCharLength(text, at, plainCode));
        FUZZ_CHECK(length == 0 || code == plainCode);
    }
}

void checkLine(const std::string& text) {
    const std::string line = tarnwell::tools::escapeForLine(text);
    FUZZ_CHECK(wellFormed(line, [](char32_t c) { return c >= 0x20 && c != 0x7F; }));
    std::string back;
    FUZZ_CHECK(unescapeLine(line, back));
    FUZZ_CHECK(back == text);
}

void checkXml(const std::string& text) {
    const std::string valid = dfmext_host::validXmlText(text);
    const auto xmlChar = [](char32_t c) {
        return (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') && c != 0xFFFE && c != 0xFFFF;
    };
    FUZZ_CHECK(wellFormed(valid, xmlChar));
    // Text that XML can carry is left as it is.
    FUZZ_CHECK(!wellFormed(text, xmlChar) || valid == text);
    const std::string escaped = dfmext_host::escapeMarkup(valid);
    FUZZ_CHECK(escaped.find_first_of("<>\"'\t\n\r") == std::string::npos);
    for (std::size_t amp = escaped.find('&'); amp != std::string::npos;
         amp = escaped.find('&', amp + 1)) {
        const std::string rest = escaped.substr(amp, 6);
        FUZZ_CHECK(rest.rfind("&amp;", 0) == 0 || rest.rfind("&lt;", 0) == 0 ||
                   rest.rfind("&gt;", 0) == 0 || rest.rfind("&quot;", 0) == 0 ||
                   rest.rfind("&apos;", 0) == 0 || rest.rfind("&#9;", 0) == 0 ||
                   rest.rfind("&#10;", 0) == 0 || rest.rfind("&#13;", 0) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkCharLengths(text);
    checkLine(text);
    checkXml(text);
    return 0;
}
