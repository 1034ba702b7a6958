#include "replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/posix_io.h"

namespace dfmext_host {

namespace {

using tarnwell::errnoText;
using tarnwell::writeAll;

// Writes `content` into what `path` names, as it is: a device (/dev/full,
// /dev/stdout), a pipe, a link. "" or the reason it failed.
std::string writeInPlace(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errnoText();
    }
    std::string error = writeAll(fd, content) ? std::string() : errnoText();
    if (::close(fd) != 0 && error.empty()) {
        error = errnoText();
    }
    return error;
}

}  // namespace

std::string replaceFile(const std::string& path, const std::string& content) {
    struct stat info {};
    const bool exists = ::lstat(path.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        return writeInPlace(path, content);
    }
    // A name of its own: one left by a run that was killed is not reused.
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return errnoText();
        }
    }
    if (fd < 0) {
        return errnoText();
    }
    // The replaced file keeps its permissions.
    if (exists) {
        ::fchmod(fd, info.st_mode & 07777);
    }
    std::string error = writeAll(fd, content) ? std::string() : errnoText();
    if (::close(fd) != 0 && error.empty()) {
        error = errnoText();
    }
    if (error.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errnoText();
    }
    if (!error.empty()) {
        ::unlink(temporary.c_str());
    }
    return error;
}

}  // namespace dfmext_host
