// Text and SVG as the folder picture writes and reads them: names made safe
// for XML, and an icon file from the theme, which the picture embeds and which
// may hold anything, given the size to be drawn at.
//
// Free of shared state; safe on any thread.
#ifndef TARNWELL_TOOLS_PICTURE_SVG_TEXT_H_
#define TARNWELL_TOOLS_PICTURE_SVG_TEXT_H_

#include <string>

namespace dfmext_host {

// `text` with every byte sequence that is not valid UTF-8, and every
// character XML 1.0 cannot carry, replaced by U+FFFD.
std::string validXmlText(const std::string& text);

// `text` with the five markup characters written as entities, and TAB, LF
// and CR as character references, so that an attribute value keeps them.
std::string escapeMarkup(const std::string& text);

// An icon document that renderers rasterize at `size` pixels: the document's
// root inside a new root of that size whose view box is the old root's
// extent. A document this cannot take apart is returned as it is.
std::string resizedIcon(const std::string& svg, int size);

}  // namespace dfmext_host

#endif  // TARNWELL_TOOLS_PICTURE_SVG_TEXT_H_
