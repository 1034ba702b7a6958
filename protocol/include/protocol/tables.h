// The plug-in's menu actions and emblems: the one table of each, which the
// plug-in shows, the daemons acknowledge, the chaos host picks from and
// tarnwell-doctor looks for in the icon theme.
//
// Constants and pure functions; any thread.
#ifndef TARNWELL_PROTOCOL_TABLES_H_
#define TARNWELL_PROTOCOL_TABLES_H_

#include <span>
#include <string_view>
#include <vector>

#include "protocol/vocabulary.h"

// Marks a string literal for xgettext without translating it where it
// stands; the plug-in translates it where it is shown.
#ifndef N_
#define N_(text) text
#endif

namespace tarnwell::protocol {

// One entry of the "Tarnwell" sub-menu. The text is a msgid of the plug-in's
// text domain: shown translated, logged and matched as it is here. The icon
// is the same in every language; the command goes to the daemon with the one
// argument "path".
struct MenuAction {
    const char* text;
    const char* icon;
    const char* command;
};

// TRANSLATORS: an entry of the file manager's "Tarnwell" sub-menu: keep it short.
inline constexpr MenuAction kSyncOnlyForMe{N_("Sync Only for Me"), "tarnwell-package",
                                           "create_sync_folder"};
// TRANSLATORS: a sub-menu entry: share the folder's sync with other people.
inline constexpr MenuAction kSyncWithFriends{N_("Sync with Friends"), "tarnwell-group",
                                             "invite_friends"};
// TRANSLATORS: a sub-menu entry; Tarnwell is the product's name.
inline constexpr MenuAction kUpload{N_("Upload to Tarnwell"), "tarnwell-upload", "upload_files"};
// TRANSLATORS: a sub-menu entry: send the file as an email attachment or link.
inline constexpr MenuAction kSendByEmail{N_("Send by Email"), "tarnwell-email", "share_by_email"};
// TRANSLATORS: a sub-menu entry: make a public link to the file.
inline constexpr MenuAction kShareLink{N_("Get Share Link"), "tarnwell-link", "publish_obj"};
// TRANSLATORS: a sub-menu entry: the file's earlier versions.
inline constexpr MenuAction kFileHistory{N_("Browse File History"), "tarnwell-history",
                                         "browse_file_history"};
// TRANSLATORS: a sub-menu entry: the sync folder's settings.
inline constexpr MenuAction kProperties{N_("Properties"), "tarnwell-small",
                                        "show_sync_folder_properties"};

// Every action once, each icon belonging to one action.
inline constexpr MenuAction kMenuActions[] = {kSyncOnlyForMe, kSyncWithFriends, kUpload,
                                              kSendByEmail,   kShareLink,       kFileHistory,
                                              kProperties};

// The entry that opens the sub-menu. The product's name is the same in every
// language, so it is not translated.
inline constexpr const char* kMenuEntryText = "Tarnwell";
inline constexpr const char* kMenuEntryIcon = "tarnwell-small";

// Where the selected file or folder lies: outside every sync root, below one,
// or a root itself.
enum class MenuPlace { OutsideRoots, BelowRoot, Root };

// The sub-menu's actions for a place, in the order they are shown. A root
// gets the same whether it is a folder or not.
std::span<const MenuAction> menuActionsFor(MenuPlace place, bool isDirectory);

// The action with this icon or this command; null for none.
const MenuAction* menuActionWithIcon(std::string_view icon);
const MenuAction* menuActionWithCommand(std::string_view command);

// The emblem drawn for each status that has one.
struct Emblem {
    SyncStatus status;
    const char* icon;
};
inline constexpr Emblem kEmblems[] = {
    {UpToDate, "emblem-tarnwell-uptodate"},
    {Syncing, "emblem-tarnwell-syncing"},
    {Locked, "emblem-tarnwell-locked"},
    {ReadOnly, "emblem-tarnwell-readonly"},
};

// The icon-theme name drawn for a status, or null for a value without one.
const char* emblemIconName(SyncStatus status);

// Every icon name the plug-in hands the host, each once: the emblems, the
// entry's, then the actions'.
std::vector<const char*> allIconNames();

}  // namespace tarnwell::protocol

#endif  // TARNWELL_PROTOCOL_TABLES_H_
