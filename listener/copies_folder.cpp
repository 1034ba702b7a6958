#include "listener/copies_folder.h"

#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "base/posix_io.h"

namespace tarnwell {

std::string copiesFolder(std::uint16_t port) {
    const std::string leaf = "tarnwell-notify-";
    // Not secure_getenv: a file manager is no set-uid program, and the
    // folder's owner and mode are checked before it is used.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");  // NOLINT(concurrency-mt-unsafe)
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/" + leaf + std::to_string(port);
    }
    return "/tmp/" + leaf + std::to_string(::geteuid()) + "-" + std::to_string(port);
}

std::optional<pid_t> pidOfCopySocket(const std::string& name) {
    const std::size_t dash = name.find('-');
    if (dash == std::string::npos) {
        return std::nullopt;
    }
    return parsePid(std::string_view(name).substr(0, dash));
}

}  // namespace tarnwell
