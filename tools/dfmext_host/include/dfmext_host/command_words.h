// Reading one command line of dfmext-host: its words, as a shell would split
// them, and the options a command takes among them.
//
// Free functions without state; the host's one thread calls them.
#ifndef TARNWELL_TOOLS_DFMEXT_HOST_COMMAND_WORDS_H_
#define TARNWELL_TOOLS_DFMEXT_HOST_COMMAND_WORDS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dfmext_host {

// Splits a command line into words: blanks separate, '...' quotes literally,
// "..." quotes with backslash escapes, a backslash outside quotes escapes the
// next character. Nullopt for an unterminated quote or a trailing backslash.
std::optional<std::vector<std::string>> splitWords(const std::string& line);

// The words of one command after its name: the positional ones and the
// values of the options the command takes.
struct CommandWords {
    std::vector<std::string> positional;
    long long waitMs = 0;
    long long selected = 1;
    std::vector<std::string> themeDirs;
    std::string menuEntry;
};

// Sorts `words` (the command's name first) into `parsed`, taking only the
// options named in `options`. Empty on success, else what is wrong. A word
// starting with "--" is always an option, so that a mistyped one is named as
// such instead of being taken for a path or a number.
std::string parseCommandWords(const std::vector<std::string>& words,
                              const std::vector<std::string_view>& options, CommandWords& parsed);

}  // namespace dfmext_host

#endif  // TARNWELL_TOOLS_DFMEXT_HOST_COMMAND_WORDS_H_
