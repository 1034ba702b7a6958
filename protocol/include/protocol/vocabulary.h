// The words of the daemon's language: where it listens, the names of its
// commands and notifications, the keys of their arguments and the statuses it
// answers with. The plug-in, both daemons and every tool take them from here.
//
// Constants only; any thread.
#ifndef TARNWELL_PROTOCOL_VOCABULARY_H_
#define TARNWELL_PROTOCOL_VOCABULARY_H_

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
