#include "host_face/translate.h"

#include <dlfcn.h>
#include <libintl.h>
#include <link.h>

#include <filesystem>

#include "host_face/text_domain.h"

namespace tarnwell {

namespace {

// The folder of the shared object (or program) this code was loaded from;
// empty when the dynamic linker cannot tell. The main program's link-map
// entry has an empty name, and its path is then /proc/self/exe's target.
std::string ownFolder() {
    Dl_info info{};
    link_map* object = nullptr;
    if (::dladdr1(reinterpret_cast<const void*>(&ownFolder), &info,
                  reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) == 0 ||
        object == nullptr || object->l_name == nullptr) {
        return {};
    }
    const std::filesystem::path file =
        object->l_name[0] != '\0' ? object->l_name : "/proc/self/exe";
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(file, error);
    return error ? std::string() : resolved.parent_path().string();
}

bool bindDomain() {
    const std::string folder = ownFolder();
    if (!folder.empty()) {
        ::bindtextdomain(kTextDomain, localeDirBeside(folder).c_str());
    }
    // The host may run in a locale of another charset; the menus take UTF-8.
    ::bind_textdomain_codeset(kTextDomain, "UTF-8");
    return true;
}

}  // namespace

std::string translate(const char* msgid) {
    static const bool bound = bindDomain();
    static_cast<void>(bound);
    return ::dgettext(kTextDomain, msgid);
}

}  // namespace tarnwell
