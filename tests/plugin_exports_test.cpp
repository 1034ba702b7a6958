// The plug-in shares the file manager's process with every other plug-in:
// any symbol it exports beyond its four entry points could interpose on, or
// be interposed by, someone else's. Reads the dynamic symbol table of the
// built plug-in directly from its ELF file.

#include <elf.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

// The names of the defined global and weak symbols in .dynsym.
std::set<std::string> exportedSymbols(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::set<std::string> names;
    if (bytes.size() < sizeof(Elf64_Ehdr)) {
        return names;
    }
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(bytes.data());
    if (header->e_ident[EI_CLASS] != ELFCLASS64 ||
        header->e_shoff + header->e_shnum * sizeof(Elf64_Shdr) > bytes.size()) {
        return names;
    }
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes.data() + header->e_shoff);
    for (int i = 0; i < header->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNSYM) {
            continue;
        }
        const Elf64_Shdr& strings = sections[sections[i].sh_link];
        const auto* symbols =
            reinterpret_cast<const Elf64_Sym*>(bytes.data() + sections[i].sh_offset);
        const std::size_t count = sections[i].sh_size / sizeof(Elf64_Sym);
        for (std::size_t s = 0; s < count; ++s) {
            const int binding = ELF64_ST_BIND(symbols[s].st_info);
            if (symbols[s].st_shndx == SHN_UNDEF ||
                (binding != STB_GLOBAL && binding != STB_WEAK && binding != STB_GNU_UNIQUE)) {
                continue;
            }
            names.insert(bytes.data() + strings.sh_offset + symbols[s].st_name);
        }
    }
    return names;
}

TEST(PluginExports, OnlyTheFourEntryPoints) {
    EXPECT_EQ(exportedSymbols(TARNWELL_PLUGIN_PATH),
              (std::set<std::string>{"dfm_extension_emblem", "dfm_extension_initialize",
                                     "dfm_extension_menu", "dfm_extension_shutdown"}));
}

}  // namespace
