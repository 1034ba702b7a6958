#include "plugins/tarnwell_menu_plugin.h"

#include <optional>

#include "core/tarnwell_core.h"
#include "host_face/menu_model.h"
#include "host_face/translate.h"

namespace tarnwell {

TarnwellMenuPlugin::TarnwellMenuPlugin(TarnwellCore* core) : core_(core) {
    // The host keeps its own copies; this object outlives every call the host
    // makes through them (the entry points destroy it only at shut-down).
    registerInitialize([this](dfmext::DFMExtMenuProxy* proxy) { initialize(proxy); });
    registerBuildNormalMenu([this](dfmext::DFMExtMenu* main, const std::string& currentPath,
                                   const std::string& targetPath,
                                   const std::list<std::string>& selectedPaths, bool onDesktop) {
        return buildNormalMenu(main, currentPath, targetPath, selectedPaths, onDesktop);
    });
    registerBuildEmptyAreaMenu(
        [this](dfmext::DFMExtMenu* main, const std::string& currentPath, bool onDesktop) {
            return buildEmptyAreaMenu(main, currentPath, onDesktop);
        });
}

TarnwellCore* TarnwellMenuPlugin::core() const {
    return core_ != nullptr ? core_ : TarnwellCore::instance();
}

void TarnwellMenuPlugin::initialize(dfmext::DFMExtMenuProxy* proxy) {
    menuProxy_ = proxy;
}

bool TarnwellMenuPlugin::buildNormalMenu(dfmext::DFMExtMenu* main,
                                         const std::string& /*currentPath*/,
                                         const std::string& targetPath,
                                         const std::list<std::string>& selectedPaths,
                                         bool /*onDesktop*/) {
    if (selectedPaths.size() != 1) {
        return false;
    }
    // Without the host's proxy there is nothing to create actions with, and
    // without a menu nowhere to put them.
    if (menuProxy_ == nullptr || main == nullptr) {
        return false;
    }
    const std::optional<MenuModel> model = menuFor(*core(), targetPath);
    if (!model) {
        return false;
    }
    dfmext::DFMExtAction* entry = menuProxy_->createAction();
    entry->setText(model->text);
    entry->setIcon(model->icon);
    dfmext::DFMExtMenu* subMenu = menuProxy_->createMenu();
    entry->setMenu(subMenu);
    for (const MenuEntry& action : model->entries) {
        subMenu->addAction(createMenuAction(action, model->canonicalPath));
    }
    main->addAction(entry);
    return true;
}

bool TarnwellMenuPlugin::buildEmptyAreaMenu(dfmext::DFMExtMenu* /*main*/,
                                            const std::string& /*currentPath*/,
                                            bool /*onDesktop*/) {
    return false;
}

dfmext::DFMExtAction* TarnwellMenuPlugin::createMenuAction(const std::string& text,
                                                           const std::string& icon,
                                                           const std::string& command,
                                                           const std::string& path) const {
    return createMenuAction(MenuEntry{translate(text.c_str()), text, icon, command}, path);
}

dfmext::DFMExtAction* TarnwellMenuPlugin::createMenuAction(const MenuEntry& entry,
                                                           const std::string& path) const {
    if (menuProxy_ == nullptr) {
        return nullptr;
    }
    dfmext::DFMExtAction* action = menuProxy_->createAction();
    action->setText(entry.text);
    action->setIcon(entry.icon);
    // The host may keep the action, and trigger it, after this object is
    // gone: the callable owns copies of what it needs and no pointer to this
    // object. core_ is either null (the process-wide core, looked up when the
    // action runs) or a core that outlives the host's actions.
    action->registerTriggered(
        [core = core_, msgid = entry.msgid, command = entry.command, path](dfmext::DFMExtAction*,
                                                                           bool) {
            runMenuEntry(core, msgid, command, path);
        });
    return action;
}

}  // namespace tarnwell
