// Where a tool looks for what lies beside it or in the user's data folders:
// its own folder, and the freedesktop data and hicolor icon-theme folders.
// One rule for every tool, so that tarnwell-doctor and the folder picture
// agree on where an icon is.
//
// Thread safety: they read the environment and /proc; call them on the main
// thread (or any thread of a program that never changes its environment).
#ifndef TARNWELL_TOOLS_COMMON_OWN_FOLDERS_H_
#define TARNWELL_TOOLS_COMMON_OWN_FOLDERS_H_

#include <filesystem>
#include <string>
#include <vector>

namespace tarnwell::tools {

// The folder of the running program (the target of /proc/self/exe); empty
// when it cannot be read.
std::filesystem::path programFolder();

// The XDG data folders in search order: $XDG_DATA_HOME (else ~/.local/share),
// then each entry of $XDG_DATA_DIRS (else /usr/local/share:/usr/share).
// Relative entries are invalid in these variables and are skipped.
std::vector<std::string> xdgDataFolders();

// <data folder>/icons/hicolor for each XDG data folder, in the same order.
std::vector<std::string> hicolorThemeFolders();

}  // namespace tarnwell::tools

#endif  // TARNWELL_TOOLS_COMMON_OWN_FOLDERS_H_
