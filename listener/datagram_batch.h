// Room for the datagrams one recvmmsg call takes off the listener's socket.
//
// A daemon announces a big sync one file at a time, tens of thousands of
// datagrams a second; taking them one receive each, the listener falls behind
// and the kernel drops what no longer fits in the queue. One call takes up to
// kSlots of them: enough to pass a burst on to the other copies of the
// plug-in in few messages (one a batch), few enough to keep their emblems
// prompt.
//
// Each slot is big enough for the longest datagram UDP carries (65,507
// bytes), so that no notification is ever cut, also one for a path thousands
// of bytes long. The slots lie in one anonymous mapping whose pages the
// kernel backs only once written: a small notification touches the first
// page of its slot, and the pages a rare long one touched are handed back
// after it, so the resident memory stays a page or so per slot.
//
// Thread safety: none; the listener thread owns the batch of its socket.
#ifndef TARNWELL_LISTENER_DATAGRAM_BATCH_H_
#define TARNWELL_LISTENER_DATAGRAM_BATCH_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace tarnwell {

class DatagramBatch {
public:
    static constexpr std::size_t kSlots = 64;
    // The longest UDP payload over IPv4 is 65,507 bytes: a slot holds any
    // datagram whole.
    static constexpr std::size_t kSlotBytes = 65536;

    DatagramBatch();
    ~DatagramBatch();
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    // False when the mapping could not be made; the batch is then unusable.
    bool valid() const { return memory_ != nullptr; }

    // Takes the datagrams queued on `fd` without waiting, at most kSlots:
    // their count, 0 when none is queued, -1 on an error of the socket
    // (errno). A signal that interrupts the call is no error.
    int receive(int fd);
    // Datagram i of the last receive, by length (a zero byte is an ordinary
    // byte), and its sender.
    std::string_view datagram(std::size_t i) const;
    const sockaddr_in& sender(std::size_t i) const { return senders_[i]; }
    // Gives back the pages that long datagrams of the last receive touched
    // beyond the first of their slot.
    void releaseLongSlots(int received);

private:
    char* slot(std::size_t i) const { return memory_ + i * kSlotBytes; }

    char* memory_ = nullptr;
    std::size_t pageBytes_ = 0;
    std::array<mmsghdr, kSlots> headers_{};
    std::array<iovec, kSlots> vectors_{};
    std::array<sockaddr_in, kSlots> senders_{};
};

}  // namespace tarnwell

#endif  // TARNWELL_LISTENER_DATAGRAM_BATCH_H_
