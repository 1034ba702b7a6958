// An icon file from the theme folders, as the folder picture embeds it at the
// size it draws the emblem. Whatever the file holds, the picture gets the
// file back whole: unchanged, or with one new root start tag put right before
// the old root's and its end tag after everything.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "picture/svg_text.h"

namespace {

const std::string kClosing = "</svg>\n";

std::string openingFor(int size) {
    const std::string sizeText = std::to_string(size);
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + sizeText + "\" height=\"" +
           sizeText + "\" viewBox=\"";
}

// Whether `out` is `svg` with the new start tag inserted at `at`, whose view
// box holds no quote and no markup, before the old root, and the end tag
// appended.
bool insertedAt(const std::string& svg, const std::string& out, const std::string& opening,
                std::size_t at) {
    if (at > svg.size() || out.compare(0, at, svg, 0, at) != 0 || svg.compare(at, 4, "<svg") != 0) {
        return false;
    }
    const std::size_t tail = svg.size() - at;
    if (out.size() < at + opening.size() + 2 + tail + kClosing.size()) {
        return false;
    }
    const std::size_t rest = out.size() - kClosing.size() - tail;
    if (out.compare(rest, tail, svg, at, tail) != 0 ||
        out.compare(out.size() - kClosing.size(), kClosing.size(), kClosing) != 0 ||
        out.compare(rest - 2, 2, "\">") != 0) {
        return false;
    }
    const std::size_t boxStart = at + opening.size();
    const std::string viewBox = out.substr(boxStart, rest - 2 - boxStart);
    return viewBox.find_first_of("\"<>") == std::string::npos;
}

void checkResized(const std::string& svg, int size) {
    const std::string out = dfmext_host::resizedIcon(svg, size);
    if (out == svg) {
        return;
    }
    // The text of the new tag may also stand in the old prolog (a comment):
    // one of its places must be the insertion.
    const std::string opening = openingFor(size);
    bool found = false;
    for (std::size_t at = out.find(opening); at != std::string::npos && !found;
         at = out.find(opening, at + 1)) {
        found = insertedAt(svg, out, opening, at);
    }
    FUZZ_CHECK(found);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string svg(reinterpret_cast<const char*>(data), size);
    checkResized(svg, 26);
    checkResized(svg, 104);
    return 0;
}
