// The command line of every tool, read by one parser from a table of its
// options, and the one way the tools read a number a person wrote.
//
// Main thread only, like the command line itself.
#ifndef TARNWELL_TOOLS_COMMON_OPTIONS_H_
#define TARNWELL_TOOLS_COMMON_OPTIONS_H_

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>

namespace tarnwell::tools {

// One option of a tool. `apply` takes the value (empty for an option
// without one) and returns "" when it accepts it, else the error for people.
struct Option {
    using Apply = std::function<std::string(const std::string& value)>;

    // The constructor keeps the order in which a table reads best; the
    // members are laid out without padding.
    Option(std::string name, std::string alias, bool takesValue, std::string missing, Apply apply,
           bool stops = false)
        : name(std::move(name)),
          alias(std::move(alias)),
          missing(std::move(missing)),
          apply(std::move(apply)),
          takesValue(takesValue),
          stops(stops) {}

    std::string name;   // "--root"
    std::string alias;  // "-h", or empty
    // The error when the value is missing; "NAME needs a value" when empty.
    std::string missing;
    Apply apply;
    bool takesValue = false;
    // The reading ends after this option (--help, --version): what follows
    // it is not looked at.
    bool stops = false;
};

// What a tool does with the arguments that are not options.
struct OptionRules {
    // "--NAME=VALUE" gives a long option its value in one argument.
    bool joinedValues = false;
    // "--" ends the options: every argument after it is a word.
    bool dashDashEndsOptions = false;
    // An argument that is not an option ("-" and "" included); null: it is
    // refused as an unknown option. Returns "" or the error.
    std::function<std::string(const std::string& word)> word;
    // Stop at the first word: it and everything after it are words.
    bool wordsEndOptions = false;
    // An argument that looks like an option but is none of the table's,
    // taken as a word when this says so; null: refused as unknown.
    std::function<bool(const std::string& arg)> unknownIsWord;
    // Said before an argument that is neither an option of the table nor a
    // word the tool takes.
    std::string unknown = "unknown option: ";
};

// An option without a value that sets `flag` to true.
Option flagOption(const std::string& name, const std::string& alias, bool& flag);
// An option without a value that ends the reading and leaves `text` in
// `shown`, for the caller to print (--help, --version).
Option showOption(const std::string& name, const std::string& alias, const char*& shown,
                  const char* text);

// The error line of a bad command line, "PROGRAM: MESSAGE; see --help" on
// stderr (one line, rather than the whole usage); returns 2, the exit status
// for bad options.
int usageError(const char* program, const std::string& message);

// What the reading of a command line leaves to do: -1 to go on; else the
// exit status, after the error line of `refused` or the text `shown` (on
// stdout).
int commandLineOutcome(const char* program, const std::string& refused, const char* shown);

// Reads argv[1..argc-1] by `table` and `rules`, in order. Returns "" when
// every argument was taken, else the first error: `rules.unknown` and ARG,
// the option's `missing` text, or what its `apply` or `rules.word` said.
std::string parseCommandLine(int argc, char** argv, std::span<const Option> table,
                             const OptionRules& rules = {});

// A whole decimal number as people write it: an optional "-", digits only (no
// blanks, no "+"), within [min, max]. Whether a leading zero matters is the
// caller's business.
bool parseInteger(const std::string& text, long long min, long long max, long long& value);

// The same for a number with a fraction ("2.5"), finite, within [min, max].
bool parseDecimal(const std::string& text, double min, double max, double& value);

// A port number as people write it: decimal digits only, without sign,
// blanks or leading zeros, from 0 to 65535. Whether 0 makes sense is the
// caller's business.
bool parsePort(const std::string& text, std::uint16_t& port);

}  // namespace tarnwell::tools

#endif  // TARNWELL_TOOLS_COMMON_OPTIONS_H_
