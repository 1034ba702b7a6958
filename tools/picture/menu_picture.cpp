#include "picture/menu_picture.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#include "picture/folder_picture.h"

namespace dfmext_host {

namespace {

// A menu's rows, in pixels of the picture, about as a desktop draws them.
constexpr int kRowHeight = 26;
constexpr int kMenuPadding = 5;  // above the first row and below the last
constexpr int kIconSize = 16;
constexpr int kIconPixels = 4 * kIconSize;  // sharp when shown four times larger
constexpr int kTextLeft = 34;               // from the menu's left edge
constexpr int kArrowSpace = 30;             // right of the text, for a sub-menu's arrow
constexpr int kMinMenuWidth = 150;
constexpr int kFontSize = 13;
constexpr int kMargin = 12;  // kept free past a menu that reaches beyond the folder
// How far into the entry's 64 px icon the right click landed.
constexpr int kClickX = 44;
constexpr int kClickY = 36;

constexpr const char* kFont = "DejaVu Sans, Verdana, sans-serif";
constexpr const char* kInk = "#27384a";
constexpr const char* kHighlight = "#3584e4";

struct Box {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The width `text` takes at kFontSize, guessed without a font: the letters
// of a menu text average a little over half an em in DejaVu Sans; the wide
// characters of East Asian scripts (from U+1000 up, in practice) take a full
// em. Errs on the wide side.
int textWidth(const std::string& text) {
    double ems = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) {
            ems += byte >= 0xE1 ? 1.0 : 0.56;
        }
    }
    return static_cast<int>(ems * kFontSize) + 1;
}

Box menuBox(const std::vector<MenuPictureItem>& items) {
    int widest = 0;
    for (const MenuPictureItem& item : items) {
        widest = std::max(widest, textWidth(item.text));
    }
    return {0, 0, std::max(kMinMenuWidth, kTextLeft + widest + kArrowSpace),
            2 * kMenuPadding + static_cast<int>(items.size()) * kRowHeight};
}

// The index of the first action with a sub-menu, or -1.
int openIndex(const std::vector<MenuPictureItem>& items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].subMenu.empty()) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The integer in `text` right after the first `key` found at or after
// `from`; nullopt when there is none.
std::optional<int> numberAfter(const std::string& text, const std::string& key,
                               std::size_t from = 0) {
    const std::size_t at = text.find(key, from);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const char* const start = text.c_str() + at + key.size();
    char* end = nullptr;
    const long value = std::strtol(start, &end, 10);
    return end == start ? std::nullopt : std::optional<int>(static_cast<int>(value));
}

// What the menus need to know of the folder picture: where its root element
// starts, its size, and the top-left corner of the clicked entry's icon.
struct FolderFacts {
    std::size_t rootStart = 0;
    int width = 0;
    int height = 0;
    int iconX = 0;
    int iconY = 0;
};

std::optional<FolderFacts> readFolderPicture(const std::string& svg, const std::string& entryName) {
    const std::size_t root = svg.find("<svg ");
    const std::size_t entry =
        svg.find("<g class=\"entry\" data-name=\"" + xmlEscape(entryName) + "\"");
    if (root == std::string::npos || entry == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t translate = svg.find("translate(", entry);
    const std::optional<int> width = numberAfter(svg, " width=\"", root);
    const std::optional<int> height = numberAfter(svg, " height=\"", root);
    const std::optional<int> iconX = numberAfter(svg, "translate(", entry);
    const std::optional<int> iconY =
        translate == std::string::npos ? std::nullopt : numberAfter(svg, " ", translate);
    if (!width || !height || !iconX || !iconY) {
        return std::nullopt;
    }
    return FolderFacts{root, *width, *height, *iconX, *iconY};
}

// The menu and each sub-menu opened from it, the first action with a
// sub-menu opening the next level.
std::vector<const std::vector<MenuPictureItem>*> openLevels(
    const std::vector<MenuPictureItem>& items) {
    std::vector<const std::vector<MenuPictureItem>*> levels = {&items};
    for (int open = openIndex(items); open >= 0; open = openIndex(*levels.back())) {
        levels.push_back(&(*levels.back())[static_cast<std::size_t>(open)].subMenu);
    }
    return levels;
}

// The menus side by side, each beside the highlighted row of the one before
// it: to the right of the click, or to its left when they would reach past
// the folder's right edge, as desktops place them.
std::vector<Box> placeMenus(const std::vector<const std::vector<MenuPictureItem>*>& levels,
                            const FolderFacts& folder) {
    int total = 0;
    for (const auto* level : levels) {
        total += menuBox(*level).width;
    }
    const int clickX = folder.iconX + kClickX;
    const bool rightwards = clickX + total + kMargin <= folder.width;
    std::vector<Box> boxes;
    int x = clickX;
    int y = folder.iconY + kClickY;
    for (const auto* level : levels) {
        Box box = menuBox(*level);
        box.x = rightwards ? x : x - box.width;
        box.y = y;
        x = rightwards ? box.x + box.width - 4 : box.x + 4;
        y = box.y + std::max(openIndex(*level), 0) * kRowHeight;
        boxes.push_back(box);
    }
    return boxes;
}

void collectItems(const dfmext::DFMExtMenu* menu, std::vector<const dfmext::DFMExtMenu*>& branch,
                  std::vector<MenuPictureItem>& items) {
    if (std::find(branch.begin(), branch.end(), menu) != branch.end()) {
        return;
    }
    branch.push_back(menu);
    for (dfmext::DFMExtAction* action : menu->actions()) {
        MenuPictureItem& item = items.emplace_back();
        item.text = action->text();
        item.icon = action->icon();
        if (action->menu() != nullptr) {
            collectItems(action->menu(), branch, item.subMenu);
        }
    }
    branch.pop_back();
}

// Each action icon once, in <defs>, as an <image> with id "menu-iconN".
std::map<std::string, std::string> embedIcons(const std::vector<MenuPictureItem>& items,
                                              const std::vector<std::string>& themeDirs,
                                              std::ostream& defs,
                                              std::vector<std::string>& missingIcons) {
    std::map<std::string, std::string> ids;
    std::vector<const std::vector<MenuPictureItem>*> pending = {&items};
    while (!pending.empty()) {
        const std::vector<MenuPictureItem>* level = pending.back();
        pending.pop_back();
        for (const MenuPictureItem& item : *level) {
            pending.push_back(&item.subMenu);
            if (item.icon.empty() || ids.count(item.icon) != 0 ||
                std::find(missingIcons.begin(), missingIcons.end(), item.icon) !=
                    missingIcons.end()) {
                continue;
            }
            const std::string file = findScalableIcon(themeDirs, item.icon);
            const std::string uri = file.empty() ? std::string() : iconDataUri(file, kIconPixels);
            if (uri.empty()) {
                missingIcons.push_back(item.icon);
                continue;
            }
            const std::string id = "menu-icon" + std::to_string(ids.size());
            ids[item.icon] = id;
            defs << "<image id=\"" << id << "\" width=\"" << kIconSize << "\" height=\""
                 << kIconSize << "\" href=\"" << uri << "\"/>\n";
        }
    }
    return ids;
}

// One menu with its top-left corner at `box`; row `open` highlighted.
void drawMenu(std::ostream& svg, const std::vector<MenuPictureItem>& items, const Box& box,
              int depth, int open, const std::map<std::string, std::string>& iconIds) {
    svg << "<rect x=\"" << box.x + 1 << "\" y=\"" << box.y + 3 << "\" width=\"" << box.width
        << "\" height=\"" << box.height << "\" rx=\"6\" fill=\"#000000\" fill-opacity=\"0.16\"/>\n"
        << "<rect x=\"" << box.x << "\" y=\"" << box.y << "\" width=\"" << box.width
        << "\" height=\"" << box.height << "\" rx=\"6\" fill=\"#ffffff\" stroke=\"#c3cbd4\"/>\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
        const MenuPictureItem& item = items[i];
        const int row = box.y + kMenuPadding + static_cast<int>(i) * kRowHeight;
        const bool highlighted = static_cast<int>(i) == open;
        svg << "<g class=\"menu-action\" data-depth=\"" << depth << "\" data-text=\""
            << xmlEscape(item.text) << "\" data-icon=\"" << xmlEscape(item.icon) << "\">\n";
        if (highlighted) {
            svg << "<rect x=\"" << box.x + 4 << "\" y=\"" << row << "\" width=\"" << box.width - 8
                << "\" height=\"" << kRowHeight << "\" rx=\"4\" fill=\"" << kHighlight << "\"/>\n";
        }
        const int iconX = box.x + 10;
        const int iconY = row + (kRowHeight - kIconSize) / 2;
        const auto found = iconIds.find(item.icon);
        if (found != iconIds.end()) {
            svg << "<use href=\"#" << found->second << "\" x=\"" << iconX << "\" y=\"" << iconY
                << "\"/>\n";
        } else if (!item.icon.empty()) {
            svg << "<circle class=\"missing\" cx=\"" << iconX + kIconSize / 2 << "\" cy=\""
                << iconY + kIconSize / 2 << "\" r=\"" << kIconSize / 2 - 1
                << "\" fill=\"none\" stroke=\"#c0392b\" stroke-dasharray=\"3 2\"/>\n";
        }
        const char* const ink = highlighted ? "#ffffff" : kInk;
        svg << "<text x=\"" << box.x + kTextLeft << "\" y=\"" << row + 17.5 << "\" font-family=\""
            << kFont << "\" font-size=\"" << kFontSize << "\" fill=\"" << ink << "\">"
            << xmlEscape(item.text) << "</text>\n";
        if (!item.subMenu.empty()) {
            const int arrowX = box.x + box.width - 18;
            svg << "<path d=\"M" << arrowX << " " << row + 9 << "l4 4-4 4\" fill=\"none\" stroke=\""
                << ink << "\" stroke-width=\"1.5\"/>\n";
        }
        svg << "</g>\n";
    }
}

}  // namespace

std::vector<MenuPictureItem> menuPictureItems(const dfmext::DFMExtMenu* menu) {
    std::vector<MenuPictureItem> items;
    std::vector<const dfmext::DFMExtMenu*> branch;
    if (menu != nullptr) {
        collectItems(menu, branch, items);
    }
    return items;
}

std::optional<std::string> drawMenuOverFolder(const std::string& folderPicture,
                                              const std::string& entryName,
                                              const std::vector<MenuPictureItem>& items,
                                              const std::vector<std::string>& themeDirs,
                                              std::vector<std::string>& missingIcons) {
    const std::optional<FolderFacts> folder = readFolderPicture(folderPicture, entryName);
    if (!folder) {
        return std::nullopt;
    }
    const std::vector<const std::vector<MenuPictureItem>*> levels = openLevels(items);
    const std::vector<Box> boxes = placeMenus(levels, *folder);
    // The picture grows to hold the menus, with a margin past them.
    int left = 0;
    int right = folder->width;
    int bottom = folder->height;
    for (const Box& box : boxes) {
        left = std::min(left, box.x - kMargin);
        right = std::max(right, box.x + box.width + kMargin);
        bottom = std::max(bottom, box.y + box.height + kMargin);
    }

    std::ostringstream defs;
    const std::map<std::string, std::string> iconIds =
        embedIcons(items, themeDirs, defs, missingIcons);
    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << right - left << "\" height=\""
        << bottom << "\" viewBox=\"0 0 " << right - left << " " << bottom << "\">\n<defs>\n"
        << defs.str() << "</defs>\n<g transform=\"translate(" << -left << " 0)\">\n"
        << folderPicture.substr(folder->rootStart) << "<rect class=\"selected\" x=\""
        << folder->iconX - 24 << "\" y=\"" << folder->iconY - 4
        << "\" width=\"112\" height=\"98\" rx=\"6\" fill=\"" << kHighlight
        << "\" fill-opacity=\"0.18\" stroke=\"" << kHighlight << "\" stroke-opacity=\"0.6\"/>\n";
    for (std::size_t depth = 0; depth < levels.size(); ++depth) {
        drawMenu(svg, *levels[depth], boxes[depth], static_cast<int>(depth),
                 depth + 1 < levels.size() ? openIndex(*levels[depth]) : -1, iconIds);
    }
    svg << "</g>\n</svg>\n";
    return svg.str();
}

}  // namespace dfmext_host
