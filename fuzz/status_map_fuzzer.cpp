// The compact status map against std::unordered_map: any difference is a
// lost, stale or misplaced status, a wrong emblem on screen.
//
// The input is a program, one operation per step: the first byte picks it
// (set, erase, find, clear, or a bulk of long names set and erased again so
// that the arena is compacted and the folders renumbered), the next bytes
// spell the path over a small alphabet of "a", "b" and "/", so that paths
// share folders, lack slashes, end in one or repeat them. The bulk runs once
// per input at most.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "core/status_map.h"
#include "fuzz_check.h"

namespace {

using Oracle = std::unordered_map<std::string, std::int32_t>;

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
    // Up to 15 characters over "ab/".
    std::string path() {
        const std::size_t length = next() % 16;
        std::string text;
        for (std::size_t i = 0; i < length; ++i) {
            text += "ab/"[next() % 3];
        }
        return text;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void expectSame(const tarnwell::StatusMap& map, const Oracle& oracle) {
    FUZZ_CHECK(map.size() == oracle.size());
    for (const auto& [path, status] : oracle) {
        const auto found = map.find(path);
        FUZZ_CHECK(found.has_value() && *found == status);
    }
}

// Enough long names to pass the arena's compaction threshold once erased.
void bulkSetAndErase(tarnwell::StatusMap& map, const std::string& folder, std::int32_t status) {
    const std::string name(250, 'n');
    for (int i = 0; i < 300; ++i) {
        map.set(folder + "/" + std::to_string(i) + name, status);
    }
    for (int i = 0; i < 300; ++i) {
        FUZZ_CHECK(map.erase(folder + "/" + std::to_string(i) + name));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    tarnwell::StatusMap map;
    Oracle oracle;
    bool bulkDone = false;
    while (!input.empty()) {
        const std::uint8_t op = input.next();
        const std::string path = input.path();
        switch (op % 16) {
            case 0:
                map.clear();
                oracle.clear();
                break;
            case 1:
                // Once per input: it is slow, and once reaches the rebuild.
                if (!bulkDone) {
                    bulkSetAndErase(map, "/bulk" + path, op);
                    bulkDone = true;
                }
                break;
            case 2:
            case 3:
            case 4:
            case 5: {
                const auto found = map.find(path);
                const auto it = oracle.find(path);
                FUZZ_CHECK(found.has_value() == (it != oracle.end()));
                FUZZ_CHECK(!found || *found == it->second);
                break;
            }
            case 6:
            case 7:
            case 8:
                FUZZ_CHECK(map.erase(path) == (oracle.erase(path) == 1));
                break;
            default: {
                const auto status = static_cast<std::int32_t>(op) - 10;
                map.set(path, status);
                oracle[path] = status;
            }
        }
        FUZZ_CHECK(map.size() == oracle.size());
    }
    expectSame(map, oracle);
    return 0;
}
