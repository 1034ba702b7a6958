#include "picture/svg_text.h"

#include <cstdlib>
#include <optional>
#include <utility>

#include "tools_common/utf8_text.h"

namespace dfmext_host {

namespace {

// Appends the UTF-8 form of U+FFFD.
void appendReplacement(std::string& out) {
    out += "\xEF\xBF\xBD";
}

// Where the root element's start tag of an SVG document begins and ends
// (just past its '>'), skipping the XML declaration, processing
// instructions, comments and a document type without an internal subset;
// nullopt when the document does not start that way.
std::optional<std::pair<std::size_t, std::size_t>> rootStartTag(const std::string& svg) {
    std::size_t at = 0;
    while (true) {
        at = svg.find('<', at);
        if (at == std::string::npos) {
            return std::nullopt;
        }
        const char* const closing = svg.compare(at, 4, "<!--") == 0 ? "-->"
                                    : svg.compare(at, 2, "<?") == 0 ? "?>"
                                    : svg.compare(at, 2, "<!") == 0 ? ">"
                                                                    : nullptr;
        if (closing == nullptr) {
            break;
        }
        at = svg.find(closing, at);
        if (at == std::string::npos) {
            return std::nullopt;
        }
    }
    if (svg.compare(at, 4, "<svg") != 0) {
        return std::nullopt;
    }
    // The tag ends at the first '>' outside a quoted attribute value.
    char quote = 0;
    for (std::size_t i = at + 4; i < svg.size(); ++i) {
        if (quote != 0) {
            if (svg[i] == quote) {
                quote = 0;
            }
        } else if (svg[i] == '"' || svg[i] == '\'') {
            quote = svg[i];
        } else if (svg[i] == '>') {
            return std::make_pair(at, i + 1);
        }
    }
    return std::nullopt;
}

// The value of attribute `name` in a start tag, or nullopt.
std::optional<std::string> attribute(const std::string& tag, const std::string& name) {
    for (std::size_t at = tag.find(name + "="); at != std::string::npos;
         at = tag.find(name + "=", at + 1)) {
        const char before = at == 0 ? ' ' : tag[at - 1];
        const std::size_t open = at + name.size() + 1;
        if ((before != ' ' && before != '\t' && before != '\n' && before != '\r') ||
            open >= tag.size() || (tag[open] != '"' && tag[open] != '\'')) {
            continue;
        }
        const std::size_t close = tag.find(tag[open], open + 1);
        if (close != std::string::npos) {
            return tag.substr(open + 1, close - open - 1);
        }
    }
    return std::nullopt;
}

// A number in pixels, as width and height are usually written ("16",
// "16px"); nullopt for anything else (percentages, other units).
std::optional<std::string> plainLength(const std::optional<std::string>& value) {
    if (!value) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double parsed = std::strtod(value->c_str(), &end);
    const std::string rest = end;
    if (!(parsed > 0) || (!rest.empty() && rest != "px")) {
        return std::nullopt;
    }
    return value->substr(0, value->size() - rest.size());
}

}  // namespace

std::string validXmlText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t code = 0;
        const std::size_t length = tarnwell::tools::utf8CharLength(text, i, code);
        // XML also forbids most controls and the two non-characters U+FFFE
        // and U+FFFF.
        const bool valid = length != 0 && code != 0xFFFE && code != 0xFFFF &&
                           (code >= 0x20 || code == '\t' || code == '\n' || code == '\r');
        if (!valid) {
            appendReplacement(out);
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

std::string escapeMarkup(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            // An attribute value turns a literal line feed, CR or TAB into a
            // blank when it is read: only a character reference keeps it.
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// An icon document that renderers rasterize at `size` pixels. A renderer
// draws an SVG inside an <image> at the size the embedded document declares
// and then scales the pixels, so a 16 px icon shown at 26 px would come out
// blurred. The document's root goes inside a new root of `size` pixels whose
// view box is the old root's extent, so the old one fills it exactly. A
// document this cannot take apart is returned as it is: blurred, but drawn.
std::string resizedIcon(const std::string& svg, int size) {
    const auto tag = rootStartTag(svg);
    if (!tag) {
        return svg;
    }
    const std::string start = svg.substr(tag->first, tag->second - tag->first);
    const std::optional<std::string> width = plainLength(attribute(start, "width"));
    const std::optional<std::string> height = plainLength(attribute(start, "height"));
    std::optional<std::string> viewBox;
    if (width && height) {
        viewBox = "0 0 " + *width + " " + *height;
    } else if (!attribute(start, "width") && !attribute(start, "height")) {
        // The old root then fills whatever holds it.
        viewBox = attribute(start, "viewBox");
    }
    if (!viewBox) {
        return svg;
    }
    const std::string sizeText = std::to_string(size);
    return svg.substr(0, tag->first) + "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
           sizeText + "\" height=\"" + sizeText + "\" viewBox=\"" + escapeMarkup(*viewBox) + "\">" +
           svg.substr(tag->first) + "</svg>\n";
}

}  // namespace dfmext_host
