#include "dfmext/menu.h"

#include <algorithm>

namespace dfmext {

DFMExtAction::DFMExtAction() = default;
DFMExtAction::~DFMExtAction() = default;

void DFMExtAction::setText(const std::string& text) {
    text_ = text;
}
void DFMExtAction::setIcon(const std::string& iconName) {
    icon_ = iconName;
}
void DFMExtAction::setMenu(DFMExtMenu* menu) {
    menu_ = menu;
}
void DFMExtAction::registerTriggered(const TriggeredFunc& func) {
    triggered_ = func;
}

bool DFMExtAction::trigger(bool checked) {
    if (!triggered_) {
        return false;
    }
    // A copy, so that a callable which re-registers itself stays alive
    // until it returns.
    TriggeredFunc func = triggered_;
    func(this, checked);
    return true;
}

DFMExtMenu::DFMExtMenu() = default;
DFMExtMenu::~DFMExtMenu() = default;

bool DFMExtMenu::addAction(DFMExtAction* action) {
    if (action == nullptr ||
        std::find(actions_.begin(), actions_.end(), action) != actions_.end()) {
        return false;
    }
    actions_.push_back(action);
    return true;
}

DFMExtMenuProxy::DFMExtMenuProxy() = default;
DFMExtMenuProxy::~DFMExtMenuProxy() = default;

DFMExtMenu* DFMExtMenuProxy::createMenu() {
    menus_.push_back(std::unique_ptr<DFMExtMenu>(new DFMExtMenu()));
    return menus_.back().get();
}

DFMExtAction* DFMExtMenuProxy::createAction() {
    actions_.push_back(std::unique_ptr<DFMExtAction>(new DFMExtAction()));
    return actions_.back().get();
}

void DFMExtMenuProxy::clear() {
    actions_.clear();
    menus_.clear();
}

DFMExtMenuPlugin::DFMExtMenuPlugin() = default;
DFMExtMenuPlugin::~DFMExtMenuPlugin() = default;

void DFMExtMenuPlugin::registerInitialize(const InitializeFunc& func) {
    initialize_ = func;
}
void DFMExtMenuPlugin::registerBuildNormalMenu(const BuildNormalMenuFunc& func) {
    buildNormalMenu_ = func;
}
void DFMExtMenuPlugin::registerBuildEmptyAreaMenu(const BuildEmptyAreaMenuFunc& func) {
    buildEmptyAreaMenu_ = func;
}

void DFMExtMenuPlugin::callInitialize(DFMExtMenuProxy* proxy) const {
    if (initialize_) {
        initialize_(proxy);
    }
}

bool DFMExtMenuPlugin::callBuildNormalMenu(DFMExtMenu* main, const std::string& currentPath,
                                           const std::string& focusPath,
                                           const std::list<std::string>& pathList,
                                           bool onDesktop) const {
    return buildNormalMenu_ ? buildNormalMenu_(main, currentPath, focusPath, pathList, onDesktop)
                            : false;
}

bool DFMExtMenuPlugin::callBuildEmptyAreaMenu(DFMExtMenu* main, const std::string& currentPath,
                                              bool onDesktop) const {
    return buildEmptyAreaMenu_ ? buildEmptyAreaMenu_(main, currentPath, onDesktop) : false;
}

}  // namespace dfmext
