#include "protocol/tables.h"

#include <algorithm>
#include <cstring>

namespace tarnwell::protocol {
namespace {

constexpr MenuAction kOutsideDirectory[] = {kSyncOnlyForMe, kSyncWithFriends, kUpload};
constexpr MenuAction kOutsideFile[] = {kUpload};
constexpr MenuAction kBelowDirectory[] = {kSendByEmail, kShareLink, kSyncWithFriends};
constexpr MenuAction kBelowFile[] = {kSendByEmail, kShareLink, kFileHistory};
constexpr MenuAction kRoot[] = {kProperties, kSyncWithFriends};

}  // namespace

std::span<const MenuAction> menuActionsFor(MenuPlace place, bool isDirectory) {
    switch (place) {
        case MenuPlace::OutsideRoots:
            return isDirectory ? std::span<const MenuAction>(kOutsideDirectory)
                               : std::span<const MenuAction>(kOutsideFile);
        case MenuPlace::BelowRoot:
            return isDirectory ? std::span<const MenuAction>(kBelowDirectory)
                               : std::span<const MenuAction>(kBelowFile);
        case MenuPlace::Root:
            break;
    }
    return kRoot;
}

const MenuAction* menuActionWithIcon(std::string_view icon) {
    for (const MenuAction& action : kMenuActions) {
        if (icon == action.icon) {
            return &action;
        }
    }
    return nullptr;
}

const MenuAction* menuActionWithCommand(std::string_view command) {
    for (const MenuAction& action : kMenuActions) {
        if (command == action.command) {
            return &action;
        }
    }
    return nullptr;
}

const char* emblemIconName(SyncStatus status) {
    for (const Emblem& emblem : kEmblems) {
        if (emblem.status == status) {
            return emblem.icon;
        }
    }
    return nullptr;
}

std::vector<const char*> allIconNames() {
    std::vector<const char*> names;
    const auto add = [&names](const char* name) {
        const bool known = std::any_of(names.begin(), names.end(), [name](const char* other) {
            return std::strcmp(name, other) == 0;
        });
        if (!known) {
            names.push_back(name);
        }
    };
    for (const Emblem& emblem : kEmblems) {
        add(emblem.icon);
    }
    add(kMenuEntryIcon);
    for (const MenuAction& action : kMenuActions) {
        add(action.icon);
    }
    return names;
}

}  // namespace tarnwell::protocol
