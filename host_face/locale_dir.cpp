#include <filesystem>
#include <system_error>

#include "host_face/text_domain.h"

namespace tarnwell {

namespace {

// Whether `dir` holds a compiled catalogue of the domain for any language.
bool holdsCatalogue(const std::filesystem::path& dir) {
    const std::string file = std::string(kTextDomain) + ".mo";
    std::error_code error;
    std::filesystem::directory_iterator it(dir, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        if (std::filesystem::is_regular_file(it->path() / "LC_MESSAGES" / file, ignored)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string localeDirBeside(const std::string& binaryDir) {
    const std::filesystem::path dir = binaryDir;
    const std::filesystem::path installed =
        (dir / TARNWELL_LOCALE_DIR_FROM_PLUGIN_DIR).lexically_normal();
    const std::filesystem::path built = (dir / ".." / "share" / "locale").lexically_normal();
    if (holdsCatalogue(installed)) {
        return installed.string();
    }
    if (holdsCatalogue(built)) {
        return built.string();
    }
    // A file manager's module lies in that file manager's own extension
    // folder (<libdir>/nautilus/extensions-4, or lib/file-managers/nautilus
    // in a build), deeper than the plug-in: the nearest share/locale above
    // it that holds a catalogue.
    for (std::filesystem::path up = dir.lexically_normal(); up.has_relative_path();
         up = up.parent_path()) {
        const std::filesystem::path candidate = up.parent_path() / "share" / "locale";
        if (holdsCatalogue(candidate)) {
            return candidate.string();
        }
    }
    return installed.string();
}

}  // namespace tarnwell
