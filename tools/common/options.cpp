#include "tools_common/options.h"

#include <charconv>
#include <cstdio>

namespace tarnwell::tools {
namespace {

const Option* optionNamed(std::span<const Option> table, const std::string& name) {
    for (const Option& option : table) {
        if (name == option.name || (!option.alias.empty() && name == option.alias)) {
            return &option;
        }
    }
    return nullptr;
}

bool looksLikeOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-';
}

}  // namespace

std::string parseCommandLine(int argc, char** argv, std::span<const Option> table,
                             const OptionRules& rules) {
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool unknown = looksLikeOption(arg) && optionNamed(table, arg) == nullptr &&
                             rules.unknownIsWord && rules.unknownIsWord(arg);
        if (optionsDone || !looksLikeOption(arg) || unknown) {
            if (!rules.word) {
                return rules.unknown + arg;
            }
            optionsDone = optionsDone || rules.wordsEndOptions;
            if (std::string refused = rules.word(arg); !refused.empty()) {
                return refused;
            }
            continue;
        }
        if (rules.dashDashEndsOptions && arg == "--") {
            optionsDone = true;
            continue;
        }
        const bool joinable = rules.joinedValues && arg.rfind("--", 0) == 0;
        const std::size_t equals = joinable ? arg.find('=') : std::string::npos;
        const Option* option = optionNamed(table, arg.substr(0, equals));
        if (option == nullptr || (equals != std::string::npos && !option->takesValue)) {
            return rules.unknown + arg;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (option->takesValue) {
            if (i + 1 >= argc) {
                return option->missing.empty() ? arg + " needs a value" : option->missing;
            }
            value = argv[++i];
        }
        if (std::string refused = option->apply(value); !refused.empty() || option->stops) {
            return refused;
        }
    }
    return {};
}

Option flagOption(const std::string& name, const std::string& alias, bool& flag) {
    return {name, alias, false, "", [&flag](const std::string&) {
                flag = true;
                return std::string();
            }};
}

Option showOption(const std::string& name, const std::string& alias, const char*& shown,
                  const char* text) {
    return {name, alias, false, "",
            [&shown, text](const std::string&) {
                shown = text;
                return std::string();
            },
            true};
}

int usageError(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s; see --help\n", program, message.c_str());
    return 2;
}

int commandLineOutcome(const char* program, const std::string& refused, const char* shown) {
    if (!refused.empty()) {
        return usageError(program, refused);
    }
    if (shown != nullptr) {
        std::fputs(shown, stdout);
        return 0;
    }
    return -1;
}

bool parseInteger(const std::string& text, long long min, long long max, long long& value) {
    const char* const first = text.data();
    const char* const last = first + text.size();
    long long parsed = 0;
    const auto [end, error] = std::from_chars(first, last, parsed);
    if (text.empty() || error != std::errc() || end != last || parsed < min || parsed > max) {
        return false;
    }
    value = parsed;
    return true;
}

bool parseDecimal(const std::string& text, double min, double max, double& value) {
    const char* const first = text.data();
    const char* const last = first + text.size();
    double parsed = 0;
    const auto [end, error] = std::from_chars(first, last, parsed, std::chars_format::fixed);
    if (text.empty() || error != std::errc() || end != last || !(parsed >= min && parsed <= max)) {
        return false;
    }
    value = parsed;
    return true;
}

bool parsePort(const std::string& text, std::uint16_t& port) {
    long long value = 0;
    if (text.empty() || text[0] == '-' || (text.size() > 1 && text[0] == '0') ||
        !parseInteger(text, 0, 65535, value)) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace tarnwell::tools
