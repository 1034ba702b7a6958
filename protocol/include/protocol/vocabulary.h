// The words of the daemon's language: where it listens, the names of its
// commands and notifications, the keys of their arguments, the statuses it
// answers with and the size of a notification; and the plug-in's own file
// name. The plug-in, both daemons and every tool take them from here.
//
// Constants only; any thread.
#ifndef TARNWELL_PROTOCOL_VOCABULARY_H_
#define TARNWELL_PROTOCOL_VOCABULARY_H_

#include <cstddef>
#include <cstdint>

namespace tarnwell::protocol {

// Everything talks over loopback: the daemon accepts commands on TCP
// kCommandPort and sends notifications to UDP kNotifyPort.
inline constexpr const char* kLoopbackAddress = "127.0.0.1";
inline constexpr std::uint16_t kCommandPort = 19080;
inline constexpr std::uint16_t kNotifyPort = 19081;

// Commands the plug-in sends besides the menu actions (tables.h).
inline constexpr const char* kGetRoots = "get_tw_roots";
inline constexpr const char* kQueryStat = "query_stat";
// Notifications the daemon sends.
inline constexpr const char* kRefreshStat = "refresh_stat";
inline constexpr const char* kRefreshRoots = "refresh_tw_root";

// Argument keys: the path a command or notification is about (in an answer
// to kGetRoots, the roots), and the status in an answer to kQueryStat.
inline constexpr const char* kPathKey = "path";
inline constexpr const char* kStatKey = "stat";

// The status line of an answer the daemon understood, one it refused, and
// the line that ends every message.
inline constexpr const char* kAnswerStatus = "rsp";
inline constexpr const char* kRefusalStatus = "err";
inline constexpr const char* kEndLine = "done";

// The most a daemon may put in one notification datagram. This plug-in reads
// longer ones whole, but a daemon is held to the rule (the simulator warns,
// the doctor reports it): other listeners read no more.
inline constexpr std::size_t kMaxNotificationBytes = 2047;
// The receive queue the listener asks for on the notification port (the
// kernel caps it at its configured maximum): a burst of notifications (one
// refresh_stat per file of a large folder) waits there while a handler runs,
// where the default queue holds only a few hundred and UDP drops the rest.
// The doctor's watch of the port asks for the same.
inline constexpr int kNotifyReceiveQueueBytes = 4 << 20;

// The plug-in's file, as installed in the file manager's extension folder and
// as the stand-in host and the doctor look for it.
inline constexpr const char* kPluginFileName = "libdfm-extension-tarnwell.so";

// A path's sync status as the daemon numbers it; NotCached is the plug-in's
// own "no status known", never sent.
enum SyncStatus : std::int32_t {
    NotCached = -1,
    UpToDate = 0,
    Syncing = 1,
    Locked = 2,
    ReadOnly = 3,
};

}  // namespace tarnwell::protocol

#endif  // TARNWELL_PROTOCOL_VOCABULARY_H_
