// Context menus: plug-in menus, actions and the proxy that creates them.
//
// The host owns every menu and action. It hands a plug-in a
// DFMExtMenuProxy, through which the plug-in creates menus and actions; the
// proxy frees all of them when it is destroyed. The plug-in never frees one.
//
// Thread safety: none of these classes is thread safe. A host builds menus
// and triggers actions on its one UI thread, and so does dfmext-host.
#ifndef DFMEXT_MENU_H_
#define DFMEXT_MENU_H_

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "dfmext/export.h"

namespace dfmext {

class DFMExtAction;
class DFMExtMenu;
class DFMExtMenuProxy;

// One entry of a menu: text, icon, an optional sub-menu and an optional
// triggered callable.
class DFMEXT_EXPORT DFMExtAction {
public:
    using TriggeredFunc = std::function<void(DFMExtAction* self, bool checked)>;

    DFMExtAction(const DFMExtAction&) = delete;
    DFMExtAction& operator=(const DFMExtAction&) = delete;
    ~DFMExtAction();

    void setText(const std::string& text);
    void setIcon(const std::string& iconName);
    // The sub-menu this entry opens; not owned (the proxy owns every menu).
    void setMenu(DFMExtMenu* menu);
    void registerTriggered(const TriggeredFunc& func);

    // Host side.
    const std::string& text() const { return text_; }
    const std::string& icon() const { return icon_; }
    DFMExtMenu* menu() const { return menu_; }
    bool hasTriggered() const { return static_cast<bool>(triggered_); }
    // Runs the registered callable, as when the user picks the entry; false
    // when nothing is registered.
    bool trigger(bool checked = false);

private:
    friend class DFMExtMenuProxy;
    DFMExtAction();

    std::string text_;
    std::string icon_;
    DFMExtMenu* menu_ = nullptr;
    TriggeredFunc triggered_;
};

// An ordered list of actions; not owning them.
class DFMEXT_EXPORT DFMExtMenu {
public:
    DFMExtMenu(const DFMExtMenu&) = delete;
    DFMExtMenu& operator=(const DFMExtMenu&) = delete;
    ~DFMExtMenu();

    // Appends the action. Adding a null action, or one twice, returns false.
    bool addAction(DFMExtAction* action);

    // Host side: the actions in the order they were added.
    const std::vector<DFMExtAction*>& actions() const { return actions_; }

private:
    friend class DFMExtMenuProxy;
    DFMExtMenu();

    std::vector<DFMExtAction*> actions_;
};

// The factory a plug-in creates menus and actions with. It owns all of them
// and frees them when it is destroyed.
class DFMEXT_EXPORT DFMExtMenuProxy {
public:
    DFMExtMenuProxy();
    DFMExtMenuProxy(const DFMExtMenuProxy&) = delete;
    DFMExtMenuProxy& operator=(const DFMExtMenuProxy&) = delete;
    ~DFMExtMenuProxy();

    DFMExtMenu* createMenu();
    DFMExtAction* createAction();

    // Host side: frees every menu and action created so far (a host does
    // this when a context menu closes). Pointers handed out become invalid.
    void clear();
    std::size_t menuCount() const { return menus_.size(); }
    std::size_t actionCount() const { return actions_.size(); }

private:
    std::vector<std::unique_ptr<DFMExtMenu>> menus_;
    std::vector<std::unique_ptr<DFMExtAction>> actions_;
};

class DFMEXT_EXPORT DFMExtMenuPlugin {
public:
    using InitializeFunc = std::function<void(DFMExtMenuProxy* proxy)>;
    // currentPath: the folder shown; focusPath: the item the menu opened on;
    // pathList: every selected item; onDesktop: the menu opened on the desktop.
    using BuildNormalMenuFunc = std::function<bool(
        DFMExtMenu* main, const std::string& currentPath, const std::string& focusPath,
        const std::list<std::string>& pathList, bool onDesktop)>;
    using BuildEmptyAreaMenuFunc =
        std::function<bool(DFMExtMenu* main, const std::string& currentPath, bool onDesktop)>;

    DFMExtMenuPlugin();
    DFMExtMenuPlugin(const DFMExtMenuPlugin&) = delete;
    DFMExtMenuPlugin& operator=(const DFMExtMenuPlugin&) = delete;
    virtual ~DFMExtMenuPlugin();

    // Plug-in side: the host keeps its own copy of each callable.
    void registerInitialize(const InitializeFunc& func);
    void registerBuildNormalMenu(const BuildNormalMenuFunc& func);
    void registerBuildEmptyAreaMenu(const BuildEmptyAreaMenuFunc& func);

    // Host side: run the registered callables. A build without a registered
    // callable adds nothing and returns false.
    void callInitialize(DFMExtMenuProxy* proxy) const;
    bool callBuildNormalMenu(DFMExtMenu* main, const std::string& currentPath,
                             const std::string& focusPath, const std::list<std::string>& pathList,
                             bool onDesktop) const;
    bool callBuildEmptyAreaMenu(DFMExtMenu* main, const std::string& currentPath,
                                bool onDesktop) const;

private:
    InitializeFunc initialize_;
    BuildNormalMenuFunc buildNormalMenu_;
    BuildEmptyAreaMenuFunc buildEmptyAreaMenu_;
};

}  // namespace dfmext

#endif  // DFMEXT_MENU_H_
