#include "listener/notification_relay.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "base/log.h"
#include "base/posix_io.h"
#include "listener/copies_folder.h"
#include "socket_owner/socket_owner.h"

namespace tarnwell {

namespace {

// A message between copies: a version byte, a kind byte, and for Notifications
// the datagrams, each as a 4-byte little-endian length and its bytes. A copy
// of another version (an older file manager still running after an upgrade)
// ignores what it cannot read.
constexpr char kVersion = 1;
constexpr char kHello = 'H';          // "I am here": the receiver adds the sender
constexpr char kLost = 'L';           // notifications meant for you were lost
constexpr char kNotifications = 'N';  // datagrams the daemon sent
constexpr std::size_t kHeaderBytes = 2;
constexpr std::size_t kLengthBytes = 4;

// A batch is sent before it grows past this; one datagram may still make it
// larger (a notification may be up to 64 KiB), so the receive buffer allows
// for both.
constexpr std::size_t kBatchBytes = std::size_t{32} * 1024;
constexpr std::size_t kReceiveBufferBytes = std::size_t{128} * 1024;
// More copies than a desktop ever runs; what lies beyond is not greeted.
constexpr std::size_t kMaxCopies = 64;
// A greeting may wait this long for room in a busy copy's queue; past it the
// copy is greeted again later, from the listener's loop.
constexpr long kGreetingWaitMicroseconds = 100'000;
// Unix datagrams are charged to the sender's buffer until read: a larger one
// lets a burst wait in the other copies' queues instead of failing.
constexpr int kRequestedSendBufferBytes = 1 << 20;

void logUnshared(const std::string& reason) {
    logLine("tarnwell: notifications are not shared with other copies of the plug-in: " + reason);
}

std::string randomSuffix() {
    std::random_device device;
    const auto value = (static_cast<std::uint64_t>(device()) << 32) | device();
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string suffix;
    for (int i = 0; i < 12; ++i) {
        suffix += kDigits[(value >> (i * 4)) & 0xf];
    }
    return suffix;
}

void appendLength(std::string& out, std::size_t length) {
    for (std::size_t i = 0; i < kLengthBytes; ++i) {
        out += static_cast<char>((length >> (8 * i)) & 0xff);
    }
}

std::size_t readLength(const char* at) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < kLengthBytes; ++i) {
        length |= static_cast<std::size_t>(static_cast<unsigned char>(at[i])) << (8 * i);
    }
    return length;
}

}  // namespace

NotificationRelay::NotificationRelay(std::string folder) : folder_(std::move(folder)) {}

NotificationRelay::~NotificationRelay() {
    close();
}

void NotificationRelay::close() {
    if (socket_.valid() && folderFd_.valid()) {
        ::unlinkat(folderFd_.get(), ownName_.c_str(), 0);
    }
    socket_.reset();
    peers_.clear();
    batch_.clear();
}

bool NotificationRelay::open() {
    if (!prepareFolder() || !bindSocket()) {
        return false;
    }
    buffer_.assign(kReceiveBufferBytes, '\0');
    greetCopies();
    return true;
}

// The folder must be ours and closed to everyone else: whoever can write in
// it could place a socket there that receives the paths in our notifications,
// or send us some. A symbolic link in its place is refused, not followed.
bool NotificationRelay::prepareFolder() {
    if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) {
        logUnshared("cannot make " + folder_ + ": " + errnoText());
        return false;
    }
    folderFd_.reset(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folderFd_.valid()) {
        logUnshared(errno == ENOTDIR || errno == ELOOP
                        ? folder_ + " is not a folder (a symbolic link is never followed)"
                        : "cannot open " + folder_ + ": " + errnoText());
        return false;
    }
    struct stat info {};
    if (::fstat(folderFd_.get(), &info) != 0 || info.st_uid != ::geteuid()) {
        logUnshared(folder_ + " belongs to uid " + std::to_string(info.st_uid));
        folderFd_.reset();
        return false;
    }
    // Ours but open to others (made by hand, or under another umask): closed
    // now; sockets of others that may have got in are never greeted.
    if ((info.st_mode & 077) != 0 && ::fchmod(folderFd_.get(), 0700) != 0) {
        logUnshared("cannot close " + folder_ + " to other users: " + errnoText());
        folderFd_.reset();
        return false;
    }
    return true;
}

bool NotificationRelay::bindSocket() {
    ownName_ = std::to_string(::getpid()) + "-" + randomSuffix();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = folder_ + "/" + ownName_;
    if (path.size() >= sizeof address.sun_path) {
        logUnshared(folder_ + " is too long a path for a socket");
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        logUnshared(std::string("socket() failed: ") + errnoText());
        return false;
    }
    const int one = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
    const timeval greetingWait{0, kGreetingWaitMicroseconds};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &greetingWait, sizeof greetingWait);
    const int sendBuffer = kRequestedSendBufferBytes;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        logUnshared("cannot bind " + path + ": " + errnoText());
        return false;
    }
    socket_ = std::move(socket);
    return true;
}

// Once, at start: the only scan of the folder. A socket nobody holds is what a
// copy that died without a word left behind; it is removed here.
void NotificationRelay::greetCopies() {
    // Listed through the descriptor opened and checked above, never through
    // the folder's path again.
    std::error_code error;
    std::filesystem::directory_iterator folder("/proc/self/fd/" + std::to_string(folderFd_.get()),
                                               error);
    const char hello[] = {kVersion, kHello};
    for (; !error && folder != std::filesystem::directory_iterator(); folder.increment(error)) {
        const std::string name = folder->path().filename().string();
        struct stat info {};
        if (name == ownName_ ||
            ::fstatat(folderFd_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISSOCK(info.st_mode) || info.st_uid != ::geteuid()) {
            continue;
        }
        if (peers_.size() >= kMaxCopies) {
            break;
        }
        addPeer(name);
        // Blocking, up to the greeting wait, so that a copy busy with a burst
        // still learns of us now.
        const Sent sent = sendTo(peers_.back(), hello, sizeof hello, 0);
        if (sent == Sent::Full) {
            peers_.back().owed = kHello;
        } else if (sent == Sent::Gone || sent == Sent::Refused) {
            forget(peers_.size() - 1, sent == Sent::Refused);
        }
    }
}

void NotificationRelay::addPeer(const std::string& name) {
    Peer peer;
    peer.name = name;
    peer.address.sun_family = AF_UNIX;
    const std::string path = folder_ + "/" + name;
    std::memcpy(peer.address.sun_path, path.c_str(),
                std::min(path.size() + 1, sizeof peer.address.sun_path - 1));
    peer.addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    peers_.push_back(std::move(peer));
}

NotificationRelay::Sent NotificationRelay::sendTo(Peer& peer, const char* data, std::size_t length,
                                                  int flags) {
    const ssize_t sent = retryInterrupted([&] {
        return ::sendto(socket_.get(), data, length, flags | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&peer.address), peer.addressLength);
    });
    if (sent >= 0) {
        return Sent::Done;
    }
    switch (errno) {
        case EAGAIN:
        case ENOBUFS:
        case ENOMEM:
        case EMSGSIZE:
            return Sent::Full;
        case ECONNREFUSED:
            return Sent::Refused;  // the file is there, nobody holds it
        default:
            return Sent::Gone;  // ENOENT, or no longer a datagram socket
    }
}

void NotificationRelay::forget(std::size_t index, bool removeFile) {
    if (removeFile) {
        ::unlinkat(folderFd_.get(), peers_[index].name.c_str(), 0);
    }
    peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(index));
}

void NotificationRelay::add(std::string_view datagram) {
    if (peers_.empty()) {
        return;
    }
    if (batch_.size() > kHeaderBytes &&
        batch_.size() + kLengthBytes + datagram.size() > kBatchBytes) {
        flush();
    }
    if (batch_.empty()) {
        batch_ = {kVersion, kNotifications};
    }
    appendLength(batch_, datagram.size());
    batch_.append(datagram);
}

void NotificationRelay::flush() {
    if (batch_.size() > kHeaderBytes) {
        sendToAll(batch_);
    }
    batch_.clear();
}

void NotificationRelay::passOnLoss() {
    for (Peer& peer : peers_) {
        peer.owed = kLost;
    }
    retry();
}

bool NotificationRelay::owesNews() const {
    return std::any_of(peers_.begin(), peers_.end(), [](const Peer& peer) { return peer.owed; });
}

void NotificationRelay::retry() {
    sendToAll({});
}

// Each peer first gets the news it is owed (a greeting, or a loss), then the
// message. A peer whose queue is full gets neither now: it is owed the news of
// a loss, since it misses this message.
void NotificationRelay::sendToAll(const std::string& message) {
    for (std::size_t i = 0; i < peers_.size();) {
        Peer& peer = peers_[i];
        Sent sent = Sent::Done;
        if (peer.owed) {
            const char news[] = {kVersion, peer.owed};
            sent = sendTo(peer, news, sizeof news, MSG_DONTWAIT);
            if (sent == Sent::Done) {
                peer.owed = 0;
            }
        }
        if (sent == Sent::Done && !message.empty()) {
            sent = sendTo(peer, message.data(), message.size(), MSG_DONTWAIT);
        }
        if (sent == Sent::Full && !message.empty()) {
            peer.owed = kLost;
        }
        if (sent == Sent::Gone || sent == Sent::Refused) {
            forget(i, sent == Sent::Refused);
            continue;
        }
        ++i;
    }
}

bool NotificationRelay::drain(const Receivers& receivers) {
    for (;;) {
        sockaddr_un from{};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        iovec data{buffer_.data(), buffer_.size()};
        msghdr header{};
        header.msg_name = &from;
        header.msg_namelen = sizeof from;
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t received =
            retryInterrupted([&] { return ::recvmsg(socket_.get(), &header, MSG_DONTWAIT); });
        if (received < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (received == 0) {
            return true;  // shut down by stop (our messages are never empty)
        }
        std::string sender;
        if ((header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 ||
            !fromTrustedCopy(header, sender)) {
            continue;
        }
        const bool known = std::any_of(peers_.begin(), peers_.end(),
                                       [&](const Peer& peer) { return peer.name == sender; });
        if (!sender.empty() && !known && peers_.size() < kMaxCopies) {
            addPeer(sender);  // any message greets
        }
        handleMessage(buffer_.data(), static_cast<std::size_t>(received), receivers);
    }
}

// The kernel attaches the sending process's credentials to every datagram on a
// socket with SO_PASSCRED; only root can send others than its own. The sender
// becomes a peer only when its socket is one of the folder's.
bool NotificationRelay::fromTrustedCopy(const msghdr& header, std::string& senderName) const {
    bool trusted = false;
    for (cmsghdr* part = CMSG_FIRSTHDR(&header); part != nullptr;
         part = CMSG_NXTHDR(const_cast<msghdr*>(&header), part)) {
        if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_CREDENTIALS) {
            ucred credentials{};
            std::memcpy(&credentials, CMSG_DATA(part), sizeof credentials);
            trusted = isTrustedOwner(credentials.uid);
        }
    }
    const auto* from = static_cast<const sockaddr_un*>(header.msg_name);
    const std::size_t pathOffset = offsetof(sockaddr_un, sun_path);
    if (trusted && header.msg_namelen > pathOffset) {
        const std::string path(from->sun_path,
                               ::strnlen(from->sun_path, header.msg_namelen - pathOffset));
        const std::string prefix = folder_ + "/";
        if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
            path.find('/', prefix.size()) == std::string::npos) {
            senderName = path.substr(prefix.size());
        }
    }
    return trusted;
}

void NotificationRelay::handleMessage(const char* data, std::size_t length,
                                      const Receivers& receivers) {
    if (length < kHeaderBytes || data[0] != kVersion) {
        return;
    }
    if (data[1] == kLost && receivers.lost) {
        receivers.lost();
        return;
    }
    if (data[1] != kNotifications || !receivers.notification) {
        return;
    }
    std::size_t at = kHeaderBytes;
    while (length - at >= kLengthBytes) {
        const std::size_t size = readLength(data + at);
        at += kLengthBytes;
        if (size > length - at) {
            return;
        }
        receivers.notification(std::string(data + at, size));
        at += size;
    }
}

}  // namespace tarnwell
