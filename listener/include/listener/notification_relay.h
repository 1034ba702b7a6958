// Passes the daemon's notifications on between the copies of the plug-in that
// one user runs at once (the desktop, each file-manager window, each file
// dialog). All copies bind the notification port with SO_REUSEPORT, and the
// kernel hands each datagram to ONE of them, chosen by a hash of the sender;
// without this relay the other copies would keep a changed path's old emblem
// for good.
//
// How: each copy binds one Unix datagram socket, named "<pid>-<random>", in a
// folder only the user (and root) can reach (listener/copies_folder.h). At
// start it greets every socket it finds there (removing those nobody holds
// any more: copies that died without a word), and a greeted copy adds the
// greeter to its own list. The copy that receives a daemon datagram, after
// the sender check, passes it on to each copy it knows with one send; a
// passed-on notification is handled but never passed on again. A copy whose
// socket refuses is forgotten and its file removed. No notification costs a
// scan of the folder or a disk write.
//
// What one copy passes on from one batch of received datagrams (up to 64 at a
// time, see DatagramBatch) travels as one datagram per other copy, split
// where it would pass 32 KiB: the kernel queues only a few datagrams (often
// 10) on a Unix datagram socket, so a burst passed on datagram by datagram
// would overflow at once. When another copy's queue is full anyway, that copy is
// told that notifications were lost as soon as it has room again, and then
// forgets and fetches everything, as after a kernel drop on its own socket.
//
// Only datagrams sent by a process of this user or root are read (the kernel
// attaches the sender's credentials); the folder's mode keeps everyone else
// from sending at all.
//
// tarnwell-doctor --daemon opens one too while it watches the daemon's
// notifications, as one more copy, so that it hears them without taking
// them from the user's file managers.
//
// Thread safety: none; the listener thread owns its one instance. The
// descriptor (fd()) may be shut down from another thread to wake the listener.
#ifndef TARNWELL_LISTENER_NOTIFICATION_RELAY_H_
#define TARNWELL_LISTENER_NOTIFICATION_RELAY_H_

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/posix_io.h"

namespace tarnwell {

class NotificationRelay {
public:
    // What another copy passed on: each notification's datagram, or the news
    // that some were lost before they could be passed on.
    struct Receivers {
        std::function<void(const std::string& datagram)> notification;
        std::function<void()> lost;
    };

    explicit NotificationRelay(std::string folder);
    NotificationRelay(const NotificationRelay&) = delete;
    NotificationRelay& operator=(const NotificationRelay&) = delete;
    // Closes this copy's socket and removes its file.
    ~NotificationRelay();

    // Makes the folder (or checks the one there), binds this copy's socket
    // and greets the other copies. False, with one line logged, when the
    // folder or the socket cannot be had; the copy then hears only what the
    // kernel hands it.
    bool open();
    // Closes this copy's socket and removes its file; the copy then hears
    // only what the kernel hands it.
    void close();
    bool isOpen() const { return socket_.valid(); }
    int fd() const { return socket_.get(); }
    const std::string& folder() const { return folder_; }
    std::size_t copiesKnown() const { return peers_.size(); }

    // Queues a daemon datagram to pass on; flush sends what is queued.
    void add(std::string_view datagram);
    void flush();
    // Tells every other copy that notifications were lost (the kernel dropped
    // datagrams on this copy's socket, which were for all copies).
    void passOnLoss();
    // Whether some copy still has to be told of a loss: its queue was full.
    // The listener then calls retry within a few milliseconds.
    bool owesNews() const;
    void retry();

    // Reads everything other copies sent, until the queue is empty. False
    // when the socket failed; true also when it was shut down (stop does that
    // to wake the listener, which then sees that it is to end).
    bool drain(const Receivers& receivers);

private:
    struct Peer {
        std::string name;
        sockaddr_un address{};
        socklen_t addressLength = 0;
        // The news it must get before anything else (a greeting or a loss),
        // because its queue was full; 0 when none.
        char owed = 0;
    };
    enum class Sent { Done, Full, Gone, Refused };

    bool prepareFolder();
    bool bindSocket();
    void greetCopies();
    void addPeer(const std::string& name);
    Sent sendTo(Peer& peer, const char* data, std::size_t length, int flags);
    // Sends `message` to every peer, after any loss news it is owed; forgets
    // the copies that are gone.
    void sendToAll(const std::string& message);
    void forget(std::size_t index, bool removeFile);
    void handleMessage(const char* data, std::size_t length, const Receivers& receivers);
    bool fromTrustedCopy(const msghdr& header, std::string& senderName) const;

    const std::string folder_;  // constant after construction
    UniqueFd folderFd_;
    UniqueFd socket_;
    std::string ownName_;
    std::vector<Peer> peers_;
    std::string batch_;         // notifications queued since the last flush
    std::vector<char> buffer_;  // one receive buffer, allocated at open
};

}  // namespace tarnwell

#endif  // TARNWELL_LISTENER_NOTIFICATION_RELAY_H_
