#include "host_face/menu_model.h"

#include <sys/stat.h>

#include "base/log.h"
#include "canonical/canonicalize_path.h"
#include "core/tarnwell_core.h"
#include "host_face/translate.h"
#include "protocol/tables.h"

namespace tarnwell {

namespace {

// Follows symbolic links; a path that cannot be examined counts as a file.
bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

protocol::MenuPlace placeOf(const TarnwellCore& core, const CanonicalPath& canonicalPath) {
    const std::string root = core.findParentSyncRootCanonical(canonicalPath);
    if (root.empty()) {
        return protocol::MenuPlace::OutsideRoots;
    }
    return root == canonicalPath.str() ? protocol::MenuPlace::Root
                                       : protocol::MenuPlace::BelowRoot;
}

}  // namespace

std::optional<MenuModel> menuFor(TarnwellCore& core, const std::string& path) {
    if (!core.isDaemonConnected()) {
        return std::nullopt;
    }
    const CanonicalPath canonicalPath(path);
    MenuModel model;
    model.text = protocol::kMenuEntryText;
    model.icon = protocol::kMenuEntryIcon;
    model.canonicalPath = canonicalPath.str();
    const bool directory = isDirectory(canonicalPath.str());
    for (const protocol::MenuAction& action :
         protocol::menuActionsFor(placeOf(core, canonicalPath), directory)) {
        model.entries.push_back({translate(action.text), action.text, action.icon, action.command});
    }
    return model;
}

void runMenuEntry(TarnwellCore* core, const std::string& msgid, const std::string& command,
                  const std::string& canonicalPath) {
    TarnwellCore* const tarnwell = core != nullptr ? core : TarnwellCore::instance();
    logLine("tarnwell: menu triggered: " + msgid + " command=" + command + " path=" +
            canonicalPath);
    // The connection may have ended since the menu was built.
    if (!tarnwell->isDaemonConnected()) {
        logLine("tarnwell: menu command skipped because daemon is disconnected");
        return;
    }
    tarnwell->sendMenuAction(command, canonicalPath);
}

}  // namespace tarnwell
