// The session's menu commands: building a context menu as a file manager
// does on a right click, printing it, picking one of its actions, and the
// menu drawn over a folder's picture.
#include <algorithm>
#include <chrono>
#include <functional>
#include <limits>
#include <list>

#include "dfmext_host/host_session.h"
#include "path_text.h"
#include "picture/menu_picture.h"
#include "tools_common/options.h"

namespace dfmext_host {

namespace {

using Clock = std::chrono::steady_clock;
using tarnwell::tools::parseInteger;

// Actions in depth-first order, each followed by its sub-menu's. A plug-in
// could hang a menu below itself; such a menu is not entered twice on one
// branch.
void flattenMenu(const dfmext::DFMExtMenu* menu, std::vector<const dfmext::DFMExtMenu*>& branch,
                 const std::function<void(dfmext::DFMExtAction*, std::size_t depth,
                                          std::size_t number)>& visit) {
    if (std::find(branch.begin(), branch.end(), menu) != branch.end()) {
        return;
    }
    branch.push_back(menu);
    std::size_t number = 0;
    for (dfmext::DFMExtAction* action : menu->actions()) {
        visit(action, branch.size() - 1, ++number);
        if (action->menu() != nullptr) {
            flattenMenu(action->menu(), branch, visit);
        }
    }
    branch.pop_back();
}

}  // namespace

HostSession::Outcome HostSession::runMenu(const CommandWords& parsed) {
    if (menuPlugin_ == nullptr || proxy_ == nullptr) {
        return fail("the plug-in has no menu provider");
    }

    // Built again every redraw interval, until the wait is over, while the
    // plug-in adds nothing or, with a wait, does not know the sync folders
    // yet: right after the start it connects first and learns the folders a
    // moment later, and meanwhile builds the menu of a path outside them. It
    // knows them once it shows PATH's emblem (a path outside every sync
    // folder has none, and waits the whole time). A file manager's user
    // would simply right-click again.
    const std::string& path = parsed.positional[0];
    const std::list<std::string> pathList(static_cast<std::size_t>(parsed.selected), path);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(parsed.waitMs);
    const auto ready = [&](bool added) {
        return added && (parsed.waitMs == 0 || emblemPlugin_ == nullptr ||
                         !emblemPlugin_->requestEmblem(path, 0).emblems().empty());
    };
    dfmext::DFMExtMenu* menu = freshMenu();
    bool added = menuPlugin_->callBuildNormalMenu(menu, parentFolder(path), path, pathList, false);
    while (!ready(added) && Clock::now() < deadline && pause(kRedrawIntervalMs)) {
        menu = freshMenu();
        added = menuPlugin_->callBuildNormalMenu(menu, parentFolder(path), path, pathList, false);
    }
    print(added ? "menu true" : "menu false");
    std::vector<const dfmext::DFMExtMenu*> branch;
    flattenMenu(menu, branch,
                [this](dfmext::DFMExtAction* action, std::size_t depth, std::size_t number) {
                    print(std::string(2 * depth, ' ') + std::to_string(number) + ". " +
                          action->text() + " [" + action->icon() + "]");
                });
    return Outcome::Ok;
}

HostSession::Outcome HostSession::runEmptyMenu(const CommandWords& words) {
    if (menuPlugin_ == nullptr || proxy_ == nullptr) {
        return fail("the plug-in has no menu provider");
    }
    dfmext::DFMExtMenu* menu = freshMenu();
    print(menuPlugin_->callBuildEmptyAreaMenu(menu, words.positional[0], false) ? "menu true"
                                                                                : "menu false");
    return Outcome::Ok;
}

HostSession::Outcome HostSession::runTrigger(const CommandWords& words) {
    if (lastMenu_ == nullptr) {
        return fail("no menu built yet");
    }
    const std::string& index = words.positional[0];
    dfmext::DFMExtAction* target = nullptr;
    if (index.find('.') == std::string::npos) {
        long long wanted = 0;
        if (!parseInteger(index, 1, std::numeric_limits<long long>::max(), wanted)) {
            return fail("bad action number: " + index);
        }
        long long seen = 0;
        std::vector<const dfmext::DFMExtMenu*> branch;
        flattenMenu(lastMenu_, branch, [&](dfmext::DFMExtAction* action, std::size_t, std::size_t) {
            if (++seen == wanted) {
                target = action;
            }
        });
    } else {
        const dfmext::DFMExtMenu* menu = lastMenu_;
        std::size_t start = 0;
        while (true) {
            const std::size_t dot = index.find('.', start);
            const std::string part = index.substr(start, dot - start);
            long long number = 0;
            if (!parseInteger(part, 1, std::numeric_limits<long long>::max(), number)) {
                return fail("bad action number: " + index);
            }
            if (menu == nullptr || static_cast<std::size_t>(number) > menu->actions().size()) {
                target = nullptr;
                break;
            }
            target = menu->actions()[static_cast<std::size_t>(number) - 1];
            if (dot == std::string::npos) {
                break;
            }
            menu = target->menu();
            start = dot + 1;
        }
    }
    if (target == nullptr) {
        return fail("no such action: " + index);
    }
    // Copied before the call: the callable may change the action's text.
    const std::string text = target->text();
    if (!target->trigger(false)) {
        return fail("action " + index + " (" + text + ") does nothing when picked");
    }
    print("triggered " + index + " " + text);
    return Outcome::Ok;
}

bool HostSession::addOpenMenu(const std::string& dir, const std::string& name,
                              const std::vector<std::string>& themeDirs, std::string& document,
                              std::vector<std::string>& missingIcons) {
    if (menuPlugin_ == nullptr || proxy_ == nullptr) {
        fail("the plug-in has no menu provider");
        return false;
    }
    const std::string path = childPath(dir, name);
    dfmext::DFMExtMenu* menu = freshMenu();
    if (!menuPlugin_->callBuildNormalMenu(menu, dir, path, {path}, false)) {
        fail("the plug-in added nothing to the menu of " + path);
        return false;
    }
    std::optional<std::string> withMenu =
        drawMenuOverFolder(document, name, menuPictureItems(menu), themeDirs, missingIcons);
    if (!withMenu) {
        fail("no entry " + name + " in " + dir);
        return false;
    }
    document = std::move(*withMenu);
    return true;
}

dfmext::DFMExtMenu* HostSession::freshMenu() {
    proxy_->clear();
    lastMenu_ = proxy_->createMenu();
    return lastMenu_;
}

}  // namespace dfmext_host
