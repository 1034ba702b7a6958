// The plug-in shares the file manager's process with every other plug-in:
// any symbol it exports beyond its four entry points could interpose on, or
// be interposed by, someone else's. Reads the dynamic symbol table of the
// built plug-in directly from its ELF file, with the reader tarnwell-doctor
// uses on an installed one.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "doctor/elf_file.h"

namespace {

TEST(PluginExports, OnlyTheFourEntryPoints) {
    EXPECT_EQ(tarnwell::doctor::readElfDynamic(TARNWELL_PLUGIN_PATH).exported,
              (std::set<std::string>{"dfm_extension_emblem", "dfm_extension_initialize",
                                     "dfm_extension_menu", "dfm_extension_shutdown"}));
}

}  // namespace
