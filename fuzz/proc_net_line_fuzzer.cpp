// A line of /proc/net/{tcp,udp}[6] as the socket owner's fall-back reads it.
// The tables are the kernel's, but anything that reads them must never take
// a line of another shape for a socket, nor read past it.
//
// The first byte picks the family (even: IPv4, odd: IPv6); the rest is the
// line, read also as a UDP table's line, which must name the same socket. A
// line that parses must give the same socket again when it is written back
// in the kernel's own format and parsed anew; and a socket written in that
// format from the input's bytes must always parse.
#include <sys/socket.h>

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "socket_table.h"

namespace {

using tarnwell::socket_table::Address;
using tarnwell::socket_table::Entry;

// The address in the kernel's form: the raw words in upper-case hex, one for
// IPv4 (the mapped address's last word), four for IPv6.
std::string endpointText(const Address& address, std::uint16_t port, int family) {
    std::string text;
    char word[16];
    for (std::size_t i = family == AF_INET ? 3 : 0; i < 4; ++i) {
        std::snprintf(word, sizeof word, "%08" PRIX32, address[i]);
        text += word;
    }
    std::snprintf(word, sizeof word, ":%04X", port);
    return text + word;
}

std::string lineOf(const Entry& entry, int family) {
    char tail[128];
    std::snprintf(tail, sizeof tail,
                  " %02X 00000000:00000000 00:00000000 00000000 %5u        0 %" PRIu64
                  " 1 0000000000000000 100 0 0 10 0\n",
                  static_cast<unsigned>(entry.state), static_cast<unsigned>(entry.uid),
                  entry.inode);
    return "   0: " + endpointText(entry.local, entry.localPort, family) + " " +
           endpointText(entry.remote, entry.remotePort, family) + tail;
}

bool sameEntry(const Entry& a, const Entry& b) {
    return a.local == b.local && a.localPort == b.localPort && a.remote == b.remote &&
           a.remotePort == b.remotePort && a.state == b.state && a.uid == b.uid &&
           a.inode == b.inode;
}

// A socket made of the input's bytes, within what the kernel can report.
Entry entryFrom(const std::uint8_t* data, std::size_t size, int family) {
    std::uint8_t bytes[64] = {};
    std::memcpy(bytes, data, size < sizeof bytes ? size : sizeof bytes);
    Entry entry;
    std::uint32_t words[8];
    std::memcpy(words, bytes, sizeof words);
    entry.local = tarnwell::socket_table::canonical(family, words);
    entry.remote = tarnwell::socket_table::canonical(family, words + 4);
    std::memcpy(&entry.localPort, bytes + 32, sizeof entry.localPort);
    std::memcpy(&entry.remotePort, bytes + 34, sizeof entry.remotePort);
    entry.state = bytes[36];
    std::uint32_t uid;
    std::memcpy(&uid, bytes + 40, sizeof uid);
    entry.uid = uid == 0xFFFFFFFFU ? 0 : uid;  // (uid_t)-1 is no user
    std::memcpy(&entry.inode, bytes + 48, sizeof entry.inode);
    return entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const int family = data[0] % 2 == 0 ? AF_INET : AF_INET6;
    const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);

    Entry parsed;
    const bool parses = tarnwell::socket_table::parseProcLine(line, family, parsed);
    if (parses) {
        Entry again;
        FUZZ_CHECK(tarnwell::socket_table::parseProcLine(lineOf(parsed, family), family, again));
        FUZZ_CHECK(sameEntry(parsed, again));
    }
    // A UDP table's line names the same socket, whatever its drops say.
    Entry udp;
    FUZZ_CHECK(tarnwell::socket_table::parseProcUdpLine(line, family, udp) == parses);
    FUZZ_CHECK(!parses || sameEntry(parsed, udp));

    const Entry made = entryFrom(data + 1, size - 1, family);
    Entry read;
    FUZZ_CHECK(tarnwell::socket_table::parseProcLine(lineOf(made, family), family, read));
    FUZZ_CHECK(sameEntry(made, read));
    return 0;
}
