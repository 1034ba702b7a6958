#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "checks.h"
#include "protocol/tables.h"
#include "tools_common/own_folders.h"

namespace tarnwell::doctor {

namespace {

namespace fs = std::filesystem;

// Modification time in nanoseconds, or -1 when the file is missing.
long long modifiedNs(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return -1;
    }
    return static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
}

}  // namespace

std::string joinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

const std::vector<std::string>& iconNames() {
    static const std::vector<std::string> names = [] {
        const std::vector<const char*> table = protocol::allIconNames();
        return std::vector<std::string>(table.begin(), table.end());
    }();
    return names;
}

IconThemeFolders IconThemeFolders::fromEnvironment() {
    return IconThemeFolders(tools::hicolorThemeFolders());
}

std::vector<std::string> IconThemeFolders::find(const std::string& iconName) const {
    std::vector<std::string> files;
    for (const std::string& theme : hicolorDirs_) {
        // A folder that cannot be listed, or goes away while it is, holds
        // nothing the file manager could use either.
        try {
            findIn(theme, iconName, files);
        } catch (const fs::filesystem_error&) {
        }
    }
    return files;
}

void IconThemeFolders::findIn(const std::string& theme, const std::string& iconName,
                              std::vector<std::string>& files) {
    // <theme>/<size>/<context>/<name>.png|.svg
    std::error_code error;
    for (const auto& size : fs::directory_iterator(theme, error)) {
        std::error_code inner;
        if (!size.is_directory(inner)) {
            continue;
        }
        for (const auto& context : fs::directory_iterator(size.path(), inner)) {
            for (const char* extension : {".svg", ".png"}) {
                const fs::path file = context.path() / (iconName + extension);
                std::error_code exists;
                if (fs::is_regular_file(file, exists)) {
                    files.push_back(file.string());
                }
            }
        }
    }
}

namespace {

// Per theme folder: the newest icon file or the folder holding it, since
// adding an icon changes the folder's time and a cache older than a folder
// is ignored. The names of the icons found nowhere go to `missing`.
std::map<std::string, long long> newestIconPerTheme(const IconThemeFolders& folders,
                                                    std::vector<std::string>& missing) {
    std::map<std::string, long long> newestPerTheme;
    for (const std::string& name : iconNames()) {
        const std::vector<std::string> files = folders.find(name);
        if (files.empty()) {
            missing.push_back(name);
            continue;
        }
        for (const std::string& file : files) {
            for (const std::string& theme : folders.hicolorDirs()) {
                if (file.compare(0, theme.size() + 1, theme + "/") == 0) {
                    long long& newest = newestPerTheme[theme];
                    newest = std::max({newest, modifiedNs(file),
                                       modifiedNs(fs::path(file).parent_path().string())});
                }
            }
        }
    }
    return newestPerTheme;
}

void checkIconCache(const std::map<std::string, long long>& newestPerTheme, Report& report) {
    Check& cache = report.checks.emplace_back();
    cache.id = "icon_cache";
    cache.title = "icon cache";
    std::vector<std::string> stale;
    std::vector<std::string> current;
    for (const auto& [theme, newest] : newestPerTheme) {
        const std::string file = theme + "/icon-theme.cache";
        const long long cached = modifiedNs(file);
        if (cached < 0) {
            continue;  // no cache: the folders are read as they are
        }
        (cached < newest ? stale : current).push_back(file);
    }
    cache.detailList("stale", stale);
    cache.detailList("current", current);
    if (!stale.empty()) {
        cache.verdict = Verdict::Warning;
        cache.found = "older than the icons: " + joinNames(stale);
        cache.fix = "gtk-update-icon-cache -f -t " +
                    fs::path(stale.front()).parent_path().string() +
                    " (as the folder's owner), then restart the file manager";
    } else if (newestPerTheme.empty()) {
        cache.verdict = Verdict::Skipped;
        cache.found = "no icon found, so no cache to compare";
    } else if (current.empty()) {
        cache.found = "no cache where the icons are; the folders are read";
    } else {
        cache.found = "up to date: " + joinNames(current);
    }
}

}  // namespace

void checkIcons(const IconThemeFolders& folders, Report& report) {
    Check& icons = report.checks.emplace_back();
    icons.id = "icons";
    icons.title = "icons";
    icons.detailList("theme_folders", folders.hicolorDirs());
    std::vector<std::string> missing;
    const std::map<std::string, long long> newestPerTheme = newestIconPerTheme(folders, missing);
    icons.detailList("missing", missing);
    const std::size_t found = iconNames().size() - missing.size();
    icons.detailNumber("found", static_cast<long long>(found));
    if (missing.empty()) {
        icons.found = "all " + std::to_string(found) + " found in the hicolor theme";
    } else {
        icons.verdict = Verdict::Failed;
        icons.found = std::to_string(found) + " of " + std::to_string(iconNames().size()) +
                      " found; missing: " + joinNames(missing);
        icons.fix =
            "install the Tarnwell file-manager plug-in package, which brings the icons "
            "to <data folder>/icons/hicolor; then restart the file manager";
    }
    // `icons` is not used past here: the next check may move it.
    checkIconCache(newestPerTheme, report);
}

}  // namespace tarnwell::doctor
