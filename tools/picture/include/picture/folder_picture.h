// A folder drawn as a file manager shows it, as an SVG document: a grid of
// entries, each a generic file or folder icon with the emblems a plug-in
// returned drawn at their corners and the entry's name below.
//
// The emblems are icon-theme names; their SVG files are looked up in
// hicolor-style theme folders and embedded whole, so the picture stands on
// its own (an SVG renderer will not follow file references out of it).
//
// Every entry is a group that names its entry and its emblems in
// machine-readable attributes, so a program can check what the picture shows
// without rendering it:
//   <g class="entry" data-name="NAME" data-emblems="ICON,ICON">
// (data-emblems is empty for an entry without emblems; both are XML-escaped).
// Its first child is the entry's 64 px icon, placed with
//   <g transform="translate(X Y)">
// at the icon's top-left corner; the root element gives the picture's width
// and height in pixels.
//
// Thread safety: plain functions over values; they read the icon files.
#ifndef TARNWELL_TOOLS_PICTURE_FOLDER_PICTURE_H_
#define TARNWELL_TOOLS_PICTURE_FOLDER_PICTURE_H_

#include <string>
#include <vector>

#include "dfmext/emblem.h"

namespace dfmext_host {

struct PictureEntry {
    std::string name;
    bool isFolder = false;
    // As the plug-in returned it, every layout in order.
    dfmext::DFMExtEmblem emblem;
};

// The theme folders searched when none is given: the one beside the program
// (<bin>/../share/icons/hicolor, which the build lays out and an install
// puts in place), then hicolor in each XDG data folder, by the rule
// tarnwell-doctor follows too (tools_common/own_folders.h).
std::vector<std::string> defaultIconThemeDirs();

// The scalable SVG of `iconName` in the first theme folder that has one, in
// any context folder (scalable/*/NAME.svg); empty when none has it. Names
// that could step out of the folder ("/", "..") are never looked up.
std::string findScalableIcon(const std::vector<std::string>& themeDirs,
                             const std::string& iconName);

// The SVG document of the folder `title` with `entries` in the order given.
// An emblem whose icon is not found is drawn as a placeholder and its name
// added to `missingIcons` (once each).
std::string drawFolderPicture(const std::string& title, const std::vector<PictureEntry>& entries,
                              const std::vector<std::string>& themeDirs,
                              std::vector<std::string>& missingIcons);

// The icon document `file` (an SVG) as a data: URI that renderers draw
// sharply at `pixels` pixels, for an <image> element; empty when the file
// cannot be read or is too large to be an icon.
std::string iconDataUri(const std::string& file, int pixels);

// `text` made safe for XML character data and attribute values: markup
// characters escaped, bytes that are not valid UTF-8 and control characters
// (which XML cannot carry) replaced by U+FFFD.
std::string xmlEscape(const std::string& text);

}  // namespace dfmext_host

#endif  // TARNWELL_TOOLS_PICTURE_FOLDER_PICTURE_H_
