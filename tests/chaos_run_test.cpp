// tarnwell-chaos cut short, with one copy of the plug-in in its own process
// and with two in processes of their own: Ctrl-C or SIGTERM gave no summary
// and left the run's folder tree behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace tarnwell::test {
namespace {

TEST(ChaosRunTest, StopSignalEndsTheRunWithItsFiguresAndWithoutItsTree) {
    for (const auto& [copies, signal] : {std::pair{"1", SIGTERM}, std::pair{"2", SIGINT}}) {
        TempDir temp;
        const std::string parent = temp.dir("trees");
        ChildProcess chaos;
        ASSERT_TRUE(chaos.start({TARNWELL_CHAOS_PATH, "--minutes", "10", "--files", "100",
                                 "--copies", copies, "--tree-parent", parent, "--plugin-log",
                                 temp.path() + "/plugin.log"}));
        ASSERT_TRUE(chaos.waitForLineContaining("chaos: seed")) << copies;
        chaos.signal(signal);
        EXPECT_EQ(chaos.wait(), 128 + signal) << copies;
        const std::string cutShort =
            std::string("chaos: cut short by ") + (signal == SIGINT ? "SIGINT" : "SIGTERM");
        const std::vector<std::string> lines = chaos.allStdout();
        const auto said = [&](const std::string& start) {
            return std::any_of(lines.begin(), lines.end(),
                               [&](const std::string& line) { return line.rfind(start, 0) == 0; });
        };
        EXPECT_TRUE(said(cutShort)) << copies;
        EXPECT_TRUE(said("violations by rule")) << copies;
        EXPECT_TRUE(std::filesystem::is_empty(parent)) << copies;
    }
}

}  // namespace
}  // namespace tarnwell::test
