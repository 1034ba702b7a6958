#include "plugins/tarnwell_menu_plugin.h"

#include <sys/stat.h>

#include <span>

#include "base/log.h"
#include "core/tarnwell_core.h"
#include "plugins/text_domain.h"
#include "translate.h"

namespace tarnwell {

namespace {

struct ActionSpec {
    const char* text;
    const char* icon;
    const char* command;
};

// The texts are the msgids of the plug-in's text domain: shown translated,
// logged and matched as they are here.
// TRANSLATORS: an entry of the file manager's "Tarnwell" sub-menu: keep it short.
constexpr ActionSpec kSyncOnlyForMe{N_("Sync Only for Me"), "tarnwell-package",
                                    "create_sync_folder"};
// TRANSLATORS: a sub-menu entry: share the folder's sync with other people.
constexpr ActionSpec kSyncWithFriends{N_("Sync with Friends"), "tarnwell-group", "invite_friends"};
// TRANSLATORS: a sub-menu entry; Tarnwell is the product's name.
constexpr ActionSpec kUpload{N_("Upload to Tarnwell"), "tarnwell-upload", "upload_files"};
// TRANSLATORS: a sub-menu entry: send the file as an email attachment or link.
constexpr ActionSpec kSendByEmail{N_("Send by Email"), "tarnwell-email", "share_by_email"};
// TRANSLATORS: a sub-menu entry: make a public link to the file.
constexpr ActionSpec kShareLink{N_("Get Share Link"), "tarnwell-link", "publish_obj"};
// TRANSLATORS: a sub-menu entry: the file's earlier versions.
constexpr ActionSpec kFileHistory{N_("Browse File History"), "tarnwell-history",
                                  "browse_file_history"};
// TRANSLATORS: a sub-menu entry: the sync folder's settings.
constexpr ActionSpec kProperties{N_("Properties"), "tarnwell-small", "show_sync_folder_properties"};

constexpr ActionSpec kOutsideDirectory[] = {kSyncOnlyForMe, kSyncWithFriends, kUpload};
constexpr ActionSpec kOutsideFile[] = {kUpload};
constexpr ActionSpec kBelowDirectory[] = {kSendByEmail, kShareLink, kSyncWithFriends};
constexpr ActionSpec kBelowFile[] = {kSendByEmail, kShareLink, kFileHistory};
// The same for a root that is a folder and one that is not.
constexpr ActionSpec kRoot[] = {kProperties, kSyncWithFriends};

// The product's name: the same in every language, so not translated.
constexpr const char* kEntryText = "Tarnwell";
constexpr const char* kEntryIcon = "tarnwell-small";

enum class Place { OutsideRoots, BelowRoot, Root };

// The sub-menu's actions, in the order they are shown.
std::span<const ActionSpec> actionsFor(Place place, bool isDirectory) {
    switch (place) {
        case Place::OutsideRoots:
            return isDirectory ? std::span<const ActionSpec>(kOutsideDirectory)
                               : std::span<const ActionSpec>(kOutsideFile);
        case Place::BelowRoot:
            return isDirectory ? std::span<const ActionSpec>(kBelowDirectory)
                               : std::span<const ActionSpec>(kBelowFile);
        case Place::Root:
            break;
    }
    return kRoot;
}

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

    const std::string canonicalPath = TarnwellCore::canonicalizePath(targetPath);
    const bool directory = isDirectory(canonicalPath);

    dfmext::DFMExtAction* entry = menuProxy_->createAction();
    entry->setText(kEntryText);
    entry->setIcon(kEntryIcon);
    dfmext::DFMExtMenu* subMenu = menuProxy_->createMenu();
    entry->setMenu(subMenu);

    const std::string root = tarnwell->findParentSyncRootCanonical(canonicalPath);
    Place place = Place::BelowRoot;
    if (root.empty()) {
        place = Place::OutsideRoots;
    } else if (root == canonicalPath) {
        place = Place::Root;
    }

    for (const ActionSpec& spec : actionsFor(place, directory)) {
        subMenu->addAction(createMenuAction(spec.text, spec.icon, spec.command, canonicalPath));
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
