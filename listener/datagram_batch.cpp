#include "datagram_batch.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "base/posix_io.h"

namespace tarnwell {

DatagramBatch::DatagramBatch() : pageBytes_(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))) {
    void* memory = ::mmap(nullptr, kSlots * kSlotBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
        return;
    }
    memory_ = static_cast<char*>(memory);
    for (std::size_t i = 0; i < kSlots; ++i) {
        vectors_[i] = iovec{slot(i), kSlotBytes};
    }
}

DatagramBatch::~DatagramBatch() {
    if (memory_ != nullptr) {
        ::munmap(memory_, kSlots * kSlotBytes);
    }
}

int DatagramBatch::receive(int fd) {
    // recvmmsg writes the lengths back into the headers: they are set anew
    // for every call.
    for (std::size_t i = 0; i < kSlots; ++i) {
        msghdr& header = headers_[i].msg_hdr;
        header = msghdr{};
        header.msg_name = &senders_[i];
        header.msg_namelen = sizeof senders_[i];
        header.msg_iov = &vectors_[i];
        header.msg_iovlen = 1;
        headers_[i].msg_len = 0;
    }
    const int received = retryInterrupted(
        [&] { return ::recvmmsg(fd, headers_.data(), kSlots, MSG_DONTWAIT, nullptr); });
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return 0;
    }
    return received;
}

std::string_view DatagramBatch::datagram(std::size_t i) const {
    return std::string_view(slot(i), headers_[i].msg_len);
}

void DatagramBatch::releaseLongSlots(int received) {
    for (int i = 0; i < received; ++i) {
        const std::size_t length = headers_[static_cast<std::size_t>(i)].msg_len;
        if (length > pageBytes_) {
            ::madvise(slot(static_cast<std::size_t>(i)) + pageBytes_, kSlotBytes - pageBytes_,
                      MADV_DONTNEED);
        }
    }
}

}  // namespace tarnwell
