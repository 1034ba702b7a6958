#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <sstream>

#include "base/posix_io.h"
#include "checks.h"
#include "dfmext_loader/entry_point_names.h"
#include "doctor/elf_file.h"

namespace tarnwell::doctor {

namespace {

struct LddResult {
    bool ran = false;  // ldd started and ended by itself
    std::string output;
};

// `ldd PATH` in a child process with its stdout on the pipe `output`; the
// child's pid, or -1.
pid_t startLdd(const std::string& path, UniqueFd output[2]) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output[1].get(), STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDERR_FILENO);
        }
        ::setenv("LC_ALL", "C", 1);
        // The doctor ignores SIGPIPE, and an ignored signal stays ignored
        // across exec.
        ::signal(SIGPIPE, SIG_DFL);
        ::execlp("ldd", "ldd", path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    output[1].reset();
    return child;
}

// Everything `fd` gives until its end; false when the deadline passed first.
bool readToEnd(int fd, const Deadline& deadline, std::string& text) {
    for (;;) {
        pollfd wait{fd, POLLIN, 0};
        if (pollUntil(&wait, 1, deadline.end()) <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t n = retryInterrupted([&] { return ::read(fd, chunk, sizeof chunk); });
        if (n <= 0) {
            return true;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
}

// `ldd PATH` in a child process, its stdout collected until it ends or the
// deadline passes (then it is killed). For a shared object the dynamic
// linker only lists what it would map: no code of the file runs.
LddResult runLdd(const std::string& path, const Deadline& deadline) {
    LddResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return result;
    }
    UniqueFd output[2] = {UniqueFd(pipeFds[0]), UniqueFd(pipeFds[1])};
    const pid_t child = startLdd(path, output);
    if (child < 0) {
        return result;
    }
    const bool ended = readToEnd(output[0].get(), deadline, result.output);
    if (!ended) {
        ::kill(child, SIGKILL);
    }
    int status = 0;
    retryInterrupted([&] { return ::waitpid(child, &status, 0); });
    result.ran = ended && WIFEXITED(status) && WEXITSTATUS(status) != 127;
    return result;
}

// From ldd's "\tNAME => /path (0x...)" and "\tNAME => not found" lines.
std::string resolvedPath(const std::string& lddOutput, const std::string& library) {
    std::istringstream lines(lddOutput);
    std::string line;
    const std::string prefix = library + " => ";
    while (std::getline(lines, line)) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, prefix.size(), prefix) != 0) {
            continue;
        }
        std::string target = line.substr(start + prefix.size());
        if (target.rfind("not found", 0) == 0) {
            return {};
        }
        return target.substr(0, target.find(" ("));
    }
    return {};
}

void checkHostLibrary(const std::string& path, const ElfDynamicInfo& elf, const Deadline& deadline,
                      Report& report) {
    Check& check = report.checks.emplace_back();
    check.id = "host_library";
    check.title = "host library";
    check.detailList("needed", elf.needed);
    const LddResult ldd = runLdd(path, deadline.sooner(std::chrono::milliseconds(700)));
    if (!ldd.ran) {
        check.verdict = Verdict::Warning;
        check.found = "cannot tell: ldd did not run to its end";
        check.fix = "run `ldd " + path + "` and look for \"not found\"";
        return;
    }
    std::vector<std::string> missing;
    std::string hostPath;
    for (const std::string& library : elf.needed) {
        const std::string resolved = resolvedPath(ldd.output, library);
        if (resolved.empty()) {
            missing.push_back(library);
        } else if (library == kHostLibraryName) {
            hostPath = resolved;
        }
    }
    check.detailList("not_found", missing);
    if (missing.size() == 1 && missing.front() == kHostLibraryName) {
        // The file manager maps its extension library before it loads any
        // plug-in, so one that keeps it outside the linker's folders still
        // loads the plug-in. More often, though, no file manager is installed.
        check.verdict = Verdict::Warning;
        check.found = std::string(kHostLibraryName) +
                      " is in none of the dynamic linker's folders; the plug-in loads only into "
                      "a file manager that brings it along";
        check.fix = std::string("make sure the file manager that provides ") + kHostLibraryName +
                    " is installed";
        return;
    }
    if (!missing.empty()) {
        std::string names;
        for (const std::string& library : missing) {
            names += (names.empty() ? "" : ", ") + library;
        }
        check.verdict = Verdict::Failed;
        check.found = "the dynamic linker does not find " + names;
        check.fix = "install the packages that provide them; the plug-in cannot load without them";
        return;
    }
    if (std::find(elf.needed.begin(), elf.needed.end(), kHostLibraryName) == elf.needed.end()) {
        check.verdict = Verdict::Failed;
        check.found = std::string("the plug-in does not link ") + kHostLibraryName +
                      ", so it is not a plug-in of this file manager";
        check.fix = "reinstall the Tarnwell file-manager plug-in";
        return;
    }
    check.detail("path", hostPath);
    check.found = std::string(kHostLibraryName) + " => " + hostPath;
}

void checkEntryPoints(const ElfDynamicInfo& elf, Report& report) {
    Check& check = report.checks.emplace_back();
    check.id = "entry_points";
    check.title = "entry points";
    std::vector<std::string> missing;
    for (const std::string& name : entryPointNames()) {
        if (elf.exported.count(name) == 0) {
            missing.push_back(name);
        }
    }
    check.detailList("missing", missing);
    if (missing.empty()) {
        check.found = "exports all " + std::to_string(entryPointNames().size());
        return;
    }
    std::string names;
    for (const std::string& name : missing) {
        names += (names.empty() ? "" : ", ") + name;
    }
    check.verdict = Verdict::Failed;
    check.found = "does not export " + names + "; the file manager will not load it";
    check.fix = "reinstall the Tarnwell file-manager plug-in; this file is damaged or not it";
}

}  // namespace

const std::vector<std::string>& entryPointNames() {
    static const std::vector<std::string> names(std::begin(dfmext::host::kEntryPointNames),
                                                std::end(dfmext::host::kEntryPointNames));
    return names;
}

namespace {

// What a file that is not a regular one is, for the finding.
const char* fileKind(mode_t mode) {
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    return S_ISSOCK(mode) ? "a socket" : "not a regular file";
}

// The file at `path` as far as can be told without reading it: false, with
// the finding in `installed`, when it cannot be the plug-in.
bool isPluginFile(const std::string& path, Check& installed) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        installed.found = "not found at " + path + ", where the file manager looks";
        installed.fix =
            "install the Tarnwell file-manager plug-in package (or "
            "`cmake --install` with the component plugin), then restart the file "
            "manager";
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        installed.found = path + " is a folder, not the plug-in file";
        installed.fix = "give the plug-in file itself: --plugin " + path + "/" + kPluginFileName;
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        installed.found = path + " is " + fileKind(info.st_mode) + ", not the plug-in file";
        installed.fix = std::string("give the plug-in file, ") + kPluginFileName;
        return false;
    }
    return true;
}

// Whether the shared object exports any of the entry points: a program or
// a library of something else (built as one, as every PIE program is)
// exports none, and is no damaged plug-in but another file.
bool exportsAnyEntryPoint(const ElfDynamicInfo& elf) {
    return std::any_of(entryPointNames().begin(), entryPointNames().end(),
                       [&](const std::string& name) { return elf.exported.count(name) != 0; });
}

}  // namespace

void checkPlugin(const std::string& path, const Deadline& deadline, Report& report) {
    Check& installed = report.checks.emplace_back();
    installed.id = "plugin";
    installed.title = "plug-in";
    installed.detail("path", path);
    installed.verdict = Verdict::Failed;
    if (!isPluginFile(path, installed)) {
        return;
    }
    const ElfDynamicInfo elf = readElfDynamic(path);
    if (!elf.valid) {
        installed.found = path + " " + elf.error;
        installed.fix = "reinstall the Tarnwell file-manager plug-in";
        return;
    }
    if (!exportsAnyEntryPoint(elf)) {
        installed.found = path + " exports none of the " +
                          std::to_string(entryPointNames().size()) +
                          " entry points of a file-manager plug-in: it is another program or "
                          "library";
        installed.fix = std::string("give the plug-in file, ") + kPluginFileName;
        return;
    }
    installed.verdict = Verdict::Passed;
    installed.found = path;
    checkHostLibrary(path, elf, deadline, report);
    checkEntryPoints(elf, report);
}

}  // namespace tarnwell::doctor
