// The doctor's ELF reader, on any file a user names with --plugin: whatever
// the bytes, it reads nothing outside them, and every name it reports is one
// the file holds, NUL-terminated inside it.
#include <elf.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "doctor/elf_file.h"
#include "fuzz_check.h"

namespace {

// Whether `name` followed by its NUL occurs in `bytes`.
bool heldWithNul(const std::vector<char>& bytes, const std::string& name) {
    const std::string terminated(name.c_str(), name.size() + 1);
    return std::search(bytes.begin(), bytes.end(), terminated.begin(), terminated.end()) !=
           bytes.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<char> bytes(data, data + size);
    const tarnwell::doctor::ElfDynamicInfo info = tarnwell::doctor::parseElfDynamic(bytes);
    FUZZ_CHECK(info.valid == info.error.empty());
    if (!info.valid) {
        FUZZ_CHECK(info.needed.empty() && info.exported.empty());
        return 0;
    }
    FUZZ_CHECK(size >= sizeof(Elf64_Ehdr) && std::memcmp(data, ELFMAG, SELFMAG) == 0);
    for (const std::string& name : info.needed) {
        FUZZ_CHECK(heldWithNul(bytes, name));
    }
    for (const std::string& name : info.exported) {
        FUZZ_CHECK(heldWithNul(bytes, name));
    }
    return 0;
}
