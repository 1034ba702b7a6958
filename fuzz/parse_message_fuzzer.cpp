// Any datagram a process on the machine can send to the listener's port ends
// up in parseMessage. It must never crash, and it must accept exactly the
// well-formed notifications: first line a non-empty name, last line "done".
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/wire_format.h"
#include "fuzz_check.h"
#include "listener/input_command_server.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tarnwell::fuzz::completeLines;
    using tarnwell::fuzz::tabFields;

    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto command = tarnwell::InputCommandServer::parseMessage(text);

    const auto lines = completeLines(text);
    const bool wellFormed = lines.size() >= 2 && lines.back() == "done" && !lines.front().empty();
    FUZZ_CHECK((command != nullptr) == wellFormed);
    if (command == nullptr) {
        return 0;
    }

    FUZZ_CHECK(!command->name.empty());
    FUZZ_CHECK(command->name == lines.front());
    FUZZ_CHECK(!command->handler.callback);
    FUZZ_CHECK(command->handler.owner == nullptr);
    for (const auto& [key, values] : command->args) {
        FUZZ_CHECK(key.size() <= size);
        for (const auto& value : values) {
            FUZZ_CHECK(value.size() <= size);
        }
    }

    // The arguments, rebuilt line by line: a line without a TAB adds nothing,
    // a later line replaces an earlier one with the same key.
    tarnwell::ArgumentMap expected;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        auto fields = tabFields(lines[i]);
        if (fields.size() < 2) {
            continue;
        }
        std::vector<std::string> values;
        for (std::size_t f = 1; f < fields.size(); ++f) {
            values.push_back(tarnwell::unescapeField(fields[f]));
        }
        expected[tarnwell::unescapeField(fields[0])] = std::move(values);
    }
    FUZZ_CHECK(command->args == expected);
    return 0;
}
