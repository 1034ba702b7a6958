// Another copy of the plug-in (of this user, or of an older version still
// running after an upgrade) may send anything into a copy's relay socket. Its
// reader must never crash, and must find exactly the notifications a plain
// reading of the format finds: version 1, kind 'N', then each datagram as a
// 4-byte little-endian length and its bytes, up to the first length that runs
// past the end; kind 'L' is the news of a loss; anything else is ignored.
//
// Each input goes as one datagram through a real relay's socket, from this
// process (a trusted sender), and is read back by drain.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_check.h"
#include "listener/notification_relay.h"

namespace {

struct Setup {
    std::string parent;  // removed at exit, with the relay's socket in it
    std::string folder;
    tarnwell::NotificationRelay* relay = nullptr;
    sockaddr_un address{};
    int sender = -1;
};

Setup& setup() {
    static Setup* made = [] {
        auto* s = new Setup;
        char parent[] = "/tmp/tarnwell-relay-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(parent) != nullptr);
        s->parent = parent;
        s->folder = s->parent + "/copies";
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(setup().parent, ignored);
        });
        s->relay = new tarnwell::NotificationRelay(s->folder);
        FUZZ_CHECK(s->relay->open());
        std::string path;
        for (const auto& entry : std::filesystem::directory_iterator(s->folder)) {
            path = entry.path().string();
        }
        FUZZ_CHECK(!path.empty() && path.size() < sizeof s->address.sun_path);
        s->address.sun_family = AF_UNIX;
        std::memcpy(s->address.sun_path, path.c_str(), path.size() + 1);
        s->sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(s->sender >= 0);
        return s;
    }();
    return *made;
}

// The plain reading the relay must agree with.
void expectedOf(const std::uint8_t* data, std::size_t size, std::vector<std::string>& found,
                int& lost) {
    if (size < 2 || data[0] != 1) {
        return;
    }
    if (data[1] == 'L') {
        ++lost;
        return;
    }
    if (data[1] != 'N') {
        return;
    }
    for (std::size_t at = 2; size - at >= 4;) {
        const std::size_t length = data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) |
                                   (static_cast<std::size_t>(data[at + 3]) << 24);
        at += 4;
        if (length > size - at) {
            return;
        }
        found.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Setup& s = setup();
    // An empty datagram reads as the shut-down that ends a drain; a copy
    // never sends one.
    if (size == 0) {
        return 0;
    }
    FUZZ_CHECK(::sendto(s.sender, data, size, 0, reinterpret_cast<const sockaddr*>(&s.address),
                        sizeof s.address) == static_cast<ssize_t>(size));
    std::vector<std::string> found;
    int lost = 0;
    const tarnwell::NotificationRelay::Receivers receivers{
        [&](const std::string& datagram) { found.push_back(datagram); }, [&] { ++lost; }};
    FUZZ_CHECK(s.relay->drain(receivers));
    std::vector<std::string> expected;
    int expectedLost = 0;
    expectedOf(data, size, expected, expectedLost);
    FUZZ_CHECK(found == expected);
    FUZZ_CHECK(lost == expectedLost);
    // An unbound sender is never taken for a copy to pass things on to.
    FUZZ_CHECK(s.relay->copiesKnown() == 0);
    return 0;
}
