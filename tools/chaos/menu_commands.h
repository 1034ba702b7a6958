// The actions of the plug-in's "Tarnwell" sub-menu: the icon each shows and
// the command the plug-in sends for it. The host loop tells an action by its
// icon, which is the same in every language (the text is translated); the
// daemon recognises the commands.
#ifndef TARNWELL_TOOLS_CHAOS_MENU_COMMANDS_H_
#define TARNWELL_TOOLS_CHAOS_MENU_COMMANDS_H_

#include <string>

namespace tarnwell::chaos {

struct MenuCommand {
    const char* icon;
    const char* command;
};

inline constexpr MenuCommand kMenuCommands[] = {
    {"tarnwell-package", "create_sync_folder"},         // Sync Only for Me
    {"tarnwell-group", "invite_friends"},               // Sync with Friends
    {"tarnwell-upload", "upload_files"},                // Upload to Tarnwell
    {"tarnwell-email", "share_by_email"},               // Send by Email
    {"tarnwell-link", "publish_obj"},                   // Get Share Link
    {"tarnwell-history", "browse_file_history"},        // Browse File History
    {"tarnwell-small", "show_sync_folder_properties"},  // Properties
};

// The command of the action with this icon; "" for none.
inline const char* commandOfIcon(const std::string& icon) {
    for (const MenuCommand& m : kMenuCommands) {
        if (icon == m.icon) {
            return m.command;
        }
    }
    return "";
}

inline bool isMenuCommand(const std::string& name) {
    for (const MenuCommand& m : kMenuCommands) {
        if (name == m.command) {
            return true;
        }
    }
    return false;
}

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_MENU_COMMANDS_H_
