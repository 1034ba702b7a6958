// The actions of the plug-in's "Tarnwell" sub-menu: the text the host shows
// and the command the plug-in sends for it. The host loop picks by text, the
// daemon recognises the commands.
#ifndef TARNWELL_TOOLS_CHAOS_MENU_COMMANDS_H_
#define TARNWELL_TOOLS_CHAOS_MENU_COMMANDS_H_

#include <string>

namespace tarnwell::chaos {

struct MenuCommand {
    const char* text;
    const char* command;
};

inline constexpr MenuCommand kMenuCommands[] = {
    {"Sync Only for Me", "create_sync_folder"},
    {"Sync with Friends", "invite_friends"},
    {"Upload to Tarnwell", "upload_files"},
    {"Send by Email", "share_by_email"},
    {"Get Share Link", "publish_obj"},
    {"Browse File History", "browse_file_history"},
    {"Properties", "show_sync_folder_properties"},
};

// The command of the action with this text; "" for none.
inline const char* commandOfText(const std::string& text) {
    for (const MenuCommand& m : kMenuCommands) {
        if (text == m.text) {
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
