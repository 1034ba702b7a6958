#include "doctor/elf_file.h"

#include <elf.h>

#include <cstring>
#include <fstream>

namespace tarnwell::doctor {

namespace {

// A NUL-terminated name at `offset` inside the string table `table`, or null
// when it would run past the table.
const char* stringAt(const std::vector<char>& bytes, const Elf64_Shdr& table,
                     std::uint64_t offset) {
    if (offset >= table.sh_size) {
        return nullptr;
    }
    const char* start = bytes.data() + table.sh_offset + offset;
    const std::size_t room = table.sh_size - offset;
    return std::memchr(start, '\0', room) != nullptr ? start : nullptr;
}

}  // namespace

ElfDynamicInfo readElfDynamic(const std::string& path) {
    ElfDynamicInfo info;
    // In one read: a plug-in with its debug information runs to megabytes,
    // and a byte-wise copy of that would eat the run's time.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    std::vector<char> bytes(size > 0 ? static_cast<std::size_t>(size) : 0);
    if (size < 0 || !in.seekg(0) || !in.read(bytes.data(), size)) {
        info.error = "cannot be read";
        return info;
    }
    Elf64_Ehdr header;
    if (bytes.size() < sizeof header || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) {
        info.error = "is not an ELF file";
        return info;
    }
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shoff > bytes.size() ||
        header.e_shnum > (bytes.size() - header.e_shoff) / sizeof(Elf64_Shdr)) {
        info.error = "is not a 64-bit ELF file with a section table";
        return info;
    }
    if (header.e_type != ET_DYN) {
        info.error = "is not a shared object";
        return info;
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    std::memcpy(sections.data(), bytes.data() + header.e_shoff,
                sections.size() * sizeof(Elf64_Shdr));
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_offset > bytes.size() ||
            section.sh_size > bytes.size() - section.sh_offset ||
            section.sh_link >= sections.size()) {
            continue;
        }
        const Elf64_Shdr& strings = sections[section.sh_link];
        if (strings.sh_offset > bytes.size() ||
            strings.sh_size > bytes.size() - strings.sh_offset) {
            continue;
        }
        if (section.sh_type == SHT_DYNSYM) {
            const std::size_t count = section.sh_size / sizeof(Elf64_Sym);
            for (std::size_t i = 0; i < count; ++i) {
                Elf64_Sym symbol;
                std::memcpy(&symbol, bytes.data() + section.sh_offset + i * sizeof symbol,
                            sizeof symbol);
                const int binding = ELF64_ST_BIND(symbol.st_info);
                if (symbol.st_shndx == SHN_UNDEF ||
                    (binding != STB_GLOBAL && binding != STB_WEAK && binding != STB_GNU_UNIQUE)) {
                    continue;
                }
                if (const char* name = stringAt(bytes, strings, symbol.st_name)) {
                    info.exported.insert(name);
                }
            }
        } else if (section.sh_type == SHT_DYNAMIC) {
            const std::size_t count = section.sh_size / sizeof(Elf64_Dyn);
            for (std::size_t i = 0; i < count; ++i) {
                Elf64_Dyn entry;
                std::memcpy(&entry, bytes.data() + section.sh_offset + i * sizeof entry,
                            sizeof entry);
                if (entry.d_tag == DT_NULL) {
                    break;
                }
                if (entry.d_tag == DT_NEEDED) {
                    if (const char* name = stringAt(bytes, strings, entry.d_un.d_val)) {
                        info.needed.emplace_back(name);
                    }
                }
            }
        }
    }
    info.valid = true;
    return info;
}

}  // namespace tarnwell::doctor
