// What a shared object asks of the dynamic linker and offers to it, read from
// its ELF file: the libraries it needs (DT_NEEDED) and the symbols it exports
// (the defined global and weak entries of .dynsym). The file is only read,
// never loaded, so nothing in it runs.
//
// Free of shared state; any thread.
#ifndef TARNWELL_DOCTOR_ELF_FILE_H_
#define TARNWELL_DOCTOR_ELF_FILE_H_

#include <set>
#include <string>
#include <vector>

namespace tarnwell::doctor {

struct ElfDynamicInfo {
    bool valid = false;
    std::string error;                // why not valid, for people
    std::vector<std::string> needed;  // in the order of the dynamic section
    std::set<std::string> exported;
};

// Every offset and size in the file is checked against its length, so a
// truncated or damaged file gives an error, never a read out of bounds.
ElfDynamicInfo readElfDynamic(const std::string& path);

// The same for the file's bytes.
ElfDynamicInfo parseElfDynamic(const std::vector<char>& bytes);

}  // namespace tarnwell::doctor

#endif  // TARNWELL_DOCTOR_ELF_FILE_H_
