// Paths and URLs from the file manager, and paths from the daemon, all pass
// through canonicalizePath before they are compared with a sync root or used
// as a cache key. Whatever the bytes, the result must be one well-formed
// absolute path that canonicalizes to itself, and it must be the answer of
// the plain road (realpath, or the text form where realpath fails) whatever
// shortcut the implementation takes past realpath.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "canonical/canonicalize_path.h"
#include "fuzz/plain_canonical.h"
#include "fuzz_check.h"

namespace {

bool hasDotSegment(std::string_view path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view segment = path.substr(start, end - start);
        if (segment == "." || segment == "..") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// True when the file system resolves `path` to some other path: the text
// route keeps a symbolic link's own name (say "/gone/../lib" becomes "/lib"
// while /lib links to /usr/lib), and canonicalizing that again resolves it.
bool resolvesElsewhere(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return false;
    }
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr && path != resolved;
}

using tarnwell::test::plainCanonical;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string canonical = tarnwell::canonicalizePath(input);

    FUZZ_CHECK(!canonical.empty());
    FUZZ_CHECK(canonical.front() == '/');
    FUZZ_CHECK(canonical.find("//") == std::string::npos);
    FUZZ_CHECK(canonical == "/" || canonical.back() != '/');
    FUZZ_CHECK(!hasDotSegment(canonical));
    FUZZ_CHECK(canonical == plainCanonical(input));

    const std::string again = tarnwell::canonicalizePath(canonical);
    FUZZ_CHECK(again == canonical || resolvesElsewhere(canonical));
    return 0;
}
