// Path canonicalization: one form per file, so that a file has one cache key
// and compares equal to its sync root byte for byte.
//
// The result is exactly what realpath(3) gives, or, where realpath fails, the
// lexical normalization of the candidate. realpath costs one readlink per
// path component; the emblem callback canonicalizes every file it draws, so
// the common case takes a shorter road with the same answer:
//
//   An absolute path that the kernel can walk without meeting a symbolic link
//   is already canonical once "//", "." and ".." are removed as text: every
//   ".." then steps back over a real folder, which is what its textual
//   predecessor names. One openat2(RESOLVE_NO_SYMLINKS) with O_PATH (which
//   opens nothing: no FIFO blocks, no device driver runs) plus its close()
//   tells whether that holds, for about 1.6 times the price of one lstat.
//
// Every outcome of that walk maps to the realpath answer as follows:
//   - success: realpath succeeds with the lexical form. It looks up the same
//     names in the same folders, and the kernel needs at least the search
//     permissions realpath needs (it also searches a folder before "..",
//     realpath does not). Every string realpath builds is no longer than the
//     candidate, which the kernel accepted as shorter than PATH_MAX.
//   - ENOENT, ENOTDIR: the walk stopped before any link, on a prefix realpath
//     walks the same way; realpath fails there too (for "file/", "file/." and
//     "file/.." it checks that "file" is a folder), so the answer is lexical.
//   - ELOOP (a link, a link loop, a /proc magic link), EACCES (for example
//     ".." behind a folder without search permission), ENAMETOOLONG (realpath
//     takes candidates of any length) and any other error: realpath decides.
// Relative candidates always go to realpath: they hang on the working folder,
// which may have been deleted or lie beyond reach, and realpath then fails
// where the kernel would still walk.

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>

#include "canonical/canonicalize_path.h"

namespace tarnwell {
namespace {

// Cleared for good when the kernel (or a seccomp filter) lacks openat2; every
// call then uses realpath. Relaxed: a stale true costs one ENOSYS call.
std::atomic<bool> openat2Usable{true};

}  // namespace

std::string_view stripUrlPrefix(std::string_view input) {
    const std::size_t scheme = input.find("://");
    if (scheme == std::string_view::npos) {
        return input;
    }
    const std::size_t slash = input.find('/', scheme + 3);
    return slash == std::string_view::npos ? input : input.substr(slash);
}

namespace {

// "/" plus the segments left after dropping empty and "." segments and
// letting ".." remove its predecessor (at the top it is dropped). Relative
// input ends up under "/", not under the working directory; links are not
// resolved.
std::string normalizeLexically(std::string_view candidate) {
    std::string result;
    result.reserve(candidate.size() + 1);
    std::size_t start = 0;
    while (start <= candidate.size()) {
        std::size_t end = candidate.find('/', start);
        if (end == std::string_view::npos) {
            end = candidate.size();
        }
        const std::string_view segment = candidate.substr(start, end - start);
        if (segment == "..") {
            const std::size_t last = result.rfind('/');
            if (last != std::string::npos) {
                result.erase(last);
            }
        } else if (!segment.empty() && segment != ".") {
            result.push_back('/');
            result.append(segment);
        }
        start = end + 1;
    }
    if (result.empty()) {
        result.push_back('/');
    }
    return result;
}

enum class Walk {
    SymlinkFree,  // exists, reached without a link: the lexical form is canonical
    Missing,      // realpath fails as well: the lexical form is the answer
    Undecided,    // only realpath can tell
};

// `path` is NUL-terminated, without an inner NUL.
Walk walkWithoutSymlinks(const char* path) {
    if (path[0] != '/' || !openat2Usable.load(std::memory_order_relaxed)) {
        return Walk::Undecided;
    }
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
    if (fd >= 0) {
        ::close(static_cast<int>(fd));
        return Walk::SymlinkFree;
    }
    switch (errno) {
        case ENOENT:
        case ENOTDIR:
            return Walk::Missing;
        case ENOSYS:
            openat2Usable.store(false, std::memory_order_relaxed);
            return Walk::Undecided;
        default:
            return Walk::Undecided;
    }
}

}  // namespace

std::string canonicalizePath(const std::string& path) {
    const std::string_view candidate = stripUrlPrefix(path);
    // A NUL byte would cut the C string short and make the file system
    // resolve some other, shorter path; no file has such a name, so it is
    // normalized as text.
    if (candidate.find('\0') != std::string_view::npos) {
        return normalizeLexically(candidate);
    }
    // A suffix of `path`, hence NUL-terminated.
    const char* const candidateString = candidate.data();
    switch (walkWithoutSymlinks(candidateString)) {
        case Walk::SymlinkFree:
        case Walk::Missing:
            return normalizeLexically(candidate);
        case Walk::Undecided:
            break;
    }
    char resolved[PATH_MAX];
    if (::realpath(candidateString, resolved) != nullptr) {
        return std::string(resolved);
    }
    return normalizeLexically(candidate);
}

}  // namespace tarnwell
