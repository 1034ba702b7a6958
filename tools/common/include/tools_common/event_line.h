// The one-line text form in which the tools print a request, a notification
// or a response on stdout, so that people and tests read them alike.
// Free of shared state; safe on any thread.
#ifndef TARNWELL_TOOLS_COMMON_EVENT_LINE_H_
#define TARNWELL_TOOLS_COMMON_EVENT_LINE_H_

#include <string>

#include "base/argument_map.h"

namespace tarnwell::sim {

// " key=value key=value ...": keys sorted, a key with several values once per
// value (in order), a key without values as the bare key. Keys and values go
// through escapeField so the text stays on one line. Empty for no arguments.
std::string formatArgs(const ArgumentMap& args);

// `KIND NAME` followed by formatArgs; the name is escaped too.
std::string formatEvent(const std::string& kind, const std::string& name, const ArgumentMap& args);

}  // namespace tarnwell::sim

#endif  // TARNWELL_TOOLS_COMMON_EVENT_LINE_H_
