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

// Whether the bytes of `section` lie inside the file.
bool fitsInFile(const std::vector<char>& bytes, const Elf64_Shdr& section) {
    return section.sh_offset <= bytes.size() && section.sh_size <= bytes.size() - section.sh_offset;
}

// The file's header and its section table; an error for people when the file
// is not a 64-bit shared object whose section table lies inside it.
bool readSectionTable(const std::vector<char>& bytes, std::vector<Elf64_Shdr>& sections,
                      std::string& error) {
    Elf64_Ehdr header;
    if (bytes.size() < sizeof header || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) {
        error = "is not an ELF file";
        return false;
    }
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shoff > bytes.size() ||
        header.e_shnum > (bytes.size() - header.e_shoff) / sizeof(Elf64_Shdr)) {
        error = "is not a 64-bit ELF file with a section table";
        return false;
    }
    if (header.e_type != ET_DYN) {
        error = "is not a shared object";
        return false;
    }
    sections.resize(header.e_shnum);
    // A file without sections has no table: nothing to copy, and no memory
    // to copy into.
    if (!sections.empty()) {
        std::memcpy(sections.data(), bytes.data() + header.e_shoff,
                    sections.size() * sizeof(Elf64_Shdr));
    }
    return true;
}

// The defined global, weak and unique symbols of a .dynsym section.
void readExports(const std::vector<char>& bytes, const Elf64_Shdr& symbols,
                 const Elf64_Shdr& strings, std::set<std::string>& exported) {
    const std::size_t count = symbols.sh_size / sizeof(Elf64_Sym);
    for (std::size_t i = 0; i < count; ++i) {
        Elf64_Sym symbol;
        std::memcpy(&symbol, bytes.data() + symbols.sh_offset + i * sizeof symbol, sizeof symbol);
        const int binding = ELF64_ST_BIND(symbol.st_info);
        if (symbol.st_shndx == SHN_UNDEF ||
            (binding != STB_GLOBAL && binding != STB_WEAK && binding != STB_GNU_UNIQUE)) {
            continue;
        }
        if (const char* name = stringAt(bytes, strings, symbol.st_name)) {
            exported.insert(name);
        }
    }
}

// The DT_NEEDED entries of a dynamic section, up to its DT_NULL.
void readNeeded(const std::vector<char>& bytes, const Elf64_Shdr& dynamic,
                const Elf64_Shdr& strings, std::vector<std::string>& needed) {
    const std::size_t count = dynamic.sh_size / sizeof(Elf64_Dyn);
    for (std::size_t i = 0; i < count; ++i) {
        Elf64_Dyn entry;
        std::memcpy(&entry, bytes.data() + dynamic.sh_offset + i * sizeof entry, sizeof entry);
        if (entry.d_tag == DT_NULL) {
            break;
        }
        if (entry.d_tag == DT_NEEDED) {
            if (const char* name = stringAt(bytes, strings, entry.d_un.d_val)) {
                needed.emplace_back(name);
            }
        }
    }
}

}  // namespace

ElfDynamicInfo parseElfDynamic(const std::vector<char>& bytes) {
    ElfDynamicInfo info;
    std::vector<Elf64_Shdr> sections;
    if (!readSectionTable(bytes, sections, info.error)) {
        return info;
    }
    // A section, or its string table, that does not fit is skipped.
    for (const Elf64_Shdr& section : sections) {
        if (!fitsInFile(bytes, section) || section.sh_link >= sections.size() ||
            !fitsInFile(bytes, sections[section.sh_link])) {
            continue;
        }
        const Elf64_Shdr& strings = sections[section.sh_link];
        if (section.sh_type == SHT_DYNSYM) {
            readExports(bytes, section, strings, info.exported);
        } else if (section.sh_type == SHT_DYNAMIC) {
            readNeeded(bytes, section, strings, info.needed);
        }
    }
    info.valid = true;
    return info;
}

ElfDynamicInfo readElfDynamic(const std::string& path) {
    // In one read: a plug-in with its debug information runs to megabytes,
    // and a byte-wise copy of that would eat the run's time.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    std::vector<char> bytes(size > 0 ? static_cast<std::size_t>(size) : 0);
    if (size < 0 || !in.seekg(0) || !in.read(bytes.data(), size)) {
        ElfDynamicInfo info;
        info.error = "cannot be read";
        return info;
    }
    return parseElfDynamic(bytes);
}

}  // namespace tarnwell::doctor
