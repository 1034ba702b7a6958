#include "dfmext_host/command_words.h"

#include <algorithm>
#include <limits>

#include "tools_common/options.h"

namespace dfmext_host {

namespace {

// Keeps a mistyped count from building a list of millions of paths.
constexpr long long kMaxSelected = 100000;

using tarnwell::tools::parseInteger;

}  // namespace

std::optional<std::vector<std::string>> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == '\'') {
            const std::size_t end = line.find('\'', i + 1);
            if (end == std::string::npos) {
                return std::nullopt;
            }
            word.append(line, i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            std::size_t j = i + 1;
            for (; j < line.size() && line[j] != '"'; ++j) {
                if (line[j] == '\\') {
                    if (++j == line.size()) {
                        return std::nullopt;
                    }
                }
                word += line[j];
            }
            if (j == line.size()) {
                return std::nullopt;
            }
            i = j;
        } else if (c == '\\') {
            if (++i == line.size()) {
                return std::nullopt;
            }
            word += line[i];
        } else {
            word += c;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

std::string parseCommandWords(const std::vector<std::string>& words,
                              const std::vector<std::string_view>& options, CommandWords& parsed) {
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.rfind("--", 0) != 0) {
            parsed.positional.push_back(word);
            continue;
        }
        if (std::find(options.begin(), options.end(), word) == options.end()) {
            return "unknown option: " + word;
        }
        if (i + 1 == words.size()) {
            return word + " needs a value";
        }
        const std::string& value = words[++i];
        if (word == "--icons") {
            parsed.themeDirs.push_back(value);
        } else if (word == "--menu") {
            parsed.menuEntry = value;
        } else if (word == "--selected"
                       ? !parseInteger(value, 0, kMaxSelected, parsed.selected)
                       : !parseInteger(value, 0, std::numeric_limits<int>::max(), parsed.waitMs)) {
            std::string error = "bad " + word + " value: ";
            error += value;
            if (word == "--selected") {
                error += " (0 to " + std::to_string(kMaxSelected) + ")";
            }
            return error;
        }
    }
    return {};
}

}  // namespace dfmext_host
