#include "plugins/tarnwell_menu_plugin.h"

#include <sys/stat.h>

#include "base/log.h"
#include "core/tarnwell_core.h"
#include "protocol/tables.h"
#include "translate.h"

namespace tarnwell {

namespace {

// Follows symbolic links; a path that cannot be examined counts as a file.
bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

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
    TarnwellCore* const tarnwell = core();
    if (!tarnwell->isDaemonConnected()) {
        return false;
    }

    const CanonicalPath canonicalPath(targetPath);
    const bool directory = isDirectory(canonicalPath.str());

    dfmext::DFMExtAction* entry = menuProxy_->createAction();
    entry->setText(protocol::kMenuEntryText);
    entry->setIcon(protocol::kMenuEntryIcon);
    dfmext::DFMExtMenu* subMenu = menuProxy_->createMenu();
    entry->setMenu(subMenu);

    const std::string root = tarnwell->findParentSyncRootCanonical(canonicalPath);
    protocol::MenuPlace place = protocol::MenuPlace::BelowRoot;
    if (root.empty()) {
        place = protocol::MenuPlace::OutsideRoots;
    } else if (root == canonicalPath.str()) {
        place = protocol::MenuPlace::Root;
    }

    for (const protocol::MenuAction& action : protocol::menuActionsFor(place, directory)) {
        subMenu->addAction(
            createMenuAction(action.text, action.icon, action.command, canonicalPath.str()));
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
    if (menuProxy_ == nullptr) {
        return nullptr;
    }
    dfmext::DFMExtAction* action = menuProxy_->createAction();
    // Shown in the user's language; the log line keeps `text` as given, so
    // that the diagnostics read the same in every locale.
    action->setText(translate(text.c_str()));
    action->setIcon(icon);
    // The host may keep the action, and trigger it, after this object is
    // gone: the callable owns copies of what it needs and no pointer to this
    // object. core_ is either null (the process-wide core, looked up when the
    // action runs) or a core that outlives the host's actions.
    action->registerTriggered([core = core_, text, command, path](dfmext::DFMExtAction*, bool) {
        TarnwellCore* const tarnwell = core != nullptr ? core : TarnwellCore::instance();
        logLine("tarnwell: menu triggered: " + text + " command=" + command + " path=" + path);
        // The connection may have ended since the menu was built.
        if (!tarnwell->isDaemonConnected()) {
            logLine("tarnwell: menu command skipped because daemon is disconnected");
            return;
        }
        tarnwell->sendMenuAction(command, path);
    });
    return action;
}

}  // namespace tarnwell
