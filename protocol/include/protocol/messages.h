// Building and reading the daemon's messages: requests, answers and
// notification datagrams are one format (a first line, argument lines, "done";
// base/wire_format.h escapes the fields), built here for both sides.
//
// All functions here are free of shared state and safe on any thread.
#ifndef TARNWELL_PROTOCOL_MESSAGES_H_
#define TARNWELL_PROTOCOL_MESSAGES_H_

#include <string>
#include <utility>
#include <vector>

#include "base/argument_map.h"
#include "protocol/vocabulary.h"

namespace tarnwell::protocol {

// Key/value pairs in the order given; a key may repeat, and its values then
// travel on one line, at the place the key first appears.
using PairList = std::vector<std::pair<std::string, std::string>>;

// A request as the plug-in sends it: the escaped name line, one line per key
// of `args` (if not null), and "done".
std::string buildRequest(const std::string& name, const ArgumentMap* args);

// A daemon's answer to a request it understood ("rsp", the pairs, "done"),
// and to one it did not ("err", "done").
std::string buildAnswer(const PairList& pairs = {});
std::string buildRefusal();

// One notification datagram: the name line as it is (the listener takes it
// literally), the pairs, "done".
std::string buildNotification(const std::string& name, const PairList& pairs = {});

// The first value of `key`, or null when the key is missing or has none.
const std::string* firstValue(const ArgumentMap& args, const std::string& key);

// The status an answer to kQueryStat gives: its first "stat" value read as a
// decimal in the manner of strtol (leading white space and a sign accepted,
// parsing stops at the first non-digit); NotCached when there is none or it
// is not 0 to 3, also when it is too large for 32 bits.
SyncStatus statusInReply(const ArgumentMap& answer);

// The roots an answer to kGetRoots gives, in its order, as the daemon wrote
// them: the values that begin with "/". The others go to `ignored` when
// given.
std::vector<std::string> rootsInReply(const ArgumentMap& answer,
                                      std::vector<std::string>* ignored = nullptr);

// Whether `root` equals `path` or is followed in it by "/": /home/u/Sync
// holds /home/u/Sync/a but not /home/u/Sync2. Both are compared as given
// (canonical, without a trailing "/"), so a root "/" holds only "/" itself.
bool rootHolds(const std::string& root, const std::string& path);

// The first root, in list order, that holds `path`; empty when none does.
std::string rootHolding(const std::vector<std::string>& roots, const std::string& path);

}  // namespace tarnwell::protocol

#endif  // TARNWELL_PROTOCOL_MESSAGES_H_
