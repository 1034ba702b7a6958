// The context-menu provider: a "Tarnwell" sub-menu for one selected file or
// folder while the daemon is connected, whose actions send one command each.
//
// Thread safety: runs on the host's UI thread only. menuProxy_ is written by
// initialize and read by the builds, all on that thread.
#ifndef TARNWELL_PLUGINS_TARNWELL_MENU_PLUGIN_H_
#define TARNWELL_PLUGINS_TARNWELL_MENU_PLUGIN_H_

#include <list>
#include <string>

#include "dfmext/menu.h"

namespace tarnwell {

class TarnwellCore;
struct MenuEntry;

class TarnwellMenuPlugin : public dfmext::DFMExtMenuPlugin {
public:
    // Registers initialize and the two builds with the host. The core defaults
    // to TarnwellCore::instance(); tests pass a core of their own.
    explicit TarnwellMenuPlugin(TarnwellCore* core = nullptr);

    void initialize(dfmext::DFMExtMenuProxy* proxy);
    bool buildNormalMenu(dfmext::DFMExtMenu* main, const std::string& currentPath,
                         const std::string& targetPath, const std::list<std::string>& selectedPaths,
                         bool onDesktop);
    bool buildEmptyAreaMenu(dfmext::DFMExtMenu* main, const std::string& currentPath,
                            bool onDesktop);

    // A new action, owned by the host, whose trigger sends `command` with the
    // argument "path" = `path`. `text` is a msgid of the plug-in's text
    // domain: the action shows its translation, and the trigger's log line
    // the text itself.
    dfmext::DFMExtAction* createMenuAction(const std::string& text, const std::string& icon,
                                           const std::string& command,
                                           const std::string& path) const;

private:
    TarnwellCore* core() const;
    // The same for an entry of the menu model, whose text is translated.
    dfmext::DFMExtAction* createMenuAction(const MenuEntry& entry, const std::string& path) const;

    TarnwellCore* const core_;  // constant after construction; null means instance()
    dfmext::DFMExtMenuProxy* menuProxy_ = nullptr;  // the host's; not owned
};

}  // namespace tarnwell

#endif  // TARNWELL_PLUGINS_TARNWELL_MENU_PLUGIN_H_
