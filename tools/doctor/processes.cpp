#include "processes.h"

#include <dirent.h>
#include <pwd.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "base/posix_io.h"
#include "socket_owner/socket_owner.h"

namespace tarnwell::doctor {

namespace {

// The program's whole file name: comm is cut to 15 bytes
// ("tarnwell-daemon"), the executable's link is not. comm when the link
// cannot be read.
std::string programName(const std::string& procRoot, pid_t pid) {
    const std::string dir = procRoot + "/" + std::to_string(pid);
    char target[4096];
    const ssize_t length = ::readlink((dir + "/exe").c_str(), target, sizeof target);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof target) {
        std::string path(target, static_cast<std::size_t>(length));
        // A program replaced on disk while it runs (an upgrade).
        static const std::string kDeleted = " (deleted)";
        if (path.size() > kDeleted.size() &&
            path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
            path.resize(path.size() - kDeleted.size());
        }
        return path.substr(path.rfind('/') + 1);
    }
    std::ifstream in(dir + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

std::vector<ProcessInfo> processesHoldingSocket(std::uint64_t inode, const Deadline& deadline,
                                                const std::string& procRoot) {
    std::vector<ProcessInfo> holders;
    DIR* proc = ::opendir(procRoot.c_str());
    if (proc == nullptr) {
        return holders;
    }
    while (const dirent* entry = ::readdir(proc)) {
        const std::optional<pid_t> pid = parsePid(entry->d_name);
        if (!pid) {
            continue;
        }
        if (deadline.passed()) {
            break;
        }
        if (processHoldsSocket(*pid, inode, procRoot)) {
            holders.push_back({*pid, programName(procRoot, *pid)});
        }
    }
    ::closedir(proc);
    return holders;
}

bool processMapsFile(pid_t pid, const std::string& fileName, const std::string& procRoot) {
    std::ifstream in(procRoot + "/" + std::to_string(pid) + "/maps");
    const std::string suffix = "/" + fileName;
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() >= suffix.size() &&
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return true;
        }
    }
    return false;
}

std::string describeUid(uid_t uid) {
    std::string number = "uid " + std::to_string(uid);
    // getpwuid_r with a buffer of the size the system suggests.
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result) == 0 &&
        result != nullptr) {
        return std::string(result->pw_name) + " (" + number + ")";
    }
    return number;
}

}  // namespace tarnwell::doctor
