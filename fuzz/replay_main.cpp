// Runs a fuzz target once per file, without libFuzzer: the replay of the
// committed corpus that every build runs as a CTest test. Arguments are files
// or directories (every regular file in them, in name order). An argument
// that names nothing, or a directory without files, fails the run so that a
// moved corpus cannot pass unnoticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool runFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
    // A copy of exactly the file's size, so that AddressSanitizer sees any
    // read past the end of the input.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(arg, error)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            if (files.empty()) {
                std::fprintf(stderr, "replay: no inputs in %s\n", arg.c_str());
                return 1;
            }
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                if (!runFile(file)) {
                    return 1;
                }
                ++replayed;
            }
        } else if (std::filesystem::is_regular_file(arg, error)) {
            if (!runFile(arg)) {
                return 1;
            }
            ++replayed;
        } else {
            std::fprintf(stderr, "replay: %s is neither a file nor a directory\n", arg.c_str());
            return 1;
        }
    }
    std::fprintf(stderr, "replay: %zu inputs, all invariants held\n", replayed);
    return 0;
}
