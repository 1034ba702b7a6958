// What the file manager shows of the plug-in, written down once for every test
// that checks it: the "Tarnwell" sub-menu of each place and kind of item, and
// the emblem icon of each status.
#ifndef TARNWELL_TESTS_SUPPORT_UI_TABLES_H_
#define TARNWELL_TESTS_SUPPORT_UI_TABLES_H_

#include <string>
#include <utility>
#include <vector>

namespace tarnwell::test {

struct MenuEntry {
    std::string text;
    std::string icon;
};
using MenuContents = std::vector<MenuEntry>;

// The head of the plug-in's menu, which holds the sub-menu.
inline const MenuEntry kMenuHead = {"Tarnwell", "tarnwell-small"};

inline const MenuContents kMenuOutsideDirectory = {{"Sync Only for Me", "tarnwell-package"},
                                                   {"Sync with Friends", "tarnwell-group"},
                                                   {"Upload to Tarnwell", "tarnwell-upload"}};
inline const MenuContents kMenuOutsideFile = {{"Upload to Tarnwell", "tarnwell-upload"}};
inline const MenuContents kMenuBelowFile = {{"Send by Email", "tarnwell-email"},
                                            {"Get Share Link", "tarnwell-link"},
                                            {"Browse File History", "tarnwell-history"}};
inline const MenuContents kMenuBelowDirectory = {{"Send by Email", "tarnwell-email"},
                                                 {"Get Share Link", "tarnwell-link"},
                                                 {"Sync with Friends", "tarnwell-group"}};
inline const MenuContents kMenuRoot = {{"Properties", "tarnwell-small"},
                                       {"Sync with Friends", "tarnwell-group"}};

// The emblem icon of each status, by the number the daemon sends.
inline const std::vector<std::pair<int, std::string>> kStatusIcons = {
    {0, "emblem-tarnwell-uptodate"},
    {1, "emblem-tarnwell-syncing"},
    {2, "emblem-tarnwell-locked"},
    {3, "emblem-tarnwell-readonly"},
};

inline std::string statusIcon(int status) {
    for (const auto& [number, icon] : kStatusIcons) {
        if (number == status) {
            return icon;
        }
    }
    return {};
}

}  // namespace tarnwell::test

#endif  // TARNWELL_TESTS_SUPPORT_UI_TABLES_H_
