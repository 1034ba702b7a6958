// The fall-back when netlink gives no answer: the kernel's socket tables in
// /proc/net/{tcp,tcp6,udp,udp6}, read line by line.
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "socket_table.h"

namespace tarnwell::socket_table {
namespace {

constexpr std::size_t kProcFields = 10;     // through the inode
constexpr std::size_t kProcUdpFields = 13;  // through the drops

bool parseHexWord(std::string_view text, std::uint32_t& value) {
    value = 0;
    for (const char c : text) {
        std::uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else {
            return false;
        }
        value = (value << 4) | digit;
    }
    return true;
}

// "0100007F:4E98" (IPv4) or 32 hex digits, a colon and the port (IPv6). The
// address words are printed as the raw 32-bit values the kernel keeps, which
// is how canonical() expects them.
bool parseProcEndpoint(std::string_view field, int family, Address& address, std::uint16_t& port) {
    const std::size_t words = family == AF_INET ? 1 : 4;
    if (field.size() != words * 8 + 5 || field[words * 8] != ':') {
        return false;
    }
    std::uint32_t raw[4] = {};
    for (std::size_t i = 0; i < words; ++i) {
        if (!parseHexWord(field.substr(i * 8, 8), raw[i])) {
            return false;
        }
    }
    std::uint32_t portValue;
    if (!parseHexWord(field.substr(words * 8 + 1, 4), portValue)) {
        return false;
    }
    address = canonical(family, raw);
    port = static_cast<std::uint16_t>(portValue);
    return true;
}

bool parseDecimal(std::string_view field, std::uint64_t max, std::uint64_t& value) {
    if (field.empty() || field.size() > 20) {
        return false;
    }
    value = 0;
    for (const char c : field) {
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

// The first `wanted` fields, split at single spaces (runs of them count as
// one); false when the line has fewer.
template <std::size_t wanted>
bool splitProcFields(std::string_view line, std::string_view (&fields)[wanted]) {
    std::size_t count = 0;
    std::size_t pos = 0;
    while (count < wanted) {
        pos = line.find_first_not_of(' ', pos);
        if (pos == std::string_view::npos) {
            return false;
        }
        const std::size_t end = line.find(' ', pos);
        fields[count++] = line.substr(pos, end == std::string_view::npos ? end : end - pos);
        if (end == std::string_view::npos) {
            break;
        }
        pos = end;
    }
    return count == wanted;
}

// The fields of a line that every table shares.
bool parseCommonFields(const std::string_view* fields, int family, Entry& entry) {
    std::uint32_t state;
    std::uint64_t uid;
    std::uint64_t inode;
    if (!parseProcEndpoint(fields[1], family, entry.local, entry.localPort) ||
        !parseProcEndpoint(fields[2], family, entry.remote, entry.remotePort) ||
        fields[3].size() != 2 || !parseHexWord(fields[3], state) ||
        !parseDecimal(fields[7], static_cast<uid_t>(-1) - 1U, uid) ||
        !parseDecimal(fields[9], UINT64_MAX, inode)) {
        return false;
    }
    entry.state = static_cast<int>(state);
    entry.uid = static_cast<uid_t>(uid);
    entry.inode = inode;
    return true;
}

using LineParser = bool (*)(std::string_view, int, Entry&);

// Reads one table; NoAnswer when it cannot be opened or read.
Answer readProcTable(const char* path, int family, LineParser parse, std::vector<Entry>& out) {
    std::FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return Answer::NoAnswer;
    }
    char* line = nullptr;
    std::size_t capacity = 0;
    bool header = true;
    for (;;) {
        errno = 0;
        const ssize_t length = ::getline(&line, &capacity, file);
        if (length < 0) {
            break;
        }
        Entry entry;
        if (!header &&
            parse(std::string_view(line, static_cast<std::size_t>(length)), family, entry)) {
            out.push_back(entry);
        }
        header = false;
    }
    const bool failed = std::ferror(file) != 0;
    std::free(line);
    std::fclose(file);
    return failed ? Answer::NoAnswer : Answer::Answered;
}

Answer readProcTables(const char* v4, const char* v6, LineParser parse, std::vector<Entry>& out) {
    if (readProcTable(v4, AF_INET, parse, out) != Answer::Answered) {
        return Answer::NoAnswer;
    }
    std::vector<Entry> six;
    if (readProcTable(v6, AF_INET6, parse, six) == Answer::Answered) {
        out.insert(out.end(), six.begin(), six.end());
    }
    return Answer::Answered;
}

}  // namespace

bool parseProcLine(std::string_view line, int family, Entry& entry) {
    std::string_view fields[kProcFields];
    return splitProcFields(line, fields) && parseCommonFields(fields, family, entry);
}

bool parseProcUdpLine(std::string_view line, int family, Entry& entry) {
    if (!parseProcLine(line, family, entry)) {
        return false;
    }
    // The owner lookups need only the common fields: a line without a
    // readable count still names its socket, with no drops.
    std::string_view fields[kProcUdpFields];
    if (splitProcFields(line, fields)) {
        std::string_view drops = fields[kProcUdpFields - 1];
        while (!drops.empty() && (drops.back() == '\n' || drops.back() == '\r')) {
            drops.remove_suffix(1);
        }
        std::uint64_t count = 0;
        entry.drops = parseDecimal(drops, UINT64_MAX, count) ? count : 0;
    }
    return true;
}

Answer procTcp(std::vector<Entry>& out) {
    return readProcTables("/proc/net/tcp", "/proc/net/tcp6", parseProcLine, out);
}

Answer procUdp(std::vector<Entry>& out) {
    return readProcTables("/proc/net/udp", "/proc/net/udp6", parseProcUdpLine, out);
}

}  // namespace tarnwell::socket_table
