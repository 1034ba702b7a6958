// The test support is shared with the benchmarks, whose runs make thousands of
// files: a temporary tree must hold what it was asked for and leave nothing
// behind in /tmp.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace tarnwell::test {
namespace {

TEST(TempDir, FilesGetTheirFoldersAndEverythingGoesAtTheEnd) {
    std::string root;
    {
        TempDir tree;
        root = tree.path();
        ASSERT_NE(root, "/tmp");
        // Canonical: the core compares canonical paths with it.
        EXPECT_EQ(root, std::filesystem::canonical(root).string());
        const std::string file = tree.file("a/b/c/d.txt");
        EXPECT_EQ(file, root + "/a/b/c/d.txt");
        EXPECT_TRUE(std::filesystem::is_regular_file(file));
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
}  // namespace tarnwell::test
