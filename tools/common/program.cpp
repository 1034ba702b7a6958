#include "tools_common/program.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "base/posix_io.h"

namespace tarnwell::tools {

void openClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // open returns the lowest free number, which is `fd` itself: the
        // lower ones are open already.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened > fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

bool flushStandardOutput(std::string& error) {
    // errno is left as it is: when the failed write came earlier (a flush
    // after each line), it still holds that write's reason, and a stream in
    // error does not try again.
    std::cout.flush();
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || std::cout.fail();
    if (failed) {
        error = errno != 0 ? errnoText() : "write error";
    }
    return !failed;
}

}  // namespace tarnwell::tools
