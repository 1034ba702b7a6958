// Canonical paths decide which cache entry and which sync root a file gets:
// two forms of one file that canonicalize differently would show different
// emblems. realpath(3) and coreutils' `realpath -s -m` serve as oracles.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "base/posix_io.h"
#include "canonical/canonicalize_path.h"
#include "fuzz/plain_canonical.h"
#include "support/test_support.h"

namespace tarnwell {
namespace {

using test::TempDir;

std::string canon(const std::string& p) {
    return canonicalizePath(p);
}

std::string libcRealpath(const std::string& p) {
    char buf[PATH_MAX];
    return ::realpath(p.c_str(), buf) ? std::string(buf) : std::string();
}

// coreutils' lexical normalization of an absolute path (no links followed,
// missing components allowed).
std::string coreutilsLexical(const std::string& p) {
    std::string cmd = "realpath -s -m -- '" + p + "'";
    FILE* f = ::popen(cmd.c_str(), "r");
    if (f == nullptr) {
        return "<popen failed>";
    }
    std::string out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, f) != nullptr) {
        out += buf;
    }
    ::pclose(f);
    if (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

TEST(CanonicalizePath, LexicalFormsOfMissingPaths) {
    const std::string m = "/tarnwell-missing-9f3";
    EXPECT_EQ(canon(""), "/");
    EXPECT_EQ(canon("/"), "/");
    EXPECT_EQ(canon("smb://server/share/dir"), "/share/dir");
    EXPECT_EQ(canon("file://"), "/file:");
    EXPECT_EQ(canon("file://host"), "/file:/host");
    EXPECT_EQ(canon(m + "/x://y/z"), "/z");
    EXPECT_EQ(canon("/" + m + "//a///b/"), m + "/a/b");
    EXPECT_EQ(canon(m + "/./b/."), m + "/b");
    EXPECT_EQ(canon(m + "/b/../c"), m + "/c");
    EXPECT_EQ(canon("/../../tarnwell-missing-9f3"), m);
    EXPECT_EQ(canon("a-missing-9f3/../../b-missing-9f3"), "/b-missing-9f3");
    EXPECT_EQ(canon("sub-missing-9f3/dir"), "/sub-missing-9f3/dir");
    EXPECT_EQ(canon("file:///tmp/a%20b-missing-9f3"), "/tmp/a%20b-missing-9f3");
    EXPECT_EQ(canon(m + "/a?b#c"), m + "/a?b#c");
}

TEST(CanonicalizePath, LexicalFallbackAgreesWithCoreutils) {
    for (const char* p :
         {"/tarnwell-missing-9f3", "//a//b//", "/a/./b/./../c/", "/..", "/../x/../../y",
          "/a/b/c/../../../../d", "/tarnwell-missing-9f3/...", "/x/.hidden/./.."}) {
        EXPECT_EQ(canon(p), coreutilsLexical(p)) << p;
    }
}

TEST(CanonicalizePath, ExistingPathsMatchRealpath) {
    TempDir tmp;
    const std::string file = tmp.file("Sync/dir/a.txt");
    ASSERT_EQ(::symlink((tmp.path() + "/Sync/dir").c_str(), (tmp.path() + "/link").c_str()), 0);
    ASSERT_EQ(::symlink("Sync/dir/a.txt", (tmp.path() + "/rel").c_str()), 0);
    for (const std::string& p :
         {file, tmp.path() + "/Sync/dir/", tmp.path() + "//Sync/./dir/../dir/a.txt",
          tmp.path() + "/link/a.txt", tmp.path() + "/rel", "file://" + file,
          "file://anyhost" + tmp.path() + "/link"}) {
        const std::string stripped = p.rfind("file://", 0) == 0 ? p.substr(p.find('/', 7)) : p;
        EXPECT_EQ(canon(p), libcRealpath(stripped)) << p;
    }
    EXPECT_EQ(canon(tmp.path() + "/link/a.txt"), file);
}

TEST(CanonicalizePath, LinkToMissingFileKeepsTheLinkPath) {
    TempDir tmp;
    const std::string target = tmp.file("real.txt");
    const std::string link = tmp.path() + "/link.txt";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(canon(link), libcRealpath(target));
    ASSERT_EQ(::unlink(target.c_str()), 0);
    // realpath now fails, so the link's own path is normalized as text.
    EXPECT_EQ(canon(link + "/"), link);
}

TEST(CanonicalizePath, RelativePathResolvesAgainstWorkingDirectoryOnlyWhenItExists) {
    TempDir tmp;
    tmp.dir("sub/dir");
    char old[PATH_MAX];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
    const std::string existing = canon("sub/dir");
    const std::string missing = canon("sub/nothing-here");
    ASSERT_EQ(::chdir(old), 0);
    EXPECT_EQ(existing, libcRealpath(tmp.path() + "/sub/dir"));
    EXPECT_EQ(missing, "/sub/nothing-here");
}

TEST(CanonicalizePath, OverLongPathsAreNormalizedAtAnyLength) {
    std::string longPath;
    while (longPath.size() < 3 * PATH_MAX) {
        longPath += "/segment-of-some-length/.";
    }
    const std::string result = canon(longPath + "//tail/");
    // Each "/segment-of-some-length/." (25 bytes) keeps its first 23.
    EXPECT_EQ(result.size(), longPath.size() / 25 * 23 + 5);
    EXPECT_EQ(result.substr(result.size() - 5), "/tail");
    EXPECT_EQ(result.find("//"), std::string::npos);
}

TEST(CanonicalizePath, EmbeddedNulNeverResolvesAShorterPath) {
    // Cut at the NUL, this would be "/tmp", which exists.
    const std::string withNul = std::string("/tmp") + '\0' + "/x";
    EXPECT_EQ(canon(withNul), std::string("/tmp") + '\0' + "/x");
}

TEST(CanonicalizePath, CanonicalFormIsAFixedPoint) {
    TempDir tmp;
    tmp.file("a/b c/d.txt");
    for (const std::string& p : {tmp.path() + "/a/b c/./d.txt", std::string("/x/../y//z/"),
                                 std::string("relative/../p"), std::string("smb://h/s/../t")}) {
        const std::string once = canon(p);
        EXPECT_EQ(canon(once), once) << p;
        EXPECT_EQ(once.front(), '/');
        EXPECT_TRUE(once == "/" || once.back() != '/');
    }
}

// --- The fast road against the plain one over a varied tree ---

using test::plainCanonical;
using test::realpathResolves;
using test::withoutUrlPrefix;

// One line per input on which the two roads part.
std::vector<std::string> disagreements(const std::vector<std::string>& inputs) {
    std::vector<std::string> out;
    for (const std::string& input : inputs) {
        const std::string got = canon(input);
        const std::string want = plainCanonical(input);
        if (got != want) {
            out.push_back("'" + input + "': got '" + got + "', want '" + want + "'");
        }
    }
    return out;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size() && i < 20; ++i) {
        text += lines[i] + "\n";
    }
    return text;
}

bool makeLink(const std::string& target, const std::string& link) {
    return ::symlink(target.c_str(), link.c_str()) == 0;
}

// Removes `name` below the folder `parentFd` through descriptors: whole paths
// in the deep part are too long for the kernel to take.
void removeTreeAt(int parentFd, const std::string& name) {
    const int fd =
        ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        DIR* dir = ::fdopendir(fd);
        std::vector<std::string> children;
        while (dirent* entry = ::readdir(dir)) {
            const std::string child = entry->d_name;
            if (child != "." && child != "..") {
                children.push_back(child);
            }
        }
        for (const std::string& child : children) {
            if (::unlinkat(fd, child.c_str(), 0) != 0) {
                removeTreeAt(fd, child);
            }
        }
        ::closedir(dir);
    }
    ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR);
}

// Runs `work` in a child process that has given up root for uid and gid
// 65534 and returns its text; "cannot drop root" when that fails.
std::string runWithoutRoot(const std::function<std::string()>& work) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return "cannot drop root: no pipe\n";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        const gid_t nobody = 65534;
        const std::string text = ::setgroups(0, nullptr) == 0 &&
                                         ::setresgid(nobody, nobody, nobody) == 0 &&
                                         ::setresuid(nobody, nobody, nobody) == 0
                                     ? work()
                                     : "cannot drop root\n";
        ::_exit(writeAll(pipeFds[1], text) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while (child > 0 && (n = ::read(pipeFds[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return "cannot drop root: the child failed\n";
    }
    return text;
}

// A tree with every kind of step a walk can meet: folders, files, a FIFO,
// absolute and relative links, links through "..", chains of links around the
// resolver's limit of 40, loops, dangling links, a folder without search and
// one without read permission, and a deep part whose paths straddle PATH_MAX.
// Its root is searchable by everyone, so an unprivileged child can walk it.
class CanonicalizeTree : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tmp_.path();
        ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
        tmp_.file("d/e/f.txt");
        tmp_.file("d/g.txt");
        tmp_.file("d/sp ace/x.txt");
        tmp_.file("d/.hidden/h");
        tmp_.file("noexec/inner/file");
        tmp_.file("noread/file");
        ASSERT_EQ(::mkfifo((root_ + "/fifo").c_str(), 0644), 0);
        const std::string base = std::filesystem::path(root_).filename().string();
        for (const auto& [target, link] : std::vector<std::pair<std::string, std::string>>{
                 {root_ + "/d/e", "abs"},
                 {"d/e", "rel"},
                 {"../" + base + "/d", "up"},
                 {"../..", "d/e/back"},
                 {"d/g.txt", "fileLink"},
                 {"nowhere", "dangling"},
                 {root_ + "/missing/deeper", "danglingAbs"},
                 {"loopB", "loopA"},
                 {"loopA", "loopB"},
                 {"self", "self"},
                 {"abs", "linkToLink"},
                 {"noexec/inner", "noexecLink"},
                 {"/proc/self/cwd", "procCwd"},
                 {"fifo", "fifoLink"}}) {
            ASSERT_TRUE(makeLink(target, root_ + "/" + link)) << link;
        }
        // c/n00 -> c/n01 -> ... -> c/n41 -> d/g.txt: from nK, 42 - K links.
        tmp_.dir("c");
        for (int k = 0; k <= 41; ++k) {
            char name[8];
            std::snprintf(name, sizeof name, "n%02d", k);
            char next[8];
            std::snprintf(next, sizeof next, "n%02d", k + 1);
            ASSERT_TRUE(makeLink(k == 41 ? "../d/g.txt" : next, root_ + "/c/" + name));
        }
        ASSERT_EQ(::chmod((root_ + "/noexec").c_str(), 0600), 0);
        ASSERT_EQ(::chmod((root_ + "/noread").c_str(), 0311), 0);
    }

    void TearDown() override {
        ::chmod((root_ + "/noexec").c_str(), 0755);
        ::chmod((root_ + "/noread").c_str(), 0755);
        const int rootFd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        removeTreeAt(rootFd, "deep");
        ::close(rootFd);
    }

    // `count` path strings: absolute, as URLs, and relative to root/d. Each
    // is a random walk that mostly takes a name present in the folder reached
    // so far (a folder, except at the last step), else a name from anywhere in
    // the tree, ".", ".." or an empty segment; some end in "/", "/." or "/..".
    std::vector<std::string> generatedInputs(unsigned seed, int count) const {
        static const std::vector<std::string> anywhere = {
            "d", "e",   "g.txt", "abs", "rel",    "back",   "fileLink", "dangling",
            "c", "n00", "n01",   "n02", "noexec", "inner",  "noread",   "missing",
            ".", "..",  "..",    "",    "fifo",   "procCwd"};
        std::mt19937 random(seed);
        auto pick = [&random](std::size_t n) {
            return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
        };
        std::vector<std::string> inputs;
        for (int i = 0; i < count; ++i) {
            const std::size_t form = pick(10);
            std::string path = form < 7 ? root_ : form < 8 ? "file://host" + root_ : "";
            std::string walked = form < 8 ? root_ : root_ + "/d";
            const std::size_t segments = 1 + pick(6);
            for (std::size_t s = 0; s < segments; ++s) {
                // Before the last step a folder keeps the walk going.
                const bool last = s + 1 == segments;
                std::vector<std::string> present;
                std::error_code ec;
                for (const auto& entry : std::filesystem::directory_iterator(walked, ec)) {
                    if (last || entry.is_directory(ec)) {
                        present.push_back(entry.path().filename().string());
                    }
                }
                const std::string name = !present.empty() && pick(5) != 0
                                             ? present[pick(present.size())]
                                             : anywhere[pick(anywhere.size())];
                path += (path.empty() ? "" : "/") + name;
                char buf[PATH_MAX];
                if (::realpath((walked + "/" + name).c_str(), buf) != nullptr) {
                    walked = buf;
                }
            }
            static const char* const endings[] = {"", "", "", "", "/", "/.", "/.."};
            path += endings[pick(7)];
            inputs.push_back(path);
        }
        return inputs;
    }

    TempDir tmp_;
    std::string root_;
};

TEST_F(CanonicalizeTree, LinksDotsAndMissingPartsGiveTheRealpathAnswer) {
    std::vector<std::string> inputs = generatedInputs(20261207, 2500);
    for (const char* tail : {"",
                             "/",
                             "/d/e/f.txt/",
                             "/d/e/f.txt/.",
                             "/d/e/f.txt/..",
                             "/d/e/f.txt/../f.txt",
                             "/d/missing/..",
                             "/d/missing/../g.txt",
                             "/fileLink/",
                             "/fileLink/..",
                             "/dangling/",
                             "/dangling/../d",
                             "/d/e/back/d/e/back/abs/../../g.txt",
                             "/c/n00",
                             "/c/n01",
                             "/c/n02",
                             "/abs/../../c/n02",
                             "/loopA/../d",
                             "/fifo",
                             "/fifo/",
                             "/fifoLink"}) {
        inputs.push_back(root_ + tail);
    }
    for (const char* system :
         {"/", "//", "///tmp//", "/tmp/.", "/usr/bin/../lib", "/bin", "/bin/", "/etc/passwd/",
          "/etc/passwd/..", "/nonexistent/..", "/proc/self", "/proc/self/fd/0", "/dev/fd/1", ".",
          "..", "", "./d", "e/../g.txt", "../abs/f.txt"}) {
        inputs.push_back(system);
    }
    // Relative inputs hang on the working folder.
    char old[PATH_MAX];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir((root_ + "/d").c_str()), 0);
    const std::vector<std::string> parted = disagreements(inputs);
    std::size_t resolved = 0;
    for (const std::string& input : inputs) {
        resolved += realpathResolves(withoutUrlPrefix(input)) ? 1 : 0;
    }
    ASSERT_EQ(::chdir(old), 0);
    EXPECT_TRUE(parted.empty()) << parted.size() << " of " << inputs.size() << ":\n"
                                << joinLines(parted);
    // The generated set exercises both outcomes of realpath broadly.
    EXPECT_GT(resolved, inputs.size() / 5);
    EXPECT_LT(resolved, inputs.size() * 4 / 5);
    // Opening the FIFO to read would have blocked the walk.
    EXPECT_EQ(canon(root_ + "/fifoLink"), root_ + "/fifo");
}

// The kernel's walk and realpath check permissions on different folders:
// ".." behind a folder without search permission stops the kernel but not
// realpath. Permission bits bind nobody who runs as root, so as root the
// inputs go through a child process that gives up root first.
TEST_F(CanonicalizeTree, FoldersWithoutPermissionGiveTheRealpathAnswer) {
    std::vector<std::string> inputs = generatedInputs(7, 1000);
    for (const char* tail :
         {"/noexec", "/noexec/", "/noexec/..", "/noexec/../abs", "/noexec/../rel/f.txt",
          "/noexec/../fileLink", "/noexec/inner", "/noexec/inner/..", "/noexec/missing/..",
          "/noexecLink", "/noexecLink/..", "/noread", "/noread/", "/noread/..", "/noread/../abs",
          "/noread/file", "/noread/file/..", "/noread/missing"}) {
        inputs.push_back(root_ + tail);
    }
    const std::string probe = root_ + "/noexec/inner";
    // First line: whether permission bits bind; second: one canonical form;
    // then one line per disagreement.
    auto reportLines = [&] {
        std::string text = ::access(probe.c_str(), F_OK) != 0 ? "enforced\n" : "not enforced\n";
        text += canon(root_ + "/noexec/../abs") + "\n";
        for (const std::string& line : disagreements(inputs)) {
            text += line + "\n";
        }
        return text;
    };
    const std::string text = ::geteuid() != 0 ? reportLines() : runWithoutRoot(reportLines);
    std::vector<std::string> report;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        report.push_back(text.substr(start, end - start));
    }
    ASSERT_GE(report.size(), 2u);
    if (report[0] != "enforced") {
        GTEST_SKIP() << "permission bits are not enforced here: " << report[0];
    }
    // realpath steps back over the unsearchable folder by text, and then
    // resolves the link behind it.
    EXPECT_EQ(report[1], root_ + "/d/e");
    const std::vector<std::string> parted(report.begin() + 2, report.end());
    EXPECT_TRUE(parted.empty()) << parted.size() << " of " << inputs.size() << ":\n"
                                << joinLines(parted);
}

// realpath answers only below PATH_MAX bytes but takes longer input; the
// kernel refuses input of PATH_MAX bytes or more.
TEST_F(CanonicalizeTree, PathsAroundPathMaxGiveTheRealpathAnswer) {
    // root/deep/... exactly 4000 bytes long, built through descriptors.
    int dirFd = ::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirFd, 0);
    std::string deepDir = root_;
    std::string name = "deep";
    while (true) {
        ASSERT_EQ(::mkdirat(dirFd, name.c_str(), 0755), 0) << deepDir.size();
        const int next = ::openat(dirFd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(next, 0);
        ::close(dirFd);
        dirFd = next;
        deepDir += "/" + name;
        if (deepDir.size() == 4000) {
            break;
        }
        name = deepDir.size() + 201 + 2 <= 4000 ? std::string(200, 'n')
                                                : std::string(4000 - deepDir.size() - 1, 'm');
    }
    ASSERT_TRUE(makeLink(deepDir, root_ + "/sd"));
    std::vector<std::string> fileNames;
    for (std::size_t total = 4093; total <= 4098; ++total) {
        fileNames.push_back(std::string(total - deepDir.size() - 1, 'f'));
        const int fd =
            ::openat(dirFd, fileNames.back().c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    ::close(dirFd);

    std::vector<std::string> inputs;
    for (const std::string& file : fileNames) {
        for (const std::string& prefix :
             {root_ + "/sd", deepDir, root_ + "/sd/../" + name, deepDir + "/../" + name}) {
            for (const char* ending : {"", "/", "/.", "/..", "/../"}) {
                inputs.push_back(prefix + "/" + file + ending);
            }
        }
    }
    std::string dots = root_;
    std::string ups = root_;
    while (dots.size() < PATH_MAX + 100) {
        dots += "/.";
        ups += "/d/..";
    }
    for (const std::string& p : {dots, ups, root_ + "/sd", root_ + "/sd/..", deepDir,
                                 deepDir + "/missing", root_ + "/sd/missing/.."}) {
        inputs.push_back(p);
        inputs.push_back(p + "/d/g.txt");
        inputs.push_back(p + "/abs/f.txt");
    }
    for (std::size_t pad = 0; pad < 8; ++pad) {
        // Around the kernel's limit on input length: 4093 to 4100 bytes.
        inputs.push_back(root_ + "/sd" + std::string(2 * pad, '/') + "/" + fileNames[0]);
        inputs.push_back(deepDir + std::string(pad, '/') + "/" + fileNames[0]);
    }
    const std::vector<std::string> parted = disagreements(inputs);
    EXPECT_TRUE(parted.empty()) << parted.size() << " of " << inputs.size() << ":\n"
                                << joinLines(parted);
    // The set straddles the boundary: 4095 bytes resolve, 4096 do not.
    EXPECT_EQ(plainCanonical(root_ + "/sd/" + fileNames[2]).size(), 4095u);
    EXPECT_EQ(plainCanonical(root_ + "/sd/" + fileNames[3]), root_ + "/sd/" + fileNames[3]);
}

// A deleted working folder, descriptors on deleted folders and files, and
// /proc's links to them and to pipes and sockets.
TEST_F(CanonicalizeTree, DeletedFoldersAndProcLinksGiveTheRealpathAnswer) {
    tmp_.dir("doomed/inner");
    const std::string doomed = root_ + "/doomed";
    const int innerFd = ::open((doomed + "/inner").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int fileFd = ::open((root_ + "/d/g.txt").c_str(), O_RDONLY | O_CLOEXEC);
    const std::string goneFile = tmp_.file("gone.txt");
    const int goneFd = ::open(goneFile.c_str(), O_RDONLY | O_CLOEXEC);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const int socketFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(innerFd >= 0 && fileFd >= 0 && goneFd >= 0 && socketFd >= 0);
    ASSERT_EQ(::unlink(goneFile.c_str()), 0);

    char old[PATH_MAX];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir((doomed + "/inner").c_str()), 0);
    const std::string pid = std::to_string(::getpid());
    auto inputsNow = [&] {
        std::vector<std::string> inputs = {".",
                                           "..",
                                           "../..",
                                           "x",
                                           "../inner",
                                           "../../d",
                                           "",
                                           doomed,
                                           doomed + "/inner",
                                           doomed + "/inner/..",
                                           root_ + "/procCwd",
                                           root_ + "/procCwd/..",
                                           root_ + "/procCwd/x"};
        for (const std::string& proc :
             {std::string("/proc/self"), "/proc/" + pid, std::string("/proc/thread-self")}) {
            for (const std::string& tail :
                 {std::string("/cwd"), std::string("/cwd/.."), std::string("/cwd/x"),
                  std::string("/fd"), std::string("/fd/.."), std::string("/root"),
                  std::string("/exe"), std::string("/exe/")}) {
                inputs.push_back(proc + tail);
            }
            for (const int fd : {innerFd, fileFd, goneFd, pipeFds[0], socketFd}) {
                const std::string link = proc + "/fd/" + std::to_string(fd);
                inputs.push_back(link);
                inputs.push_back(link + "/");
                inputs.push_back(link + "/..");
            }
        }
        return inputs;
    };
    std::vector<std::string> parted = disagreements(inputsNow());
    ASSERT_EQ(::rmdir((doomed + "/inner").c_str()), 0);
    for (const std::string& line : disagreements(inputsNow())) {
        parted.push_back("inner gone: " + line);
    }
    ASSERT_EQ(::rmdir(doomed.c_str()), 0);
    for (const std::string& line : disagreements(inputsNow())) {
        parted.push_back("both gone: " + line);
    }
    ASSERT_EQ(::chdir(old), 0);
    for (const int fd : {innerFd, fileFd, goneFd, pipeFds[0], pipeFds[1], socketFd}) {
        ::close(fd);
    }
    EXPECT_TRUE(parted.empty()) << parted.size() << ":\n" << joinLines(parted);
}

}  // namespace
}  // namespace tarnwell
