#include "breakage.h"

#include <array>
#include <string_view>

#include "sim_state.h"

namespace tarnwell::sim {

namespace {

using namespace std::chrono_literals;

struct Named {
    std::string_view name;
    Breakage::Kind kind;
};

constexpr std::array<Named, 12> kNames{{
    {"slow", Breakage::Kind::Slow},
    {"hang", Breakage::Kind::Hang},
    {"relative-root", Breakage::Kind::RelativeRoot},
    {"missing-root", Breakage::Kind::MissingRoot},
    {"bad-status", Breakage::Kind::BadStatus},
    {"empty-status", Breakage::Kind::EmptyStatus},
    {"no-done", Breakage::Kind::NoDone},
    {"extra-bytes", Breakage::Kind::ExtraBytes},
    {"no-escape", Breakage::Kind::NoEscape},
    {"one-at-a-time", Breakage::Kind::OneAtATime},
    {"close-after-answer", Breakage::Kind::CloseAfterAnswer},
    {"relative-notify", Breakage::Kind::RelativeNotify},
}};

// Far past the 10 ms after which emblems come noticeably late, far below
// the 3 s after which the plug-in gives up: late, not lost.
constexpr auto kSlowAnswer = 100ms;

// A status no plug-in shows.
constexpr const char* kBadStatus = "7";

// A line of an answer with its fields as they are, unescaped.
std::string rawLine(const std::string& key, const std::string& value) {
    return key + "\t" + value + "\n";
}

// `answer` with the value of its "stat" line replaced; unchanged without one.
std::string withStatus(std::string answer, const std::string& status) {
    const std::string key = std::string(protocol::kStatKey) + "\t";
    const std::size_t at = answer.find("\n" + key);
    if (at == std::string::npos) {
        return answer;
    }
    const std::size_t from = at + 1 + key.size();
    return answer.replace(from, answer.find('\n', from) - from, status);
}

}  // namespace

std::string Breakage::kindNames() {
    std::string names;
    for (const Named& named : kNames) {
        names += (names.empty() ? "" : ", ") + std::string(named.name);
    }
    return names;
}

bool Breakage::add(const std::string& name) {
    for (const Named& named : kNames) {
        if (named.name == name) {
            kinds_ |= bit(named.kind);
            return true;
        }
    }
    return false;
}

std::string Breakage::answer(const SimState& state, const Request& request) const {
    if (has(Kind::Hang)) {
        return {};
    }
    std::string bytes;
    if (request.name == protocol::kGetRoots) {
        bytes = rootsAnswer(state);
    } else if (request.name == protocol::kQueryStat) {
        bytes = statusAnswer(state, request);
    } else {
        bytes = state.respond(request.name, request.args);
        const std::string refusal = std::string(protocol::kRefusalStatus) + "\n";
        if (has(Kind::NoDone) && bytes.rfind(refusal, 0) == 0) {
            bytes = refusal;
        }
    }
    if (has(Kind::ExtraBytes)) {
        bytes += protocol::buildAnswer();
    }
    return bytes;
}

std::string Breakage::rootsAnswer(const SimState& state) const {
    std::vector<std::string> roots = state.roots();
    if (has(Kind::RelativeRoot)) {
        roots.emplace_back("Tarnwell-relative");
    }
    if (has(Kind::MissingRoot)) {
        roots.push_back((roots.empty() ? std::string() : roots.front()) + "-missing-root");
    }
    if (!has(Kind::NoEscape)) {
        protocol::PairList pairs;
        for (const std::string& root : roots) {
            pairs.emplace_back(protocol::kPathKey, root);
        }
        return protocol::buildAnswer(pairs);
    }
    std::string line = protocol::kPathKey;
    for (const std::string& root : roots) {
        line += "\t" + root;
    }
    return std::string(protocol::kAnswerStatus) + "\n" + line + "\n" + protocol::kEndLine + "\n";
}

std::string Breakage::statusAnswer(const SimState& state, const Request& request) const {
    std::string bytes = state.respond(request.name, request.args);
    if (has(Kind::BadStatus)) {
        bytes = withStatus(bytes, kBadStatus);
    }
    if (has(Kind::EmptyStatus)) {
        bytes = withStatus(bytes, "");
    }
    const std::string* path = protocol::firstValue(request.args, protocol::kPathKey);
    if (has(Kind::NoEscape) && path != nullptr) {
        // The path echoed as it is: a tab in it splits the value, a line
        // feed splits the line.
        // Before the end line and its LF.
        const std::size_t endLineBytes = std::string_view(protocol::kEndLine).size() + 1;
        bytes.insert(bytes.size() - endLineBytes, rawLine(protocol::kPathKey, *path));
    }
    return bytes;
}

std::chrono::microseconds Breakage::delay(const Request& request) const {
    return has(Kind::Slow) && request.name == protocol::kQueryStat
               ? std::chrono::microseconds(kSlowAnswer)
               : std::chrono::microseconds(0);
}

protocol::PairList Breakage::notificationPairs(protocol::PairList pairs) const {
    if (has(Kind::RelativeNotify)) {
        for (auto& [key, value] : pairs) {
            if (key == protocol::kPathKey && value.rfind('/', 0) == 0) {
                value.erase(0, value.find_first_not_of('/'));
            }
        }
    }
    return pairs;
}

}  // namespace tarnwell::sim
