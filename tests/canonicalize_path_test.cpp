// Canonical paths decide which cache entry and which sync root a file gets:
// two forms of one file that canonicalize differently would show different
// emblems. realpath(3) and coreutils' `realpath -s -m` serve as oracles.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/tarnwell_core.h"
#include "tests/support/test_support.h"

namespace tarnwell {
namespace {

using test::TempDir;

std::string canon(const std::string& p) { return TarnwellCore::canonicalizePath(p); }

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

}  // namespace
}  // namespace tarnwell
