#include "tools_common/own_folders.h"

#include <cstdlib>
#include <sstream>
#include <system_error>

namespace tarnwell::tools {

std::filesystem::path programFolder() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : exe.parent_path();
}

std::vector<std::string> xdgDataFolders() {
    std::vector<std::string> folders;
    // The tools never change their environment, so reading it races with
    // nothing.
    const char* dataHome = std::getenv("XDG_DATA_HOME");  // NOLINT(concurrency-mt-unsafe)
    const char* home = std::getenv("HOME");               // NOLINT(concurrency-mt-unsafe)
    if (dataHome != nullptr && dataHome[0] == '/') {
        folders.emplace_back(dataHome);
    } else if (home != nullptr && home[0] == '/') {
        folders.push_back(std::string(home) + "/.local/share");
    }
    const char* dirs = std::getenv("XDG_DATA_DIRS");  // NOLINT(concurrency-mt-unsafe)
    std::istringstream list(dirs != nullptr && dirs[0] != '\0' ? dirs
                                                               : "/usr/local/share:/usr/share");
    std::string folder;
    while (std::getline(list, folder, ':')) {
        if (!folder.empty() && folder[0] == '/') {
            folders.push_back(folder);
        }
    }
    return folders;
}

std::vector<std::string> hicolorThemeFolders() {
    std::vector<std::string> themes;
    for (const std::string& folder : xdgDataFolders()) {
        themes.push_back(folder + "/icons/hicolor");
    }
    return themes;
}

}  // namespace tarnwell::tools
