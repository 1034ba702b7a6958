// The compact status map against std::unordered_map as the oracle: a lost,
// stale or misplaced entry here is a wrong emblem on screen.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>

#include "core/status_map.h"

namespace tarnwell {
namespace {

void expectSame(const StatusMap& map, const std::unordered_map<std::string, std::int32_t>& oracle,
                const std::vector<std::string>& universe) {
    ASSERT_EQ(map.size(), oracle.size());
    for (const auto& path : universe) {
        const auto it = oracle.find(path);
        const auto got = map.find(path);
        if (it == oracle.end()) {
            ASSERT_FALSE(got.has_value()) << path;
        } else {
            ASSERT_TRUE(got.has_value()) << path;
            ASSERT_EQ(*got, it->second) << path;
        }
    }
}

TEST(StatusMap, RandomOperationsAgreeWithAnOrdinaryMap) {
    std::mt19937 rng(12345);
    std::vector<std::string> universe = {"", "/", "noslash", "/a", "/a/", "//", "/a//b"};
    for (int folder = 0; folder < 40; ++folder) {
        for (int file = 0; file < 60; ++file) {
            universe.push_back("/home/u/Sync/d" + std::to_string(folder) + "/f" +
                               std::to_string(file) + (file % 7 == 0 ? ".a-longer-name.txt" : ""));
        }
        universe.push_back("/home/u/Sync/d" + std::to_string(folder));
    }
    StatusMap map;
    std::unordered_map<std::string, std::int32_t> oracle;
    for (int round = 0; round < 60000; ++round) {
        const std::string& path = universe[rng() % universe.size()];
        const int op = static_cast<int>(rng() % 10);
        if (op < 5) {
            const auto status = static_cast<std::int32_t>(rng() % 6) - 1;
            map.set(path, status);
            oracle[path] = status;
        } else if (op < 9) {
            EXPECT_EQ(map.erase(path), oracle.erase(path) == 1) << path;
        } else if (round % 97 == 0) {
            map.clear();
            oracle.clear();
        }
        if (round % 5000 == 0) {
            expectSame(map, oracle, universe);
        }
    }
    expectSame(map, oracle, universe);
}

TEST(StatusMap, EntriesSurviveGrowthAndArenaCompaction) {
    StatusMap map;
    const int n = 50000;
    for (int i = 0; i < n; ++i) {
        map.set("/r/dir" + std::to_string(i / 50) + "/file-with-a-long-name-" + std::to_string(i),
                i % 4);
    }
    // Erasing most entries makes the arena mostly garbage and forces a
    // rebuild that renumbers the folders; the rest must stay intact.
    for (int i = 0; i < n; ++i) {
        if (i % 10 != 0) {
            ASSERT_TRUE(map.erase("/r/dir" + std::to_string(i / 50) + "/file-with-a-long-name-" +
                                  std::to_string(i)));
        }
    }
    ASSERT_EQ(map.size(), static_cast<std::size_t>(n / 10));
    for (int i = 0; i < n; ++i) {
        const auto got = map.find("/r/dir" + std::to_string(i / 50) + "/file-with-a-long-name-" +
                                  std::to_string(i));
        if (i % 10 == 0) {
            ASSERT_EQ(got, std::optional<std::int32_t>(i % 4)) << i;
        } else {
            ASSERT_FALSE(got.has_value()) << i;
        }
    }
    // A folder and a file of the same name are different entries.
    map.set("/r/dir1", 3);
    EXPECT_EQ(map.find("/r/dir1"), std::optional<std::int32_t>(3));
    EXPECT_EQ(map.find("/r/dir1/file-with-a-long-name-50"), std::optional<std::int32_t>(2));
}

}  // namespace
}  // namespace tarnwell
