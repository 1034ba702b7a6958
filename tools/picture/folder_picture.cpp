#include "picture/folder_picture.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <system_error>

#include "picture/svg_text.h"
#include "tools_common/own_folders.h"

namespace dfmext_host {

namespace {

using Layout = dfmext::DFMExtEmblemIconLayout;

// The grid, in pixels of the picture. Each entry gets a tile; its icon is
// drawn at 64 px, as a file manager's icon view does at its default zoom.
constexpr int kTileWidth = 120;
constexpr int kTileHeight = 118;
constexpr int kIconSize = 64;
constexpr int kEmblemSize = 26;
// The pixels an emblem's icon is drawn with before it is shrunk to
// kEmblemSize: enough to stay sharp when the picture is shown four times
// larger.
constexpr int kPixelsPerEmblem = 4 * kEmblemSize;
// How far an emblem reaches past the icon's edge, as file managers draw them.
constexpr int kEmblemOverhang = 4;
constexpr int kColumns = 6;
constexpr int kMargin = 16;
constexpr int kHeaderHeight = 44;
// Names longer than this many characters are cut and end in an ellipsis.
constexpr std::size_t kMaxNameChars = 16;
// A plug-in's offsets move an emblem at most this far, so that it stays on
// its tile.
constexpr int kMaxOffset = 16;
// An icon file larger than this is not an emblem; it is left out.
constexpr std::uintmax_t kMaxIconBytes = std::uintmax_t{256} * 1024;

constexpr const char* kInk = "#27384a";
constexpr const char* kFont = "DejaVu Sans, Verdana, sans-serif";

// At most kMaxNameChars characters of valid UTF-8 text, the last one an
// ellipsis when something was cut.
std::string shortName(const std::string& valid) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < valid.size(); ++i) {
        if ((static_cast<unsigned char>(valid[i]) & 0xC0) != 0x80 && ++chars == kMaxNameChars) {
            // Is there more than this last character?
            std::size_t end = i + 1;
            while (end < valid.size() && (static_cast<unsigned char>(valid[end]) & 0xC0) == 0x80) {
                ++end;
            }
            if (end < valid.size()) {
                return valid.substr(0, i) + "\xE2\x80\xA6";
            }
            break;
        }
    }
    return valid;
}

std::string base64(const std::string& bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0U);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            out += k <= n ? kDigits[(group >> (18 - 6 * k)) & 0x3F] : '=';
        }
    }
    return out;
}

std::string readSmallFile(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > kMaxIconBytes) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return in ? content.str() : std::string();
}

// The upper-case extension shown on a file's page ("" for none, or one too
// long to fit).
std::string extensionLabel(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() || name.size() - dot > 5) {
        return {};
    }
    std::string label = name.substr(dot + 1);
    for (char& c : label) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return label;
}

// A generic folder, kIconSize square, its top-left corner at the origin.
void drawFolderIcon(std::ostream& svg) {
    svg << R"(<path d="M4 14a4 4 0 0 1 4-4h15l5 5h28a4 4 0 0 1 4 4v33a4 4 0 0 1-4 4H8)"
           R"(a4 4 0 0 1-4-4Z" fill="#5d8fc2"/>)"
        << R"(<path d="M4 22a4 4 0 0 1 4-4h48a4 4 0 0 1 4 4v30a4 4 0 0 1-4 4H8a4 4 0 0 1-4-4Z")"
           R"( fill="#93bde6"/>)"
        << R"(<path d="M4 24h56" stroke="#b9d6f2" stroke-width="2"/>)";
}

// A generic file: a page with a folded corner, a few lines of text and the
// extension on a band.
void drawFileIcon(std::ostream& svg, const std::string& name) {
    svg << R"(<path d="M15 4h24l13 13v41a2 2 0 0 1-2 2H15a2 2 0 0 1-2-2V6a2 2 0 0 1 2-2Z")"
           R"( fill="#ffffff" stroke="#a3afbb" stroke-width="1.5"/>)"
        << R"(<path d="M39 4v11a2 2 0 0 0 2 2h11" fill="#e3e8ed" stroke="#a3afbb")"
           R"( stroke-width="1.5" stroke-linejoin="round"/>)"
        << R"(<path d="M19 14h14M19 20h26M19 26h26M19 32h20" stroke="#c9d1d9" stroke-width="2"/>)";
    const std::string label = extensionLabel(name);
    if (!label.empty()) {
        svg << R"(<rect x="18" y="40" width="30" height="12" rx="2" fill="#5b6b7c"/>)"
            << R"(<text x="33" y="49.5" font-family=")" << kFont
            << R"(" font-size="8" font-weight="bold" fill="#ffffff" text-anchor="middle">)"
            << xmlEscape(label) << "</text>";
    }
}

// Where an emblem at `type` goes, relative to the icon's top-left corner;
// `index` counts earlier emblems at the same corner, which push it inwards.
std::pair<int, int> emblemPosition(Layout::LocationType type, int index) {
    const int near = -kEmblemOverhang;
    const int far = kIconSize - kEmblemSize + kEmblemOverhang;
    const int shift = index * (kEmblemSize - 6);
    switch (type) {
        case Layout::LocationType::BottomRight:
            return {far - shift, far};
        case Layout::LocationType::TopLeft:
            return {near + shift, near};
        case Layout::LocationType::TopRight:
            return {far - shift, near};
        case Layout::LocationType::BottomLeft:
            break;
    }
    // BottomLeft, and any value the host does not know.
    return {near + shift, far};
}

}  // namespace

std::string xmlEscape(const std::string& text) {
    return escapeMarkup(validXmlText(text));
}

std::string iconDataUri(const std::string& file, int pixels) {
    const std::string content = readSmallFile(file);
    return content.empty() ? std::string()
                           : "data:image/svg+xml;base64," + base64(resizedIcon(content, pixels));
}

std::vector<std::string> defaultIconThemeDirs() {
    std::vector<std::string> dirs;
    const std::filesystem::path folder = tarnwell::tools::programFolder();
    if (!folder.empty()) {
        dirs.push_back((folder / ".." / "share" / "icons" / "hicolor").lexically_normal().string());
    }
    for (std::string& theme : tarnwell::tools::hicolorThemeFolders()) {
        dirs.push_back(std::move(theme));
    }
    return dirs;
}

std::string findScalableIcon(const std::vector<std::string>& themeDirs,
                             const std::string& iconName) {
    if (iconName.empty() || iconName.find('/') != std::string::npos || iconName == "." ||
        iconName == "..") {
        return {};
    }
    for (const std::string& theme : themeDirs) {
        std::error_code error;
        std::filesystem::directory_iterator it(theme + "/scalable", error);
        std::vector<std::string> contexts;
        for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
            contexts.push_back(it->path().string());
        }
        // Sorted, so that a name found in two contexts is always the same file.
        std::sort(contexts.begin(), contexts.end());
        for (const std::string& context : contexts) {
            std::string candidate = context;
            candidate.append("/").append(iconName).append(".svg");
            if (std::filesystem::is_regular_file(candidate, error)) {
                return candidate;
            }
        }
    }
    return {};
}

namespace {

using IconIds = std::map<std::string, std::string>;  // icon name -> id in <defs>

// Each emblem's icon file, embedded once in <defs> to be drawn with <use>;
// the ids go to `iconIds`, the names of icons not found to `missingIcons`.
std::string embedIcons(const std::vector<PictureEntry>& entries,
                       const std::vector<std::string>& themeDirs,
                       std::vector<std::string>& missingIcons, IconIds& iconIds) {
    std::ostringstream defs;
    for (const PictureEntry& entry : entries) {
        for (const Layout& layout : entry.emblem.emblems()) {
            const std::string& icon = layout.iconPath();
            if (iconIds.count(icon) != 0 ||
                std::find(missingIcons.begin(), missingIcons.end(), icon) != missingIcons.end()) {
                continue;
            }
            const std::string file = findScalableIcon(themeDirs, icon);
            const std::string content = file.empty() ? std::string() : readSmallFile(file);
            if (content.empty()) {
                missingIcons.push_back(icon);
                continue;
            }
            const std::string id = "icon" + std::to_string(iconIds.size());
            iconIds[icon] = id;
            defs << "<image id=\"" << id << "\" width=\"" << kEmblemSize << "\" height=\""
                 << kEmblemSize << "\" href=\"data:image/svg+xml;base64,"
                 << base64(resizedIcon(content, kPixelsPerEmblem)) << "\"/>\n";
        }
    }
    return defs.str();
}

// The document's start, the window with its header bar, and the title.
void drawWindow(std::ostream& svg, const std::string& title, int width, int height,
                const std::string& defs) {
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << " " << height << "\">\n"
        << "<defs>\n"
        << defs << "</defs>\n"
        << "<rect width=\"" << width << "\" height=\"" << height
        << "\" rx=\"8\" fill=\"#ffffff\" stroke=\"#d5dbe1\"/>\n"
        << "<path d=\"M0 8a8 8 0 0 1 8-8h" << width - 16 << "a8 8 0 0 1 8 8v" << kHeaderHeight - 8
        << "H0Z\" fill=\"#eef1f4\"/>\n"
        << "<path d=\"M0 " << kHeaderHeight << "h" << width << "\" stroke=\"#d5dbe1\"/>\n"
        << "<g transform=\"translate(" << kMargin << " 12) scale(0.3125)\">";
    drawFolderIcon(svg);
    svg << "</g>\n"
        << "<text x=\"" << kMargin + 28 << "\" y=\"" << kHeaderHeight / 2 + 5 << "\" font-family=\""
        << kFont << "\" font-size=\"15\" font-weight=\"bold\" fill=\"" << kInk << "\">"
        << xmlEscape(title) << "</text>\n";
}

// The entry's emblems at their corners of the icon drawn at (iconX, iconY).
void drawEmblems(std::ostream& svg, const PictureEntry& entry, int iconX, int iconY,
                 const IconIds& iconIds) {
    std::map<int, int> perCorner;
    for (const Layout& layout : entry.emblem.emblems()) {
        const auto corner = static_cast<int>(layout.locationType());
        auto [x, y] = emblemPosition(layout.locationType(), perCorner[corner]++);
        x += iconX + std::clamp(layout.x(), -kMaxOffset, kMaxOffset);
        y += iconY + std::clamp(layout.y(), -kMaxOffset, kMaxOffset);
        const auto found = iconIds.find(layout.iconPath());
        if (found != iconIds.end()) {
            svg << "<use class=\"emblem\" href=\"#" << found->second << "\" x=\"" << x << "\" y=\""
                << y << "\"/>\n";
            continue;
        }
        // The icon is not installed: a file manager would draw nothing here,
        // but the picture should show that something is missing.
        const int r = kEmblemSize / 2;
        svg << "<circle class=\"emblem missing\" cx=\"" << x + r << "\" cy=\"" << y + r << "\" r=\""
            << r - 1 << "\" fill=\"#ffffff\" stroke=\"#c0392b\""
            << " stroke-width=\"2\" stroke-dasharray=\"4 3\"/>\n";
    }
}

// One entry's tile, the `index`th of the grid: its icon, emblems and name.
void drawEntry(std::ostream& svg, const PictureEntry& entry, int index, int columns,
               const IconIds& iconIds) {
    const int tileX = kMargin + (index % columns) * kTileWidth;
    const int tileY = kHeaderHeight + kMargin + (index / columns) * kTileHeight;
    const int iconX = tileX + (kTileWidth - kIconSize) / 2;
    const int iconY = tileY + 4;
    std::string names;
    for (const Layout& layout : entry.emblem.emblems()) {
        names += (names.empty() ? "" : ",") + layout.iconPath();
    }
    svg << "<g class=\"entry\" data-name=\"" << xmlEscape(entry.name) << "\" data-emblems=\""
        << xmlEscape(names) << "\">\n"
        << "<g transform=\"translate(" << iconX << " " << iconY << ")\">";
    if (entry.isFolder) {
        drawFolderIcon(svg);
    } else {
        drawFileIcon(svg, entry.name);
    }
    svg << "</g>\n";
    drawEmblems(svg, entry, iconX, iconY, iconIds);
    svg << "<text x=\"" << tileX + kTileWidth / 2 << "\" y=\""
        << iconY + kIconSize + kEmblemOverhang + 18 << "\" font-family=\"" << kFont
        << "\" font-size=\"12\" fill=\"" << kInk << "\" text-anchor=\"middle\">"
        << escapeMarkup(shortName(validXmlText(entry.name))) << "</text>\n"
        << "</g>\n";
}

}  // namespace

std::string drawFolderPicture(const std::string& title, const std::vector<PictureEntry>& entries,
                              const std::vector<std::string>& themeDirs,
                              std::vector<std::string>& missingIcons) {
    IconIds iconIds;
    const std::string defs = embedIcons(entries, themeDirs, missingIcons, iconIds);
    const int count = static_cast<int>(entries.size());
    const int columns = std::clamp(count, 1, kColumns);
    const int rows = std::max(1, (count + columns - 1) / columns);
    const int width = 2 * kMargin + columns * kTileWidth;
    const int height = kHeaderHeight + kMargin + rows * kTileHeight + kMargin / 2;
    std::ostringstream svg;
    drawWindow(svg, title, width, height, defs);
    for (int i = 0; i < count; ++i) {
        drawEntry(svg, entries[static_cast<std::size_t>(i)], i, columns, iconIds);
    }
    svg << "</svg>\n";
    return svg.str();
}

}  // namespace dfmext_host
