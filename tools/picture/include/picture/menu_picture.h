// A context menu drawn open over a folder picture (see folder_picture.h), as
// a file manager shows it after a right click on one entry: the entry
// highlighted, the menu the plug-in built beside its icon, and the first
// action with a sub-menu opened, level by level. Each action is drawn with
// its text and its icon, looked up in hicolor-style theme folders and
// embedded whole.
//
// Every action is a group that names what it shows, so a program can check
// the picture without rendering it:
//   <g class="menu-action" data-depth="D" data-text="TEXT" data-icon="ICON">
// (D is 0 for the menu itself, 1 for a sub-menu; both texts XML-escaped).
//
// Thread safety: plain functions over values; they read the icon files.
// Built on the host's one thread, like the menus they are made from.
#ifndef TARNWELL_TOOLS_PICTURE_MENU_PICTURE_H_
#define TARNWELL_TOOLS_PICTURE_MENU_PICTURE_H_

#include <optional>
#include <string>
#include <vector>

#include "dfmext/menu.h"

namespace dfmext_host {

struct MenuPictureItem {
    std::string text;
    std::string icon;
    std::vector<MenuPictureItem> subMenu;
};

// The actions of `menu` and, under each, those of its sub-menu. A menu that
// holds itself somewhere below is not entered again on the same branch.
std::vector<MenuPictureItem> menuPictureItems(const dfmext::DFMExtMenu* menu);

// `folderPicture` (a document of drawFolderPicture) with `items` drawn open
// at the icon of its entry `entryName`; nullopt when the picture has no
// such entry. The picture grows where the menus reach past it. An action
// icon that is not found is drawn as a placeholder and its name added to
// `missingIcons` (once each).
std::optional<std::string> drawMenuOverFolder(const std::string& folderPicture,
                                              const std::string& entryName,
                                              const std::vector<MenuPictureItem>& items,
                                              const std::vector<std::string>& themeDirs,
                                              std::vector<std::string>& missingIcons);

}  // namespace dfmext_host

#endif  // TARNWELL_TOOLS_PICTURE_MENU_PICTURE_H_
