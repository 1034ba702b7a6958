// The "Tarnwell" sub-menu as every host shows it: which actions a selected
// file or folder gets, their texts in the user's language and their icons,
// and running one. The stand-in host's plug-in and the file managers' modules
// build their menus from this model, over the one table of actions
// (protocol/tables.h).
//
// Thread safety: any thread; menuFor runs on the host's GUI thread as a rule.
// menuFor looks at the file system once (whether the path is a folder) and at
// the core's memory; runMenuEntry queues the command and returns at once.
#ifndef TARNWELL_HOST_FACE_MENU_MODEL_H_
#define TARNWELL_HOST_FACE_MENU_MODEL_H_

#include <optional>
#include <string>
#include <vector>

namespace tarnwell {

class TarnwellCore;

struct MenuEntry {
    std::string text;  // translated, to show
    std::string msgid;  // as in the table: for logs, the same in every language
    std::string icon;  // icon-theme name
    std::string command;  // sent to the daemon with the argument "path"
};

struct MenuModel {
    std::string text;  // the entry that opens the sub-menu ("Tarnwell")
    std::string icon;
    std::string canonicalPath;  // what the actions act on
    std::vector<MenuEntry> entries;  // in the order shown
};

// The sub-menu for one selected file or folder; none while the daemon is not
// connected (its actions could not be sent).
std::optional<MenuModel> menuFor(TarnwellCore& core, const std::string& path);

// Sends the entry's command for `canonicalPath` and logs it; skipped (and
// logged) when the connection ended since the menu was built. `core` null
// means TarnwellCore::instance(), looked up when the action runs.
void runMenuEntry(TarnwellCore* core, const std::string& msgid, const std::string& command,
                  const std::string& canonicalPath);

}  // namespace tarnwell

#endif  // TARNWELL_HOST_FACE_MENU_MODEL_H_
